// The build's opt-in behaviours, read from BUILD_OPTIONS: words separated by
// single spaces, as the packing tool writes them.
#include "image/config.h"

bool build_option(const wchar_t* name) {
  const wchar_t* word = build_value(BUILD_OPTIONS);
  while (*word != 0) {
    size_t i = 0;
    while (name[i] != 0 && word[i] == name[i]) ++i;
    if (name[i] == 0 && (word[i] == 0 || word[i] == L' ')) return true;
    while (*word != 0 && *word != L' ') ++word;
    while (*word == L' ') ++word;
  }
  return false;
}
