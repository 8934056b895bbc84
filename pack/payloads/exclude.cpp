#include "pack/payloads/exclude.h"

#include "pack/payloads/names.h"

namespace zovari {

namespace {

std::string bare_pattern(std::string pattern) {
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  while (pattern.compare(0, 2, "./") == 0) pattern.erase(0, 2);
  return pattern;
}

}  // namespace

bool exclude_pattern_matches(const std::string& raw_pattern, const std::string& relative) {
  std::string pattern = bare_pattern(raw_pattern);
  // A leading "/" anchors the pattern at the input folder, as in .gitignore:
  // "/node_modules" is the folder at the top, not one deeper down.
  const bool anchored = pattern.compare(0, 1, "/") == 0;
  if (anchored) pattern = bare_pattern(pattern.erase(0, pattern.find_first_not_of('/')));
  if (pattern.empty()) return false;
  // The walk asks about each folder before what lies in it, so a folder's
  // name or path that matches takes everything below it along.
  if (anchored || pattern.find('/') != std::string::npos) {
    return glob_matches(pattern, relative);
  }
  const size_t slash = relative.rfind('/');
  const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  return glob_matches(pattern, name);
}

Exclusions::Exclusions(std::vector<std::string> patterns)
    : patterns_(std::move(patterns)), used_(patterns_.size(), false) {}

bool Exclusions::leaves_out(const std::string& relative) {
  bool out = false;
  for (size_t i = 0; i < patterns_.size(); ++i) {
    if (exclude_pattern_matches(patterns_[i], relative)) used_[i] = out = true;
  }
  return out;
}

std::vector<std::string> Exclusions::unused() const {
  std::vector<std::string> out;
  for (size_t i = 0; i < patterns_.size(); ++i) {
    if (!used_[i]) out.push_back(patterns_[i]);
  }
  return out;
}

}  // namespace zovari
