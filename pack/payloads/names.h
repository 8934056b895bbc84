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
  bool too_long = false;       // a part longer than file systems hold, not a rule of the format
  explicit operator bool() const { return !text.empty(); }
};

// What is wrong with a payload name.  Always: empty, absolute (a leading
// separator or a drive letter), an empty, "." or ".." component, with "\" and
// "/" both taken as separators.  With windows also: a device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without an extension), ":", "/", a
// component ending in a dot or a space, <>"|?* and control characters.
// And a part longer than MAX_COMPONENT_UNITS: UTF-16 units for Windows,
// bytes of UTF-8 otherwise (the format itself takes 1023 units).
NameProblem name_problem(const std::u16string& name, bool windows);

// The longest folder or file name that file systems hold.
inline constexpr size_t MAX_COMPONENT_UNITS = 255;

// A name's place under root as Windows opens it: root (a full path with no
// separator at its end), "\" and the name (which passed name_problem
// for Windows), by concatenation alone, so that no part of the name can put another drive or
// folder in root's place.
std::u16string windows_join(const std::u16string& root, const std::u16string& name);

// What is wrong with place (from windows_join) as a path under root, to read
// after "it": not below root, or a part that Windows would read as another
// drive, stream, device, folder or name; empty when it lies under root.
std::string windows_place_problem(const std::u16string& root, const std::u16string& place);

// Windows compares names without regard to case, so two names that differ
// only in case are one file there: the first such pair among names, or an
// empty pair.  Folding: every UTF-16 unit alone to its simple uppercase
// (the Unicode data's, for the whole Basic Multilingual Plane), but for the
// micro sign, the dotless i and the long s, which Windows keeps apart from
// mu, I and S.  The same table in the tool for Linux and for Windows.
std::pair<std::u16string, std::u16string> case_collision(const std::vector<std::u16string>& names);

// What is wrong with the names of one payload taken together, to read after
// "the payload": a name twice, a name that is both a file and a folder above
// another file ("a" and "a\b"), and with windows the same two as Windows
// compares names: without regard to case (as case_collision folds it) and
// without the dots and spaces that end a part, since Windows keeps one file
// for "A", "a" and "a.".  Empty when nothing is.  "\" and "/" both separate.
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

// True for a unit that display_name escapes other than a surrogate: a
// control character (C0, DEL, C1), or one that breaks or reorders lines or
// shows nothing (U+2028, U+2029, U+202E, U+200B, U+FEFF...).  Text meant as
// one line of its own holds none of them.
bool is_control(char16_t unit);
bool is_invisible_mark(char16_t unit);

// A payload name with separator in place of its "\": "/" shows the name as
// a Linux launcher unpacks it.
std::u16string with_separator(std::u16string name, char16_t separator);

// True when text matches the glob pattern, both UTF-8, character by
// character and with case: "*" any run of characters ("/" included), "?"
// one, "[abc]", "[a-z]" and "[!...]" one of (or none of) a set, "\\" the
// next character itself.  The same on every system, so that a folder packs
// to the same files wherever it is packed.  Bytes of text that are not UTF-8
// are characters of their own ("*" and "?" take them); the time taken grows
// with the pattern's length times the text's, never faster.
bool glob_matches(const std::string& pattern, const std::string& text);

}  // namespace zovari

#endif
