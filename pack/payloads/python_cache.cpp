#include "pack/payloads/python_cache.h"

#include <fstream>
#include <set>

namespace zovari {

bool pyc_is_timestamp_based(const std::string& head) {
  // A magic number ending in "\r\n", then (from Python 3.7 on) a flags word:
  // 0 for a time check, bit 0 for a hash check.
  if (head.size() < 8 || head[2] != '\r' || head[3] != '\n') return false;
  unsigned flags = 0;
  for (int i = 0; i < 4; ++i) flags |= (unsigned)(unsigned char)head[4 + i] << (8 * i);
  // Older files have the time itself in that place.
  return flags != 1 && flags != 3;
}

namespace {

// The source a __pycache__ file was compiled from ("a\__pycache__\m.cpython-311.pyc"
// and "m.cpython-311.opt-1.pyc" -> "a\m.py"); empty for any other name.
std::u16string source_of(const std::u16string& name) {
  const std::u16string folder = u"__pycache__\\";
  size_t slash = name.rfind(u'\\');
  size_t file = slash == std::u16string::npos ? 0 : slash + 1;
  if (file < folder.size() || name.compare(file - folder.size(), folder.size(), folder) != 0) return {};
  if (name.size() < 4 || name.compare(name.size() - 4, 4, u".pyc") != 0) return {};
  size_t dot = name.find(u'.', file);
  if (dot == std::u16string::npos || dot == file || dot == name.size() - 4) return {};
  return name.substr(0, file - folder.size()) + name.substr(file, dot - file) + u".py";
}

}  // namespace

size_t count_stale_python_caches(const std::vector<PayloadRecord>& records) {
  std::set<std::u16string> names;
  for (const PayloadRecord& record : records) names.insert(record.name);
  size_t count = 0;
  for (const PayloadRecord& record : records) {
    std::u16string source = source_of(record.name);
    if (source.empty() || names.count(source) == 0) continue;
    std::ifstream in(record.source, std::ios::binary);
    std::string head(8, '\0');
    in.read(head.data(), (std::streamsize)head.size());
    head.resize((size_t)in.gcount());
    if (pyc_is_timestamp_based(head)) ++count;
  }
  return count;
}

std::string stale_python_cache_warning(size_t count) {
  const bool one = count == 1;
  return std::to_string(count) + (one ? " .pyc file is" : " .pyc files are") + " checked against " +
         (one ? "its source's modification time" : "their sources' modification times") +
         ", which unpacking renews: Python would rewrite " + (one ? "it" : "them") +
         " at every start, and the launcher put " + (one ? "it" : "them") +
         " back at the next.  Leave __pycache__ out (--exclude __pycache__) or compile by hash, "
         "-f for files compiled already (python3 -m compileall -f --invalidation-mode unchecked-hash)";
}

}  // namespace zovari
