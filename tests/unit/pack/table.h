// What the tables of the tool's rules share: the check of a row's expected
// problem, little-endian fields, and a copy of bytes that ends right at an
// unreadable page, so that a read past its end crashes the test instead of
// passing unseen.
#ifndef ZOVARI_TESTS_UNIT_PACK_TABLE_H
#define ZOVARI_TESTS_UNIT_PACK_TABLE_H

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace pack_test {

// A rule's answer against its row: an expected "" means no problem, other
// text a problem that holds it.
inline void expect_problem(const std::string& found, const char* expected) {
  if (expected[0] == 0) {
    EXPECT_EQ(found, "");
  } else {
    EXPECT_NE(found.find(expected), std::string::npos) << "the problem: \"" << found << "\"";
  }
}

inline void put(std::string& bytes, size_t at, uint64_t value, size_t count) {
  if (bytes.size() < at + count) bytes.resize(at + count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[at + i] = (char)((value >> (8 * i)) & 0xFF);
}

// The bytes, ending where a page that cannot be read begins.
class Guarded {
 public:
  explicit Guarded(const std::string& bytes) {
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    length_ = (bytes.size() / page + 2) * page;
    void* map = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<unsigned char*>(map);
    mprotect(base_ + length_ - page, page, PROT_NONE);
    data_ = base_ + length_ - page - bytes.size();
    std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~Guarded() { munmap(base_, length_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  const unsigned char* data() const { return data_; }

 private:
  unsigned char* base_ = nullptr;
  unsigned char* data_ = nullptr;
  size_t length_ = 0;
};

}  // namespace pack_test

#endif
