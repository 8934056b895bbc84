// The report child: the main binary of the end-to-end tests' launchers.  It writes
// down what it received from the launcher and exits as it is told.
//
// Its arguments are the launcher's, so it is steered through its environment:
//   ZOVARI_REPORT_CHILD_REPORT  where to write the report (JSON); written to a
//                        temporary name and renamed, so that a report that
//                        exists is complete
//   ZOVARI_REPORT_CHILD_EXIT    the exit code, decimal or 0x-hex, all 32 bits
//   ZOVARI_REPORT_CHILD_MARKER  a text written to standard output and standard error
//   ZOVARI_REPORT_CHILD_STDIN   "1": read standard input to its end into the report
//   ZOVARI_REPORT_CHILD_SIGNAL  "exit": on SIGINT, SIGQUIT, SIGHUP or SIGTERM (Windows:
//                        any console control event) write the signal number (the
//                        event's code) to REPORT.signal and exit (Windows: with
//                        ZOVARI_REPORT_CHILD_EXIT); "ignore": ignore them all.  Either way the report child then
//                        waits for at most 60 s before it exits on its own,
//                        writing REPORT.end.
//   ZOVARI_REPORT_CHILD_RAISE   (POSIX) a signal number: the report child ends by that
//                        signal, default handling, after its report.
//
// The report holds strings as JSON with \u escapes: UTF-16 units on Windows,
// bytes above 0x7F as they are on Linux.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

const char* const kVariables[] = {"ZOVARI_ONEFILE_PARENT",  "ZOVARI_ONEFILE_DIRECTORY",
                                  "ZOVARI_ORIGINAL_ARGV0",  "ZOVARI_ONEFILE_START",
                                  "ZOVARI_ONEFILE_TIME_US", "ZOVARI_ONEFILE_RANDOM",
                                  "ZOVARI_ONEFILE_TARGET_DIR"};

// One JSON string from code units (UTF-16 units or bytes).
template <typename Unit>
std::string json_string(const Unit* text, size_t length) {
  std::string out = "\"";
  for (size_t i = 0; i < length; ++i) {
    uint32_t unit = (uint32_t)(typename std::make_unsigned<Unit>::type)text[i];
    if (unit == '"' || unit == '\\') {
      out += '\\';
      out += (char)unit;
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += (char)unit;
    } else if (sizeof(Unit) == 1 && unit >= 0x80) {
      out += (char)unit;  // UTF-8 (or any bytes) as they came
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", (unsigned)unit);
      out += escape;
    }
  }
  return out + "\"";
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

#if defined(_WIN32)

std::string json_wide(const wchar_t* text) {
  return text != nullptr ? json_string(text, wcslen(text)) : "null";
}

std::wstring wide(const char* name) {
  std::wstring out;
  for (; *name != 0; ++name) out += (wchar_t)(unsigned char)*name;
  return out;
}

bool get_variable(const char* name, std::wstring* value) {
  std::wstring wide_name = wide(name);
  DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) return false;
  std::vector<wchar_t> buffer(needed + 1);
  DWORD length = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), needed + 1);
  value->assign(buffer.data(), length);
  return true;
}

std::string json_variable(const char* name) {
  std::wstring value;
  if (!get_variable(name, &value)) return "null";
  return json_string(value.c_str(), value.size());
}

uint32_t parent_process_id() {
  DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  uint32_t parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

std::string read_standard_input() {
  std::string data;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

void write_to(DWORD which, const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text.data(), (DWORD)text.size(), &written, nullptr);
}

std::string collect_report(const std::string& input, bool read_input) {
  std::string report = "{\n";
  report += "\"platform\": \"windows\",\n";
  report += "\"command_line\": " + json_wide(GetCommandLineW()) + ",\n";
  int count = 0;
  wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; split != nullptr && i < count; ++i) arguments.push_back(json_wide(split[i]));
  report += "\"argv\": " + json_list(arguments) + ",\n";
  report += "\"environment\": {";
  for (size_t i = 0; i < sizeof kVariables / sizeof kVariables[0]; ++i) {
    report += std::string(i ? ", " : "") + "\"" + kVariables[i] + "\": " + json_variable(kVariables[i]);
  }
  report += "},\n";
  wchar_t path[32768];
  DWORD length = GetCurrentDirectoryW(32768, path);
  report += "\"cwd\": " + json_string(path, length < 32768 ? length : 0) + ",\n";
  length = GetModuleFileNameW(nullptr, path, 32768);
  report += "\"executable\": " + json_string(path, length < 32768 ? length : 0) + ",\n";
  report += "\"pid\": " + std::to_string(GetCurrentProcessId()) + ",\n";
  report += "\"parent_pid\": " + std::to_string(parent_process_id()) + ",\n";
  report += "\"stdin\": " + (read_input ? json_string(input.data(), input.size()) : "null") + "\n";
  return report + "}\n";
}

bool write_report(const std::string& report) {
  std::wstring path;
  if (!get_variable("ZOVARI_REPORT_CHILD_REPORT", &path)) return false;
  std::wstring partial = path + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL wrote = WriteFile(file, report.data(), (DWORD)report.size(), &written, nullptr);
  CloseHandle(file);
  return wrote && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

uint32_t exit_code() {
  std::wstring text;
  if (!get_variable("ZOVARI_REPORT_CHILD_EXIT", &text)) return 0;
  return (uint32_t)wcstoul(text.c_str(), nullptr, 0);
}

std::string marker() {
  std::wstring text;
  if (!get_variable("ZOVARI_REPORT_CHILD_MARKER", &text)) return std::string();
  std::string narrow;
  for (wchar_t unit : text) narrow += (char)unit;
  return narrow;
}

std::wstring EventFile;

BOOL WINAPI on_event(DWORD code) {
  std::string text = std::to_string(code) + "\n";
  HANDLE file = CreateFileW(EventFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE) {
    WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
    CloseHandle(file);
  }
  ExitProcess(exit_code());
}

BOOL WINAPI ignore_event(DWORD) { return TRUE; }

// Stays alive until a console event ends it, or 60 s at most.
void await_event(const std::wstring& mode) {
  std::wstring report;
  if (!get_variable("ZOVARI_REPORT_CHILD_REPORT", &report)) return;
  EventFile = report + L".signal";
  SetConsoleCtrlHandler(mode == L"ignore" ? ignore_event : on_event, TRUE);
  for (int second = 0; second < 60; ++second) Sleep(1000);
  HANDLE file = CreateFileW((report + L".end").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                            nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

#else  // POSIX

std::string json_narrow(const char* text) {
  return text != nullptr ? json_string(text, strlen(text)) : "null";
}

void write_to(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written <= 0) return;
    done += (size_t)written;
  }
}

std::string read_standard_input() {
  std::string data;
  char buffer[4096];
  ssize_t got;
  while ((got = read(0, buffer, sizeof buffer)) > 0) data.append(buffer, (size_t)got);
  return data;
}

std::vector<std::string> Arguments;

std::string collect_report(const std::string& input, bool read_input) {
  std::string report = "{\n";
  report += "\"platform\": \"linux\",\n";
  report += "\"command_line\": null,\n";
  std::vector<std::string> arguments;
  for (const std::string& argument : Arguments) arguments.push_back(json_narrow(argument.c_str()));
  report += "\"argv\": " + json_list(arguments) + ",\n";
  report += "\"environment\": {";
  for (size_t i = 0; i < sizeof kVariables / sizeof kVariables[0]; ++i) {
    report += std::string(i ? ", " : "") + "\"" + kVariables[i] + "\": " + json_narrow(getenv(kVariables[i]));
  }
  report += "},\n";
  char path[65536];
  report += "\"cwd\": " + json_narrow(getcwd(path, sizeof path)) + ",\n";
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  path[length > 0 ? length : 0] = 0;
  report += "\"executable\": " + json_narrow(path) + ",\n";
  report += "\"pid\": " + std::to_string(getpid()) + ",\n";
  report += "\"parent_pid\": " + std::to_string(getppid()) + ",\n";
  report += "\"stdin\": " + (read_input ? json_string(input.data(), input.size()) : "null") + "\n";
  return report + "}\n";
}

bool write_file(const std::string& path, const std::string& contents) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool wrote = fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return fclose(file) == 0 && wrote;
}

bool write_report(const std::string& report) {
  const char* path = getenv("ZOVARI_REPORT_CHILD_REPORT");
  if (path == nullptr) return false;
  std::string partial = std::string(path) + ".partial";
  return write_file(partial, report) && rename(partial.c_str(), path) == 0;
}

uint32_t exit_code() {
  const char* text = getenv("ZOVARI_REPORT_CHILD_EXIT");
  return text != nullptr ? (uint32_t)strtoul(text, nullptr, 0) : 0;
}

std::string marker() {
  const char* text = getenv("ZOVARI_REPORT_CHILD_MARKER");
  return text != nullptr ? text : "";
}

std::string SignalFile;

void on_signal(int number) {
  // Only async-signal-safe calls here.
  char text[16];
  int length = snprintf(text, sizeof text, "%d\n", number);
  int fd = open(SignalFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, text, (size_t)length);
    (void)ignored;
    close(fd);
  }
  _exit(0);
}

// Stays alive until a signal ends it, or 60 s at most.
void await_signal(const char* mode) {
  const char* report = getenv("ZOVARI_REPORT_CHILD_REPORT");
  if (report == nullptr) return;
  SignalFile = std::string(report) + ".signal";
  void (*handler)(int) = strcmp(mode, "ignore") == 0 ? SIG_IGN : on_signal;
  for (int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) signal(number, handler);
  for (int second = 0; second < 60; ++second) sleep(1);
  write_file(std::string(report) + ".end", "alive\n");
}

#endif

}  // namespace

#if defined(_WIN32)
int wmain() {
  const DWORD standard_output = STD_OUTPUT_HANDLE, standard_error = STD_ERROR_HANDLE;
#else
int main(int argc, char** argv) {
  const int standard_output = 1, standard_error = 2;
  Arguments.assign(argv, argv + argc);
#endif
  std::string text = marker();
  if (!text.empty()) {
    write_to(standard_output, text + " on stdout\n");
    write_to(standard_error, text + " on stderr\n");
  }
  bool read_input = false;
#if defined(_WIN32)
  std::wstring flag;
  read_input = get_variable("ZOVARI_REPORT_CHILD_STDIN", &flag) && flag == L"1";
#else
  const char* flag = getenv("ZOVARI_REPORT_CHILD_STDIN");
  read_input = flag != nullptr && strcmp(flag, "1") == 0;
#endif
  std::string input = read_input ? read_standard_input() : std::string();
  if (!write_report(collect_report(input, read_input))) {
    write_to(standard_error, "report_child: could not write its report\n");
    return 99;
  }
#if !defined(_WIN32)
  const char* mode = getenv("ZOVARI_REPORT_CHILD_SIGNAL");
  if (mode != nullptr) await_signal(mode);
  const char* ending = getenv("ZOVARI_REPORT_CHILD_RAISE");
  if (ending != nullptr) {
    int number = atoi(ending);
    signal(number, SIG_DFL);
    // Not raise: the C library refuses the signals it keeps (32, 33).
    kill(getpid(), number);
  }
  return (int)exit_code();
#else
  std::wstring mode;
  if (get_variable("ZOVARI_REPORT_CHILD_SIGNAL", &mode)) await_event(mode);
  ExitProcess(exit_code());
#endif
}
