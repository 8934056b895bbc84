#include "pack/executables/payload_place.h"

#include <cstring>
#include <string>

#include "pack/executables/launcher_image.h"
#include "pack/system/error.h"
#include "payload/format.h"

namespace zovari {

PayloadLocation find_payload(const unsigned char* data, uint64_t size) {
  PayloadLocation location;
  std::string problem;
  if (size >= PAYLOAD_MAGIC_SIZE && std::memcmp(data, PAYLOAD_MAGIC, PAYLOAD_MAGIC_SIZE) == 0) {
    if (size % PAYLOAD_ALIGNMENT != 0) {
      throw PackError("the payload's length " + std::to_string(size) + " is not a multiple of 8");
    }
    if (!check_container(data, size, 0, &location, &problem)) throw PackError(problem);
    if (location.length != size) {
      throw PackError(std::to_string(size - location.length) +
                      " bytes follow the payload trailer in the file");
    }
    return location;
  }
  // A launcher holds its payload in its build area, which its section
  // table names.
  BuildAreaPlace area;
  if (!find_build_area(data, size, &area)) {
    throw PackError("no payload found (neither a payload file nor a launcher holding one)");
  }
  const uint64_t offset = area.offset + read_little_endian(data + area.offset + 24, 8);
  const uint64_t length = read_little_endian(data + area.offset + 32, 8);
  if (length == 0) throw PackError("the launcher's build area holds no payload (an unfilled runtime image)");
  if (!check_container(data, offset + length, offset, &location, &problem)) {
    throw PackError("the payload at file offset " + std::to_string(offset) + " is damaged: " + problem);
  }
  if (location.length != length) {
    throw PackError("the payload at file offset " + std::to_string(offset) + " is " +
                    std::to_string(location.length) + " bytes long; its build area says " + std::to_string(length));
  }
  return location;
}

}  // namespace zovari
