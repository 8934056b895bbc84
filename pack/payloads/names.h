// The rules a payload name must follow before zovari-pack lets it near a
// disk: it stays inside the folder it is unpacked into, whichever of "\" and
// "/" the system takes for a separator, and for Windows it is a name that
// Windows stores as written.  Also how names are shown in messages and
// listings.
#ifndef ZOVARI_PACK_NAMES_H
#define ZOVARI_PACK_NAMES_H

#include <string>
#include <utility>
#include <vector>

namespace zovari {

struct NameProblem {
  std::string text;            // reads after "it": "has a \"..\" component"; empty: none
  bool windows_only = false;   // a Windows rule rather than one of the format
  explicit operator bool() const { return !text.empty(); }
};

// What is wrong with a payload name.  Always: empty, absolute (a leading
// separator or a drive letter), an empty, "." or ".." component, with "\" and
// "/" both taken as separators.  With windows also: a device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, with or without an extension), ":", "/", a
// component ending in a dot or a space, <>"|?* and control characters.
NameProblem name_problem(const std::u16string& name, bool windows);

// Windows compares names without regard to case, so two names that differ
// only in case are one file there: the first such pair among names, or an
// empty pair.  Folding: ASCII, Latin-1, Latin Extended-A (the pairs that sit
// side by side), Greek and Cyrillic capitals; every UTF-16 unit alone.
std::pair<std::u16string, std::u16string> case_collision(const std::vector<std::u16string>& names);

// What is wrong with the names of one payload taken together, to read after
// "the payload": a name twice, a name that is both a file and a folder above
// another file ("a" and "a\b"), and with windows the same two without
// regard to case (as case_collision folds it), since Windows keeps one file
// for "A" and "a".  Empty when nothing is.  "\" and "/" both separate.
std::string name_set_problem(const std::vector<std::u16string>& names, bool windows);

// The components of a name that passed name_problem, split at "\" and "/".
std::vector<std::u16string> name_components(const std::u16string& name);

// What is wrong with one folder or file name on Windows (a component, no
// separators in it), to read after "which": a device name, a trailing dot or
// space; empty when nothing is.
std::string windows_component_problem(const std::u16string& component);

// The first character of text that Windows reserves in names (<>"|?*),
// or ":" or a control character, described for a message; empty when none.
std::string reserved_character_problem(const std::u16string& text);

// A name for messages and listings: UTF-8, control characters (C0, DEL, C1)
// written as \xNN or \uNNNN, and the invisible characters (those that
// reorder or break lines, format characters such as U+200B and U+FEFF,
// fillers, tags) as \uNNNN or \UNNNNNNNN, so that a name never moves or
// hides text around it and two names never look alike; units that are not
// UTF-16 as \uDxxx.
std::string display_name(const std::u16string& name);

// A payload name with separator in place of its "\": "/" shows the name as
// a Linux launcher unpacks it.
std::u16string with_separator(std::u16string name, char16_t separator);

// True when text matches the glob pattern, both UTF-8, character by
// character and with case: "*" any run of characters ("/" included), "?"
// one, "[abc]", "[a-z]" and "[!...]" one of (or none of) a set, "\\" the
// next character itself.  The same on every system, so that a folder packs
// to the same files wherever it is packed.
bool glob_matches(const std::string& pattern, const std::string& text);

}  // namespace zovari

#endif
