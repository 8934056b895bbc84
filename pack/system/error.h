// The packing tool's one error: bad input, told to the user in one line.
#ifndef ZOVARI_PACK_ERROR_H
#define ZOVARI_PACK_ERROR_H

#include <stdexcept>

namespace zovari {

// Bad input for the packing tool: one clear line for the user.
struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace zovari

#endif
