// A small command-line parser for the subcommands of zovari-pack:
// "--name value", "--name=value", flags, positional arguments and --help.
#ifndef ZOVARI_PACK_ARGUMENTS_H
#define ZOVARI_PACK_ARGUMENTS_H

#include <map>
#include <string>
#include <vector>

#include "pack/system/error.h"

namespace zovari {

// A usage mistake: the exit code is 2 rather than 1.
struct UsageError : PackError {
  using PackError::PackError;
};

struct OptionDefinition {
  std::string name;  // without the leading "--"
  bool takes_value;
  char short_name = 0;      // "-q" for --quiet; 0: none
  bool repeatable = false;  // may be given more than once (all())
};

class Arguments {
 public:
  // Parses args (after the subcommand) for the named subcommand.  Throws
  // UsageError on an unknown option, a missing value or a repeated option.
  // "--" ends the options: what follows is positional, even "-x".
  Arguments(const std::string& command, const std::vector<std::string>& args,
            const std::vector<OptionDefinition>& options, size_t positional_count);

  bool help() const { return help_; }
  std::string get(const std::string& name, const std::string& fallback = std::string()) const;
  // True when the option was given, even with an empty value.
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  // Every value of a repeatable option, in order.
  std::vector<std::string> all(const std::string& name) const;
  // The option's value, which must be given.
  std::string required(const std::string& name) const;
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  std::string command_;
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> repeated_;
  std::vector<std::string> positional_;
  bool help_ = false;
};

}  // namespace zovari

#endif
