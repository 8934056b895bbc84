#include "support/test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>

#include <zlib.h>
#include <zstd.h>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#else
#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace test_support {

// ------------------------------------------------------------------ text

#ifdef _WIN32
std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring out((size_t)length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], length);
  return out;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0,
                                   nullptr, nullptr);
  std::string out((size_t)length, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], length, nullptr,
                      nullptr);
  return out;
}

static const wchar_t SEPARATOR = L'\\';
#else
// Plain UTF-8; the tests only use valid text.
std::wstring widen(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = (unsigned char)text[i];
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      code = (code << 6) | ((unsigned char)text[i + k] & 0x3F);
    }
    out += (wchar_t)code;
    i += length;
  }
  return out;
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t unit : text) {
    uint32_t code = (uint32_t)unit;
    if (code < 0x80) {
      out += (char)code;
    } else if (code < 0x800) {
      out += (char)(0xC0 | code >> 6);
      out += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += (char)(0xE0 | code >> 12);
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    } else {
      out += (char)(0xF0 | code >> 18);
      out += (char)(0x80 | ((code >> 12) & 0x3F));
      out += (char)(0x80 | ((code >> 6) & 0x3F));
      out += (char)(0x80 | (code & 0x3F));
    }
  }
  return out;
}

static const wchar_t SEPARATOR = L'/';
#endif

std::wstring join_path(const std::wstring& a, const std::wstring& b) {
  return a + SEPARATOR + b;
}

// ------------------------------------------------------------------ files

#ifdef _WIN32
static void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = join_path(path, name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

TempDir::TempDir() {
  wchar_t base[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, base);
  std::wstring root(base, length);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  static unsigned counter;
  for (;;) {
    std::wstring candidate = root + L"\\zovari-unit-" + std::to_wstring(GetCurrentProcessId()) +
                             L"-" + std::to_wstring(GetTickCount()) + L"-" +
                             std::to_wstring(++counter);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) abort();
  }
}

TempDir::~TempDir() { remove_tree(path_); }

bool write_file(const std::wstring& path, const std::string& data) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), file) == data.size();
  return fclose(file) == 0 && ok;
}

bool read_file(const std::wstring& path, std::string* data) {
  FILE* file = _wfopen(path.c_str(), L"rb");
#else
static void remove_tree(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (directory != nullptr) {
    while (struct dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat status;
      if (lstat(child.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        remove_tree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(directory);
  }
  rmdir(path.c_str());
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") +
                        "/zovari-unit-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  path_ = widen(pattern);
}

TempDir::~TempDir() { remove_tree(narrow(path_)); }

bool write_file(const std::wstring& path, const std::string& data) {
  FILE* file = fopen(narrow(path).c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(data.data(), 1, data.size(), file) == data.size();
  return fclose(file) == 0 && ok;
}

bool read_file(const std::wstring& path, std::string* data) {
  FILE* file = fopen(narrow(path).c_str(), "rb");
#endif
  if (file == nullptr) return false;
  data->clear();
  char piece[65536];
  size_t got;
  while ((got = fread(piece, 1, sizeof piece, file)) > 0) data->append(piece, got);
  bool ok = ferror(file) == 0;
  fclose(file);
  return ok;
}

bool copy_file(const std::wstring& from, const std::wstring& to) {
  std::string data;
  if (!read_file(from, &data) || !write_file(to, data)) return false;
#ifndef _WIN32
  chmod(narrow(to).c_str(), 0755);
#endif
  return true;
}

#ifdef _WIN32
static DWORD attributes_of(const std::wstring& path) {
  return GetFileAttributesW(path.c_str());
}

bool file_exists(const std::wstring& path) {
  DWORD attributes = attributes_of(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directory_exists(const std::wstring& path) {
  DWORD attributes = attributes_of(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool make_directory(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr); }

std::vector<std::string> entry_names(const std::wstring& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::string bytes;
    for (wchar_t unit : name) {
      bytes += (char)(unit & 0xFF);
      bytes += (char)(unit >> 8);
    }
    names.push_back(bytes);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}
bool remove_directory(const std::wstring& path) { return RemoveDirectoryW(path.c_str()); }
bool remove_file(const std::wstring& path) { return DeleteFileW(path.c_str()); }

int64_t modification_time(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (int64_t)(((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) |
                   data.ftLastWriteTime.dwLowDateTime);
}

bool set_old_modification_time(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME old;  // 2001-01-01
  uint64_t stamp = 126227808000000000ULL;
  old.dwLowDateTime = (DWORD)stamp;
  old.dwHighDateTime = (DWORD)(stamp >> 32);
  BOOL ok = SetFileTime(file, nullptr, nullptr, &old);
  CloseHandle(file);
  return ok != 0;
}

// Wine running as root lets a read-only file be written all the same, so the
// attribute only counts once an open for writing has really been refused.
bool set_unwritable(const std::wstring& path, bool unwritable) {
  if (!SetFileAttributesW(path.c_str(),
                          unwritable ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL)) {
    return false;
  }
  if (!unwritable) return true;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return true;
  CloseHandle(file);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return false;
}
#else
bool file_exists(const std::wstring& path) {
  struct stat status;
  return stat(narrow(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool directory_exists(const std::wstring& path) {
  struct stat status;
  return stat(narrow(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool make_directory(const std::wstring& path) { return mkdir(narrow(path).c_str(), 0777) == 0; }

std::vector<std::string> entry_names(const std::wstring& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(narrow(path).c_str());
  if (directory == nullptr) return names;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}
bool remove_directory(const std::wstring& path) { return rmdir(narrow(path).c_str()) == 0; }
bool remove_file(const std::wstring& path) { return unlink(narrow(path).c_str()) == 0; }

int64_t modification_time(const std::wstring& path) {
  struct stat status;
  if (stat(narrow(path).c_str(), &status) != 0) return -1;
  return (int64_t)status.st_mtim.tv_sec * 1000000000 + status.st_mtim.tv_nsec;
}

bool set_old_modification_time(const std::wstring& path) {
  struct timespec times[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
  return utimensat(AT_FDCWD, narrow(path).c_str(), times, 0) == 0;
}

bool set_unwritable(const std::wstring& path, bool unwritable) {
  int fd = open(narrow(path).c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = unwritable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

unsigned file_mode(const std::wstring& path) {
  struct stat status;
  if (stat(narrow(path).c_str(), &status) != 0) return 0xFFFF;
  return status.st_mode & 07777;
}

unsigned current_umask() {
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}
#endif

// ------------------------------------------------------------------ environment

#ifdef _WIN32
static bool read_variable(const std::string& name, std::wstring* value) {
  std::wstring wide_name = widen(name);
  DWORD length = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (length == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    value->clear();
    return true;
  }
  std::wstring buffer(length, L'\0');
  length = GetEnvironmentVariableW(wide_name.c_str(), &buffer[0], length);
  *value = buffer.substr(0, length);
  return true;
}

static void write_variable(const std::string& name, const std::wstring* value) {
  SetEnvironmentVariableW(widen(name).c_str(), value != nullptr ? value->c_str() : nullptr);
}
#else
static bool read_variable(const std::string& name, std::wstring* value) {
  const char* found = getenv(name.c_str());
  if (found == nullptr) return false;
  *value = widen(found);
  return true;
}

static void write_variable(const std::string& name, const std::wstring* value) {
  if (value != nullptr) {
    setenv(name.c_str(), narrow(*value).c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}
#endif

bool environment_variable(const char* name, std::wstring* value) {
  return read_variable(name, value);
}

void ScopedEnvironment::save(const char* name) {
  for (const Saved& saved : saved_) {
    if (saved.name == name) return;
  }
  Saved saved;
  saved.name = name;
  saved.was_set = read_variable(name, &saved.value);
  saved_.push_back(saved);
}

void ScopedEnvironment::set(const char* name, const std::wstring& value) {
  save(name);
  write_variable(name, &value);
}

void ScopedEnvironment::unset(const char* name) {
  save(name);
  write_variable(name, nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
    write_variable(saved->name, saved->was_set ? &saved->value : nullptr);
  }
}

// ------------------------------------------------------------------ programs

#ifdef _WIN32
// Quotes one argument for the child's splitter; enough for the paths and
// words the tests pass.
static std::wstring quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += unit;
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

// The C run-time writes each line feed on a text stream as CR LF.
static std::string without_carriage_returns(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  }
  return out;
}

ChildResult run_program(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  ChildResult result;
  TempDir scratch;
  std::wstring out_path = scratch / L"out", err_path = scratch / L"err";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  HANDLE err = CreateFileW(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  std::wstring line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line += L' ';
    line += quoted(arguments[i]);
  }
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  if (CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &process)) {
    result.started = true;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exit_code = (int)code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  read_file(out_path, &result.out);
  read_file(err_path, &result.err);
  result.out = without_carriage_returns(result.out);
  result.err = without_carriage_returns(result.err);
  return result;
}

bool ended_by_abort(const ChildResult& result) {
  return result.started && result.exit_code == 3;
}

std::wstring own_program_path() {
  wchar_t path[4096];
  DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  return std::wstring(path, length);
}

std::wstring sibling_program(const std::wstring& name) {
  std::wstring own = own_program_path();
  return own.substr(0, own.find_last_of(L'\\')) + L"\\" + name + L".exe";
}

void redirect_stdout_to_stderr() {
  fflush(stdout);
  _dup2(_fileno(stderr), _fileno(stdout));
}
#else
ChildResult run_program(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  ChildResult result;
  TempDir scratch;
  std::string out_path = narrow(scratch / L"out"), err_path = narrow(scratch / L"err");
  std::string path = narrow(program);
  std::vector<std::string> narrow_arguments;
  for (const std::wstring& argument : arguments) narrow_arguments.push_back(narrow(argument));
  std::vector<char*> vector;
  for (std::string& argument : narrow_arguments) vector.push_back(&argument[0]);
  vector.push_back(nullptr);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    execv(path.c_str(), vector.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    result.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  read_file(widen(out_path), &result.out);
  read_file(widen(err_path), &result.err);
  return result;
}

bool ended_by_abort(const ChildResult& result) {
  return result.started && result.signal == SIGABRT;
}

std::wstring own_program_path() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? widen(std::string(path, (size_t)length)) : std::wstring();
}

std::wstring sibling_program(const std::wstring& name) {
  std::wstring own = own_program_path();
  return own.substr(0, own.find_last_of(L'/')) + L"/" + name;
}

void redirect_stdout_to_stderr() {
  fflush(stdout);
  dup2(2, 1);
}
#endif

// ------------------------------------------------------------------ payloads

uint32_t crc32_of(const std::string& data) {
  return (uint32_t)crc32(0L, (const Bytef*)data.data(), (uInt)data.size());
}

uint32_t file_checksum_of(const std::string& data) {
  uint32_t crc = crc32_of(data);
  return crc != 0 ? crc : 1;
}

// CRC-32 of a fixed prefix and four free bytes is affine in those bytes'
// 32 bits, so the bytes for a wanted value come from one linear solve.
std::string with_crc(const std::string& prefix, uint32_t crc) {
  auto crc_with = [&](uint32_t bits) {
    std::string data = prefix;
    for (int k = 0; k < 4; ++k) data += (char)(bits >> (8 * k));
    return crc32_of(data);
  };
  uint32_t base = crc_with(0);
  // image[b]: a combination of the free bits (combination[b]) whose effect
  // on the CRC has b as its highest bit.
  uint32_t image[32] = {0}, combination[32] = {0};
  for (int i = 0; i < 32; ++i) {
    uint32_t value = crc_with(1u << i) ^ base, mix = 1u << i;
    for (int b = 31; b >= 0; --b) {
      if (!(value >> b & 1)) continue;
      if (image[b] == 0) {
        image[b] = value;
        combination[b] = mix;
        break;
      }
      value ^= image[b];
      mix ^= combination[b];
    }
  }
  uint32_t wanted = crc ^ base, bits = 0;
  for (int b = 31; b >= 0; --b) {
    if (wanted >> b & 1) {
      wanted ^= image[b];
      bits ^= combination[b];
    }
  }
  std::string data = prefix;
  for (int k = 0; k < 4; ++k) data += (char)(bits >> (8 * k));
  return data;
}

static void put_le(std::string* out, uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) *out += (char)(value >> (8 * k));
}

std::string payload_stream(const std::vector<Record>& records, bool end_record) {
  std::string stream;
  for (const Record& record : records) {
    for (wchar_t unit : record.name) put_le(&stream, (uint16_t)unit, 2);
    put_le(&stream, 0, 2);
    put_le(&stream, record.data.size(), 8);
    put_le(&stream, file_checksum_of(record.data), 4);
    stream += record.data;
  }
  if (end_record) put_le(&stream, 0, 2);
  return stream;
}

std::string compress_frame(const std::string& stream, unsigned char window_descriptor,
                           const std::vector<size_t>& flush_points,
                           std::vector<size_t>* compressed_points) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 20);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  std::string frame;
  std::vector<char> piece(ZSTD_CStreamOutSize());
  auto run = [&](size_t from, size_t to, ZSTD_EndDirective mode) {
    ZSTD_inBuffer input = {stream.data() + from, to - from, 0};
    for (;;) {
      ZSTD_outBuffer output = {piece.data(), piece.size(), 0};
      size_t left = ZSTD_compressStream2(context, &output, &input, mode);
      if (ZSTD_isError(left)) abort();
      frame.append(piece.data(), output.pos);
      if (input.pos == input.size && left == 0) break;
      if (mode == ZSTD_e_continue && input.pos == input.size) break;
    }
  };
  // The whole input goes in with "continue" first, so the library never
  // learns the size and writes a header without one.
  size_t done = 0;
  for (size_t point : flush_points) {
    run(done, point, ZSTD_e_continue);
    run(point, point, ZSTD_e_flush);
    if (compressed_points != nullptr) compressed_points->push_back(frame.size());
    done = point;
  }
  run(done, stream.size(), ZSTD_e_continue);
  run(stream.size(), stream.size(), ZSTD_e_end);
  ZSTD_freeCCtx(context);
  // Magic (4 bytes), frame header descriptor, window descriptor.  A frame
  // may always claim a larger window than its data uses.
  if (frame.size() < 6 || (unsigned char)frame[4] != 0x00) abort();
  frame[5] = (char)window_descriptor;
  return frame;
}

std::string container(const std::string& frame) {
  std::string payload = "QDY" + frame;
  while (payload.size() % 8 != 0) payload += '\0';
  put_le(&payload, payload.size(), 8);
  return payload;
}

std::string random_bytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string data(size, '\0');
  for (char& byte : data) byte = (char)(generator() & 0xFF);
  return data;
}

}  // namespace test_support
