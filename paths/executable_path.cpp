#include "paths/executable_path.h"

#include "platform/platform.h"

// One unit more than a PathBuffer.
static wchar_t ExecutablePathBuffer[4097];

const wchar_t* get_executable_path(void) {
  if (ExecutablePathBuffer[0] == 0) {
    if (platform_executable_path(ExecutablePathBuffer, 4097) == 0) {
      ExecutablePathBuffer[0] = 0;
    }
  }
  return ExecutablePathBuffer;
}
