#include "launcher/launcher.h"

#include <stdlib.h>

#include "image/build_area_check.h"
#include "image/config.h"
#include "launcher/cache_cleaning.h"
#include "launcher/child.h"
#include "launcher/command_line.h"
#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/fatal.h"
#include "paths/template.h"
#include "payload/cache_cleaning.h"
#include "payload/format.h"
#include "payload/quick_start.h"
#include "payload/reader.h"
#include "payload/target_directory.h"
#include "payload/unpack.h"
#include "platform/platform.h"

static wchar_t TargetDirectory[PATH_CAPACITY];
static wchar_t NormalisedDirectory[PATH_CAPACITY];
static wchar_t LauncherDirectory[EXECUTABLE_PATH_CAPACITY];

// Forgets inherited run-time values, so that this start computes its own and
// its child sees exactly the values that named the target directory; then
// publishes this launcher's process id for {PID}.
static void prepare_environment(void) {
  clear_environment_value("ZOVARI_ONEFILE_START");
  clear_environment_value("ZOVARI_ONEFILE_TIME_US");
  clear_environment_value("ZOVARI_ONEFILE_RANDOM");
  set_environment_number("ZOVARI_ONEFILE_PARENT", (long)platform_process_id());
}

static void derive_target_directory(void) {
  if (!expand_path_template(TargetDirectory, build_value(BUILD_TEMPLATE), PATH_CAPACITY)) {
    fail_template_expansion(build_value(BUILD_TEMPLATE));
  }
  size_t length = platform_full_path(TargetDirectory, NormalisedDirectory, PATH_CAPACITY);
  if (length == 0 || length >= PATH_CAPACITY) {
    platform_abort();
  }
  TargetDirectory[0] = 0;
  append_wide_bounded(TargetDirectory, NormalisedDirectory, PATH_CAPACITY);
}

static void check_payload_magic(void) {
  for (size_t i = 0; i < PAYLOAD_MAGIC_SIZE; ++i) {
    if (build_payload_length() <= i || build_payload()[i] != PAYLOAD_MAGIC[i]) {
      fail_with_message("Error, couldn't find attached data header.");
    }
  }
}

// The directory of the launcher's executable: its path up to the last
// separator; a path without one stays whole.
static void publish_launcher_directory(void) {
  LauncherDirectory[0] = 0;
  append_wide_bounded(LauncherDirectory, get_executable_path(), EXECUTABLE_PATH_CAPACITY);
  cut_at_last_separator(LauncherDirectory);
  set_environment_value("ZOVARI_ONEFILE_DIRECTORY", LauncherDirectory);
}

static const char* const CUT_SHORT_MESSAGE =
    "Error, launcher file is incomplete (cut short, as by an interrupted download).";

// Looks at the build area before anything is read from it: a damaged offset
// or a value without its end would send the reads outside the area, and a
// damaged value (a flipped letter in the template, say) no longer gives the
// values' checksum.  Such a launcher cannot find its attached data; one cut
// short in its last page says so.  Only this runtime's own layout passes.
static void check_own_build_area(void) {
  struct build_area_verdict area =
      check_build_area(build_area(), platform_image_part_size(build_area()), sizeof(wchar_t), false);
  if (area.state == BUILD_AREA_CUT_SHORT) fail_with_message(CUT_SHORT_MESSAGE);
  if (area.state != BUILD_AREA_SOUND) fail_with_message("Error, couldn't find attached data header.");
}

uint32_t launcher_main(void) {
  // The build values and the payload lie at the end of the file, and a file
  // cut short would end the launcher with a crash when they are read.
  if (!platform_image_is_whole()) fail_with_message(CUT_SHORT_MESSAGE);
  check_own_build_area();
  const wchar_t* argument_zero = platform_argument_zero();
  platform_narrow_library_search();
  prepare_environment();
  // The child gets the launcher's own path, and a template may name its
  // folder: a start that cannot have it says so before anything is written.
  if (get_executable_path()[0] == 0) {
    fail_with_message("Error, couldn't find the launcher's own file.");
  }
  derive_target_directory();

  if (!platform_register_console_handler(console_control_handler)) {
    fail_with_message("Error, failed to register signal handler.");
  }
  check_payload_magic();
  // A folder of its own for each start holds no earlier start's files: no
  // stamp is looked for or left beside it.
  const bool folder_per_start = template_names_a_folder_per_start(build_value(BUILD_TEMPLATE));
  if (folder_per_start) platform_lock_folders_per_start();
  if (build_option(BUILD_OPTION_CLEAN_CACHE)) {
    prepare_cache_cleaning(build_value(BUILD_COMPANY), build_value(BUILD_PRODUCT), build_value(BUILD_TEMPLATE),
                           build_value(BUILD_VERSION), build_payload(), build_payload_length(), folder_per_start);
    arm_cache_cleaning();
  }
  const wchar_t* main_binary =
      quick_start_check(TargetDirectory, folder_per_start ? nullptr : build_quick_start_list());
  if (main_binary == nullptr) {
    payload_reader_init(build_payload() + PAYLOAD_MAGIC_SIZE,
                        (size_t)(build_payload_length() - PAYLOAD_MAGIC_SIZE));
    unpack_files(TargetDirectory);
    payload_reader_finish();
    payload_reader_close();

    // A payload without any file leaves nothing to start.
    main_binary = unpack_main_binary_path();
    if (main_binary[0] == 0) {
      fail_with_message("Error, attached data holds no files.");
    }
    quick_start_record();
  }

  publish_launcher_directory();
  // Where the application lies, for an interpreter's script among its files.
  set_environment_value("ZOVARI_ONEFILE_TARGET_DIR", TargetDirectory);
  set_environment_value("ZOVARI_ORIGINAL_ARGV0", argument_zero != nullptr ? argument_zero : L"");
  build_child_command_line(build_value(BUILD_FIXED_ARGUMENTS), TargetDirectory);
  // A folder of its own for each start stays, as every target does: a
  // helper the program leaves running in the background still uses its
  // files.  A build that asks for it (--clean-cache) removes it after the
  // child, with the folders this start made above it, rather than pile up a
  // copy of the application per start.  One that this start found is never
  // removed: it may be another start's, or the user's.
  if (target_directory_made() && folder_per_start && build_option(BUILD_OPTION_CLEAN_CACHE)) {
    remove_after_child();
  }
  return run_child(main_binary);
}
