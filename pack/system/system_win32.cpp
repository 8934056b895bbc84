// The system seam on Windows: wide calls throughout, so that every path the
// user gives works whatever the code page.
#include "pack/system/system.h"

#include <windows.h>
#include <io.h>

#include <vector>

namespace fs = std::filesystem;

namespace zovari {

namespace {

void fail(SystemProblem* problem) {
  DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide = text != nullptr ? text : L"";
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) wide.pop_back();
  problem->text = fs::path(wide).u8string() + " (error " + std::to_string(code) + ")";
  problem->missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  problem->exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

HANDLE handle(FileId file) { return reinterpret_cast<HANDLE>(file); }

FileId id(HANDLE handle, SystemProblem* problem) {
  if (handle != INVALID_HANDLE_VALUE) return reinterpret_cast<FileId>(handle);
  fail(problem);
  return NO_FILE;
}

}  // namespace

FileId open_for_reading(const fs::path& path, SystemProblem* problem) {
  return id(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            problem);
}

FileId create_new_file(const fs::path& path, SystemProblem* problem) {
  // CREATE_NEW never opens what is there, a link included.  Others may not
  // read or write it, but an interrupt may remove it while it is open.
  return id(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr),
            problem);
}

long long read_file(FileId file, char* data, size_t size, SystemProblem* problem) {
  DWORD got = 0;
  DWORD want = size > (1u << 30) ? (1u << 30) : (DWORD)size;
  if (ReadFile(handle(file), data, want, &got, nullptr)) return got;
  fail(problem);
  return -1;
}

bool write_file(FileId file, const char* data, size_t size, SystemProblem* problem) {
  while (size > 0) {
    DWORD done = 0;
    DWORD want = size > (1u << 30) ? (1u << 30) : (DWORD)size;
    if (!WriteFile(handle(file), data, want, &done, nullptr) || done == 0) {
      fail(problem);
      return false;
    }
    data += done;
    size -= done;
  }
  return true;
}

long long regular_file_size(FileId file, SystemProblem* problem) {
  if (GetFileType(handle(file)) != FILE_TYPE_DISK) {
    problem->text = "not a regular file";
    return -1;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(handle(file), &size)) return size.QuadPart;
  fail(problem);
  return -1;
}

bool file_version(FileId file, FileVersion* version, SystemProblem* problem) {
  LARGE_INTEGER size;
  FILE_BASIC_INFO basic;
  if (!GetFileSizeEx(handle(file), &size) ||
      !GetFileInformationByHandleEx(handle(file), FileBasicInfo, &basic, sizeof basic)) {
    fail(problem);
    return false;
  }
  version->size = size.QuadPart;
  version->modified = basic.LastWriteTime.QuadPart;
  version->changed = basic.ChangeTime.QuadPart;
  return true;
}

bool seek_file(FileId file, uint64_t offset, SystemProblem* problem) {
  LARGE_INTEGER to;
  to.QuadPart = (LONGLONG)offset;
  if (SetFilePointerEx(handle(file), to, nullptr, FILE_BEGIN)) return true;
  fail(problem);
  return false;
}

bool set_file_mode(FileId, unsigned, SystemProblem*) { return true; }

bool close_file(FileId file, SystemProblem* problem) {
  if (CloseHandle(handle(file))) return true;
  fail(problem);
  return false;
}

const unsigned char* map_file(FileId file, uint64_t size, SystemProblem* problem) {
  HANDLE mapping = CreateFileMappingW(handle(file), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) {
    fail(problem);
    return nullptr;
  }
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, (SIZE_T)size);
  if (view == nullptr) fail(problem);
  CloseHandle(mapping);  // the view keeps the mapping
  return static_cast<const unsigned char*>(view);
}

void unmap_file(const unsigned char* data, uint64_t) { UnmapViewOfFile(data); }

fs::path own_executable_path() {
  std::vector<wchar_t> buffer(32768);
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), (DWORD)buffer.size());
  return length == 0 || length >= buffer.size() ? fs::path() : fs::path(std::wstring(buffer.data(), length));
}

int processor_count() {
  DWORD_PTR process = 0, system = 0;
  int count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    for (; process != 0; process &= process - 1) ++count;
  }
  return count > 0 ? count : 1;
}

bool make_private_folder(const fs::path& base, fs::path* made, SystemProblem* problem) {
  // A folder in the user's own temporary folder, which only they may enter.
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[32];
    swprintf(name, 32, L"zovari-pack.%08lx", (unsigned long)(GetTickCount() * 2654435761u + attempt * 40503u));
    fs::path candidate = base / name;
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      *made = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  fail(problem);
  return false;
}

bool error_stream_is_terminal() { return _isatty(2) != 0; }

unsigned creation_mask() { return 0; }

}  // namespace zovari
