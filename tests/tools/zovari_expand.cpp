// zovari-expand TEMPLATE: prints the template's expansion and a line feed,
// exit 0; prints nothing and exits 1 when the expansion returns false.
#include <stdio.h>
#include <string.h>

#include "paths/bounded.h"
#include "paths/template.h"
#include "platform/platform.h"

static int expand_and_print(const wchar_t* path_template) {
  static wchar_t output[PATH_CAPACITY];
  if (!expand_path_template(output, path_template, PATH_CAPACITY)) return 1;
  printf("%ls\n", output);
  return 0;
}

#if ZOVARI_PLATFORM_WIN32
extern "C" int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: zovari-expand TEMPLATE\n", stderr);
    return 2;
  }
  return expand_and_print(argv[1]);
}
#else
int main(int argc, char** argv) {
  platform_keep_arguments(argc, argv);
  int count = 0;
  wchar_t** arguments = platform_launcher_arguments(&count);
  if (count != 2) {
    fputs("usage: zovari-expand TEMPLATE\n", stderr);
    return 2;
  }
  return expand_and_print(arguments[1]);
}
#endif
