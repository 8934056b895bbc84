// Which files and folders of an application folder --exclude leaves out.
#ifndef ZOVARI_PACK_EXCLUDE_H
#define ZOVARI_PACK_EXCLUDE_H

#include <string>
#include <vector>

namespace zovari {

// Whether one pattern names the entry at relative (its path inside the
// application folder, "/" between components).  A pattern with a "/" is a
// glob over the whole path ("lib/python3.11/email", "docs/*.md"); one
// without is a glob over the entry's own name ("__pycache__", "*.pdb").  A
// leading "/" makes any pattern a path from the folder's top
// ("/node_modules"); a leading "./" and trailing "/" are not part of the
// pattern.  An entry that a
// pattern names is left out whole, folders with everything below them.
bool exclude_pattern_matches(const std::string& pattern, const std::string& relative);

// The patterns of one run, with a note of those that have left anything out.
class Exclusions {
 public:
  explicit Exclusions(std::vector<std::string> patterns);
  // True when a pattern names the entry at relative.
  bool leaves_out(const std::string& relative);
  // The patterns that have named nothing so far.
  std::vector<std::string> unused() const;

 private:
  std::vector<std::string> patterns_;
  std::vector<bool> used_;
};

}  // namespace zovari

#endif
