// The Linux launcher's entry: an ordinary program.
#include "launcher/launcher.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform_keep_arguments(argc, argv);
  uint32_t exit_code = launcher_main();
  platform_await_console_event();
  platform_end_as_the_child_ended();
  return (int)exit_code;
}
