#include "pack/arguments.h"


namespace zovari {

Arguments::Arguments(const std::string& command, const std::vector<std::string>& args,
                     const std::vector<OptionDefinition>& options, size_t positional_count)
    : command_(command) {
  const std::string hint = " (see zovari-pack " + command + " --help)";
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_ended) {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      help_ = true;
      return;
    }
    if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
      for (const OptionDefinition& option : options) {
        if (option.short_name == arg[1] && !option.takes_value) arg = "--" + option.name;
      }
      if (arg.compare(0, 2, "--") != 0) throw UsageError("unknown option " + arg + hint);
    }
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      std::string name = arg.substr(2);
      std::string value;
      bool inline_value = false;
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
        inline_value = true;
      }
      const OptionDefinition* definition = nullptr;
      for (const OptionDefinition& option : options) {
        if (option.name == name) definition = &option;
      }
      if (definition == nullptr) throw UsageError("unknown option --" + name + hint);
      if (values_.count(name) != 0 && !definition->repeatable) {
        throw UsageError("option --" + name + " given twice" + hint);
      }
      if (definition->takes_value && !inline_value) {
        if (i + 1 >= args.size()) throw UsageError("option --" + name + " needs a value" + hint);
        value = args[++i];
      } else if (!definition->takes_value && inline_value) {
        throw UsageError("option --" + name + " takes no value" + hint);
      }
      values_[name] = value;
      repeated_[name].push_back(value);
    } else {
      positional_.push_back(arg);
    }
  }
  if (positional_.size() > positional_count) {
    throw UsageError("unexpected argument \"" + positional_[positional_count] + "\"" + hint);
  }
  if (positional_.size() < positional_count) {
    throw UsageError("missing argument" + std::string(positional_count - positional_.size() > 1 ? "s" : "") + hint);
  }
}

std::string Arguments::get(const std::string& name, const std::string& fallback) const {
  auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

std::vector<std::string> Arguments::all(const std::string& name) const {
  auto found = repeated_.find(name);
  return found == repeated_.end() ? std::vector<std::string>() : found->second;
}

std::string Arguments::required(const std::string& name) const {
  auto found = values_.find(name);
  if (found == values_.end() || found->second.empty()) {
    throw UsageError("option --" + name + " is required (see zovari-pack " + command_ + " --help)");
  }
  return found->second;
}

}  // namespace zovari
