// Windows file-system calls for the patch: plain handles from CreateFileW, no
// stdio, so every call's result reaches us and nothing is buffered behind our
// back. Names arrive as UTF-8 and go to the system as UTF-16.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "patcher/file_io.hpp"

namespace {

// The reasons go out through the console, which takes code page 437 text.
constexpr UINT message_code_page = 437;
// ReadFile and WriteFile count in 32 bits; stay well inside that.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;
constexpr int temporary_name_attempts = 100;

std::string system_reason(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide;
  if (length > 0 && text != nullptr) {
    wide.assign(text, length);
  }
  LocalFree(text);
  // The system's sentences end in ".\r\n"; ours add their own full stop.
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L'.' ||
                           wide.back() == L' ')) {
    wide.pop_back();
  }
  const int wide_length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(message_code_page, 0, wide.data(), wide_length, nullptr, 0,
                                       nullptr, nullptr);
  std::string reason(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size <= 0 || WideCharToMultiByte(message_code_page, 0, wide.data(), wide_length,
                                       reason.data(), size, nullptr, nullptr) != size) {
    char number[32];
    std::snprintf(number, sizeof number, "system error %lu", static_cast<unsigned long>(code));
    return number;
  }
  return reason;
}

// Reads the system's error first, before anything else can overwrite it.
bool fail(io_error& error, const char* action, const std::string& file) {
  const DWORD code = GetLastError();
  error.action = action;
  error.file = file;
  error.reason = system_reason(code);
  error.not_found = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  return false;
}

bool fail_with(io_error& error, const char* action, const std::string& file, const char* reason) {
  error.action = action;
  error.file = file;
  error.reason = reason;
  return false;
}

bool to_wide(const std::string& name, std::wstring& wide) {
  const int length = static_cast<int>(name.size());
  const int wide_length =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), length, nullptr, 0);
  if (wide_length <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(wide_length), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), length, wide.data(),
                             wide_length) == wide_length;
}

HANDLE handle_of(const open_file& file) { return reinterpret_cast<HANDLE>(file.native); }

void hold(open_file& file, HANDLE handle, const std::string& name) {
  file.native = reinterpret_cast<std::intptr_t>(handle);
  file.name = name;
}

// Eight hex digits that differ between runs and between tries; CREATE_NEW,
// not this number, is what keeps two files apart.
std::string temporary_suffix(unsigned attempt) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const unsigned long long mixed =
      (static_cast<unsigned long long>(now.QuadPart) ^
       (static_cast<unsigned long long>(GetCurrentProcessId()) << 20)) *
          0x9E3779B97F4A7C15ull +
      attempt;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".tmp-%08lx",
                static_cast<unsigned long>((mixed >> 32) & 0xFFFFFFFFu));
  return suffix;
}

}  // namespace

bool is_open(const open_file& file) { return handle_of(file) != INVALID_HANDLE_VALUE; }

bool open_for_reading(const std::string& name, open_file& file, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail(error, "open", name);
  }
  // Others may read along, but nobody writes while we read. Backup semantics
  // let a folder open too, so that it is refused as a folder, not as missing.
  const HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail(error, "open", name);
  }
  hold(file, handle, name);
  return true;
}

bool check_regular_file(const open_file& file, io_error& error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(file), &info)) {
    return fail(error, "examine", file.name);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return fail_with(error, "read", file.name, "it is a folder");
  }
  if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
    return fail_with(error, "read", file.name, "it is not a regular file");
  }
  return true;
}

bool create_temporary_beside(const std::string& final_name, open_file& file, io_error& error) {
  for (unsigned attempt = 0;; ++attempt) {
    const std::string name = final_name + temporary_suffix(attempt);
    std::wstring wide;
    if (!to_wide(name, wide)) {
      return fail(error, "create", name);
    }
    // CREATE_NEW never opens what is already there, and with
    // FILE_FLAG_OPEN_REPARSE_POINT a link planted at the name counts as there.
    const HANDLE handle =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      hold(file, handle, name);
      return true;
    }
    const DWORD code = GetLastError();
    const bool taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    if (!taken || attempt + 1 >= temporary_name_attempts) {
      SetLastError(code);
      return fail(error, "create", name);
    }
  }
}

bool read_some(open_file& file, unsigned char* buffer, std::size_t capacity, std::size_t& got,
               io_error& error) {
  DWORD read = 0;
  const DWORD wanted = static_cast<DWORD>(std::min(capacity, largest_transfer));
  if (!ReadFile(handle_of(file), buffer, wanted, &read, nullptr)) {
    return fail(error, "read", file.name);
  }
  got = read;
  return true;
}

bool write_all(open_file& file, const unsigned char* data, std::size_t size, io_error& error) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min(size, largest_transfer));
    if (!WriteFile(handle_of(file), data, chunk, &written, nullptr)) {
      return fail(error, "write", file.name);
    }
    if (written == 0) {
      // A disk file takes everything or fails; nothing at all would loop forever.
      return fail_with(error, "write", file.name, "the disk took none of the data");
    }
    data += written;
    size -= written;
  }
  return true;
}

bool copy_permissions(const open_file& from, open_file& to, io_error& error) {
  // A file made in the folder inherits the folder's access rules, as the
  // game's own file did. The one attribute that matters, read-only, is not
  // copied: a read-only target is refused before anything is renamed.
  (void)from;
  (void)to;
  (void)error;
  return true;
}

bool sync_file(open_file& file, io_error& error) {
  if (!FlushFileBuffers(handle_of(file))) {
    return fail(error, "sync", file.name);
  }
  return true;
}

bool close_file(open_file& file, io_error& error) {
  const HANDLE handle = handle_of(file);
  file.native = -1;
  if (!CloseHandle(handle)) {
    return fail(error, "close", file.name);
  }
  return true;
}

void abandon_file(open_file& file) {
  if (is_open(file)) {
    CloseHandle(handle_of(file));
    file.native = -1;
  }
}

bool check_replaceable(const std::string& name, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail(error, "replace", name);
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return fail(error, "examine", name);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    return fail_with(error, "replace", name, "it is marked read-only");
  }
  // A running game keeps its file open; so may a virus scanner or an editor.
  // Asking for the file to ourselves is refused while anyone holds it.
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail(error, "replace", name);
  }
  if (!CloseHandle(handle)) {
    return fail(error, "close", name);
  }
  return true;
}

bool replace_file(const std::string& from, const std::string& to, io_error& error) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_wide(from, wide_from) || !to_wide(to, wide_to)) {
    return fail(error, "replace", to);
  }
  // Write-through: the call returns only once the rename is on the disk.
  if (!MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail(error, "replace", to);
  }
  return true;
}

bool sync_folder_of(const std::string& name, io_error& error) {
  // Nothing left to do: every rename went through MOVEFILE_WRITE_THROUGH,
  // which flushes it before returning. Windows has no call to sync a folder
  // short of flushing the whole volume, which needs administrator rights.
  (void)name;
  (void)error;
  return true;
}

void remove_quietly(const std::string& name) {
  std::wstring wide;
  if (to_wide(name, wide)) {
    DeleteFileW(wide.c_str());
  }
}

bool copy_times_and_attributes(const open_file& from, open_file& to, io_error& error) {
  (void)from;
  (void)to;
  (void)error;
  return true;
}

bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error) {
  (void)name;
  (void)error;
  names.clear();
  return true;
}
