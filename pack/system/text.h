// Text in the packing tool: conversion between UTF-8 and UTF-16, and
// quoting for messages.
#ifndef ZOVARI_PACK_TEXT_H
#define ZOVARI_PACK_TEXT_H

#include <filesystem>
#include <string>

#include "pack/system/error.h"

namespace zovari {

// UTF-8 <-> UTF-16 for names and values; PackError on text that is not
// valid UTF-8/16.
std::u16string utf16_from_utf8(const std::string& text);
std::string utf8_from_utf16(const std::u16string& text);

// True when text is valid UTF-8.
bool is_utf8(const std::string& text);

// Text between double quotes, as it stands.
std::string in_quotes(const std::string& text);

// A path for a message: in quotes, on one line, with bytes that are not
// UTF-8 text and control characters written as \xNN.
std::string quoted_path(const std::filesystem::path& path);

// One line on stderr: "zovari-pack: warning: " and text.
void print_warning(const std::string& text);

}  // namespace zovari

#endif
