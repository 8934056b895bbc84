// A small command-line parser for the subcommands of zovari-pack:
// "--name value", "--name=value", flags, positional arguments and --help.
#ifndef ZOVARI_PACK_ARGUMENTS_H
#define ZOVARI_PACK_ARGUMENTS_H

#include <map>
#include <string>
#include <vector>

namespace zovari {

struct OptionDefinition {
  std::string name;  // without the leading "--"
  bool takes_value;
};

class Arguments {
 public:
  // Parses args (after the subcommand) for the named subcommand.  Throws
  // PackError on an unknown option, a missing value or a repeated option.
  Arguments(const std::string& command, const std::vector<std::string>& args,
            const std::vector<OptionDefinition>& options, size_t positional_count);

  bool help() const { return help_; }
  std::string get(const std::string& name, const std::string& fallback = std::string()) const;
  // The option's value, which must be given.
  std::string required(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::string command_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
  bool help_ = false;
};

}  // namespace zovari

#endif
