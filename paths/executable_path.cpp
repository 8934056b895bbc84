#include "paths/executable_path.h"

#include "platform/platform.h"

static wchar_t ExecutablePathBuffer[EXECUTABLE_PATH_CAPACITY];

const wchar_t* get_executable_path(void) {
  if (ExecutablePathBuffer[0] == 0) {
    if (platform_executable_path(ExecutablePathBuffer, EXECUTABLE_PATH_CAPACITY) == 0) {
      ExecutablePathBuffer[0] = 0;
    }
  }
  return ExecutablePathBuffer;
}
