// Path template expansion against a reference model of the expansion rules.
//
// Every value behind a token is fixed by the harness for each input (the
// environment variables that the folders and run-time values come from, and
// the build values of fuzz_config.cpp), so the model knows the exact
// expected output, the result, and whether the launcher must abort because a
// value does not fit.  The output buffer is allocated with exactly the given
// capacity, so a write past the bound is an AddressSanitizer report.
//
// Input: byte 0 picks the environment, bytes 1-2 the capacity, the rest is
// the template, one unit per two bytes (little-endian), with a few byte
// pairs standing for braces to make tokens common.
#include <limits.h>
#include <pwd.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "image/config.h"
#include "platform/platform.h"
#include "guard.h"
#include "paths/bounded.h"
#include "paths/template.h"

static const size_t NAME_CAPACITY = 1024;

static std::wstring ProgramPath;

// Values an environment variable takes, chosen per input.
static const char* const FOLDER_VALUES[] = {"/home/fuzz", "/tmp/fuzz//", "relative/dir", "/",
                                            nullptr,      "/x/{TEMP}/y", "//"};
static const char* const NUMBER_VALUES[] = {"12345", "0042", "12a", nullptr, "{PID}",
                                            "99999999999999999999999"};
static const char* const TEXT_VALUES[] = {"abcdefghijk", "{TEMP}", "x", "0123456789"};

static std::string long_folder(size_t length) {
  std::string text = "/";
  text.append(length - 1, 'L');
  return text;
}

struct environment_choice {
  std::string home, tmpdir, cache;
  bool home_set, tmpdir_set, cache_set;
  std::string parent;
  bool parent_set;
  std::string random, time_us, time;
};

static void set_or_clear(const char* name, bool set, const std::string& value) {
  if (set) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

static environment_choice choose_environment(uint8_t pick, uint8_t extra) {
  environment_choice env;
  const size_t folders = sizeof FOLDER_VALUES / sizeof FOLDER_VALUES[0];
  const char* home = FOLDER_VALUES[pick % folders];
  const char* tmp = FOLDER_VALUES[(pick / 2 + 1) % folders];
  const char* cache = FOLDER_VALUES[(pick / 4 + 3) % folders];
  env.home_set = home != nullptr;
  env.home = home ? home : "";
  env.tmpdir_set = tmp != nullptr;
  env.tmpdir = tmp ? tmp : "";
  env.cache_set = cache != nullptr;
  env.cache = cache ? cache : "";
  // Long folders: values that cannot fit a small output, or the value
  // buffer itself.
  if (extra & 1) env.home = long_folder(1000 + (extra >> 1) % 40), env.home_set = true;
  if (extra & 2) env.tmpdir = long_folder(200 + extra), env.tmpdir_set = true;
  const char* parent = NUMBER_VALUES[(pick >> 5) % (sizeof NUMBER_VALUES / sizeof NUMBER_VALUES[0])];
  env.parent_set = parent != nullptr;
  env.parent = parent ? parent : "";
  env.random = TEXT_VALUES[(extra >> 2) % 4];
  env.time_us = TEXT_VALUES[(extra >> 4) % 4];
  env.time = TEXT_VALUES[(extra >> 6) % 4];
  set_or_clear("HOME", env.home_set, env.home);
  set_or_clear("TMPDIR", env.tmpdir_set, env.tmpdir);
  set_or_clear("XDG_CACHE_HOME", env.cache_set, env.cache);
  set_or_clear("ZOVARI_ONEFILE_PARENT", env.parent_set, env.parent);
  setenv("ZOVARI_ONEFILE_RANDOM", env.random.c_str(), 1);
  setenv("ZOVARI_ONEFILE_TIME_US", env.time_us.c_str(), 1);
  setenv("ZOVARI_ONEFILE_START", env.time.c_str(), 1);
  return env;
}

// ---------------------------------------------------------------- the model

enum model_end { MODEL_TRUE, MODEL_FALSE, MODEL_ABORT };

static std::wstring widen_ascii(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

static bool absolute(const std::string& value) {
  return !value.empty() && value[0] == '/';
}

// The home directory of the password entry, which the POSIX layer falls back
// on when $HOME is unset, relative or too long.
static std::wstring password_home(void) {
  struct passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') return L"";
  return widen_ascii(entry->pw_dir);
}

static std::wstring PasswordHome;

// A folder from an environment variable, as the POSIX layer takes it: unset
// or relative means look elsewhere; an absolute path too long for the value
// buffer (capacity units with the NUL) means the folder cannot be given.
enum folder_variable { VARIABLE_UNSET, VARIABLE_FOUND, VARIABLE_TOO_LONG };

static folder_variable folder_from(bool set, const std::string& value, size_t capacity) {
  if (!set || !absolute(value)) return VARIABLE_UNSET;
  return value.size() + 1 <= capacity ? VARIABLE_FOUND : VARIABLE_TOO_LONG;
}

// The profile folder: $HOME, else the password entry; empty when it cannot
// be given.
static std::wstring profile_folder(const environment_choice& env) {
  switch (folder_from(env.home_set, env.home, PLATFORM_FOLDER_CAPACITY)) {
    case VARIABLE_FOUND: return widen_ascii(env.home);
    case VARIABLE_TOO_LONG: return L"";
    case VARIABLE_UNSET: break;
  }
  return PasswordHome;
}

struct model {
  const environment_choice* env;
  size_t capacity;
  std::wstring output;
};

static void remove_trailing_slashes(std::wstring* output) {
  size_t keep = (!output->empty() && (*output)[0] == L'/') ? 1 : 0;
  while (output->size() > keep && output->back() == L'/') output->pop_back();
}

// Appends a value that must fit whole: false means abort.
static bool append_whole(model* m, const std::wstring& value) {
  if (m->output.size() + value.size() + 1 > m->capacity) return false;
  m->output += value;
  return true;
}

static bool all_digits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

static bool same_ignoring_case(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != 0; ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'a' && x <= L'z') x -= 32;
    if (y >= L'a' && y <= L'z') y -= 32;
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}

// The program's path appended where it fits (with its NUL); false when not.
static bool append_program(model* m) {
  size_t remaining = m->capacity - m->output.size();
  if (ProgramPath.size() + 1 > remaining) return false;
  m->output += ProgramPath;
  return true;
}

static model_end resolve(model* m, const std::wstring& name) {
  const environment_choice& env = *m->env;
  if (same_ignoring_case(name, L"TEMP")) {
    size_t remaining = m->capacity - m->output.size();
    std::wstring value = L"/tmp";
    switch (folder_from(env.tmpdir_set, env.tmpdir, remaining)) {
      case VARIABLE_FOUND: value = widen_ascii(env.tmpdir); break;
      case VARIABLE_TOO_LONG: return MODEL_FALSE;
      case VARIABLE_UNSET: break;
    }
    if (value.size() + 1 > remaining) return MODEL_FALSE;
    m->output += value;
    remove_trailing_slashes(&m->output);
    return MODEL_TRUE;
  }
  if (same_ignoring_case(name, L"PROGRAM")) return append_program(m) ? MODEL_TRUE : MODEL_FALSE;
  if (same_ignoring_case(name, L"PROGRAM_BASE") || same_ignoring_case(name, L"PROGRAM_DIR")) {
    size_t start = m->output.size();
    if (!append_program(m)) return MODEL_FALSE;
    std::wstring tail = m->output.substr(start);
    if (same_ignoring_case(name, L"PROGRAM_BASE")) {
      if (tail.size() >= 4 && same_ignoring_case(tail.substr(tail.size() - 4), L".exe")) {
        tail.resize(tail.size() - 4);
      }
    } else {
      size_t slash = tail.rfind(L'/');
      if (slash != std::wstring::npos) tail.resize(slash);
    }
    m->output.resize(start);
    m->output += tail;
    return MODEL_TRUE;
  }
  if (same_ignoring_case(name, L"PID")) {
    std::wstring value;
    if (env.parent_set && !env.parent.empty()) {
      if (!all_digits(env.parent)) return MODEL_ABORT;
      value = widen_ascii(env.parent);
    } else {
      value = std::to_wstring((long)getpid());
    }
    return append_whole(m, value) ? MODEL_TRUE : MODEL_ABORT;
  }
  if (same_ignoring_case(name, L"HOME") || same_ignoring_case(name, L"CACHE_DIR")) {
    std::wstring value;
    if (same_ignoring_case(name, L"HOME")) {
      value = profile_folder(env);
    } else if (folder_from(env.cache_set, env.cache, PLATFORM_FOLDER_CAPACITY) == VARIABLE_FOUND) {
      value = widen_ascii(env.cache);
    } else if (folder_from(env.cache_set, env.cache, PLATFORM_FOLDER_CAPACITY) == VARIABLE_UNSET) {
      value = profile_folder(env);
      if (value.empty()) return MODEL_FALSE;
      while (value.size() > 1 && value.back() == L'/') value.pop_back();
      if (value == L"/") value.clear();
      value += L"/.cache";
      if (value.size() + 1 > PLATFORM_FOLDER_CAPACITY) return MODEL_FALSE;
    }
    if (value.empty()) return MODEL_FALSE;
    if (!append_whole(m, value)) return MODEL_ABORT;
    remove_trailing_slashes(&m->output);
    return MODEL_TRUE;
  }
  static const struct {
    const wchar_t* name;
    const wchar_t* value;
  } build_values[] = {{L"COMPANY", build_value(BUILD_COMPANY)},
                      {L"PRODUCT", build_value(BUILD_PRODUCT)},
                      {L"VERSION", build_value(BUILD_VERSION)},
                      {L"FILE_VERSION", build_value(BUILD_FILE_VERSION)},
                      {L"PRODUCT_VERSION", build_value(BUILD_PRODUCT_VERSION)}};
  for (const auto& build : build_values) {
    if (same_ignoring_case(name, build.name)) {
      return append_whole(m, build.value) ? MODEL_TRUE : MODEL_ABORT;
    }
  }
  const std::string* published = nullptr;
  if (same_ignoring_case(name, L"RANDOM")) published = &env.random;
  if (same_ignoring_case(name, L"TIME_US")) published = &env.time_us;
  if (same_ignoring_case(name, L"TIME")) published = &env.time;
  if (published != nullptr) {
    return append_whole(m, widen_ascii(*published)) ? MODEL_TRUE : MODEL_ABORT;
  }
  return MODEL_FALSE;
}

static model_end expand_model(model* m, const std::wstring& text) {
  std::wstring name;
  bool in_token = false;
  for (wchar_t unit : text) {
    if (unit == L'{') {
      in_token = true;
      name.clear();
    } else if (in_token && unit == L'}') {
      in_token = false;
      model_end end = resolve(m, name);
      if (end != MODEL_TRUE) return end;
    } else if (in_token) {
      if (name.size() + 1 >= NAME_CAPACITY) return MODEL_FALSE;
      name.push_back(unit);
    } else {
      if (m->output.size() + 2 > m->capacity) return MODEL_FALSE;
      m->output.push_back(unit);
    }
  }
  return MODEL_TRUE;
}

// ---------------------------------------------------------------- the harness

struct expansion_call {
  wchar_t* output;
  const wchar_t* text;
  size_t capacity;
  bool result;
};

static void run_expansion(void* context) {
  expansion_call* call = (expansion_call*)context;
  call->result = expand_path_template(call->output, call->text, call->capacity);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char path[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", path, PATH_MAX);
  if (length <= 0) abort();
  path[length] = 0;
  ProgramPath = widen_ascii(path);
  PasswordHome = password_home();
  return 0;
}

static wchar_t unit_from(const uint8_t* pair) {
  uint16_t value = (uint16_t)(pair[0] | pair[1] << 8);
  // Short forms for what templates are made of.
  switch (value >> 8) {
    case 0xF0: return L'{';
    case 0xF1: return L'}';
    case 0xF2: return L'/';
    case 0xF3: return L'\\';
    default: return (wchar_t)value;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  environment_choice env = choose_environment(data[0], data[1]);
  size_t capacity = (size_t)(data[2] | data[3] << 8);
  capacity = (capacity & 0x8000) ? 4096 : 1 + capacity % 1200;
  std::wstring text;
  for (size_t i = 4; i + 1 < size; i += 2) {
    wchar_t unit = unit_from(data + i);
    if (unit != 0) text.push_back(unit);
  }

  model expected = {&env, capacity, L""};
  model_end end = expand_model(&expected, text);

  wchar_t* output = (wchar_t*)malloc(capacity * sizeof(wchar_t));
  expansion_call call = {output, text.c_str(), capacity, false};
  guarded_result result = run_guarded(run_expansion, &call);
  if (result.end == GUARDED_EXITED) fuzz_finding("expansion exited with %d", result.status);
  if (end == MODEL_ABORT) {
    if (result.end != GUARDED_ABORTED) fuzz_finding("no abort for a value that does not fit");
  } else {
    if (result.end == GUARDED_ABORTED) fuzz_finding("abort, expected %s", end == MODEL_TRUE ? "true" : "false");
    if (call.result != (end == MODEL_TRUE)) {
      fuzz_finding("result %d, expected %d; output '%ls' expected '%ls'", call.result,
                   end == MODEL_TRUE, output, expected.output.c_str());
    }
    if (expected.output != output) {
      fuzz_finding("output '%ls', expected '%ls'", output, expected.output.c_str());
    }
  }
  free(output);
  return 0;
}
