#include "pack/commands/arguments.h"


namespace zovari {

namespace {

// The long name of a flag's one-letter form; empty when there is none.
std::string short_flag(const std::vector<OptionDefinition>& options, char letter) {
  for (const OptionDefinition& option : options) {
    if (option.short_name == letter && !option.takes_value) return option.name;
  }
  return std::string();
}

// "-qv": every letter after the "-" a flag's one-letter form.
bool all_short_flags(const std::vector<OptionDefinition>& options, const std::string& arg) {
  for (size_t c = 1; c < arg.size(); ++c) {
    if (short_flag(options, arg[c]).empty()) return false;
  }
  return true;
}

}  // namespace

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
      std::string name = short_flag(options, arg[1]);
      if (name.empty()) throw UsageError("unknown option " + arg + hint);
      arg = "--" + name;
    } else if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-' && all_short_flags(options, arg)) {
      // "-qv": the flags one after the other, each standing alone next.
      std::vector<std::string> apart;
      for (size_t c = 1; c < arg.size(); ++c) apart.push_back(std::string("-") + arg[c]);
      std::vector<std::string> rest(args.begin() + (long)i + 1, args.end());
      apart.insert(apart.end(), rest.begin(), rest.end());
      std::vector<std::string> done(args.begin(), args.begin() + (long)i);
      done.insert(done.end(), apart.begin(), apart.end());
      *this = Arguments(command, done, options, positional_count);
      return;
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
