// Windows file-system calls for the patch: plain handles from CreateFileW, no
// stdio, so every call's result reaches us and nothing is buffered behind our
// back. Names arrive as UTF-8 and go to the system as UTF-16.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/file_io.hpp"
#include "patcher/temporary_names.hpp"

namespace {

// ReadFile and WriteFile count in 32 bits; stay well inside that.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;
constexpr int temporary_name_attempts = 100;
// A virus scanner opens each file that was just closed, for a moment; a
// rename that meets it is tried again for about a second before we give up.
constexpr int busy_attempts = 8;
constexpr DWORD busy_pause_ms = 125;

constexpr char administrator_advice[] =
    "Under Program Files, run this program as administrator (right-click it).";

// WC_ERR_INVALID_CHARS, which the XP headers leave out: text that is not
// whole UTF-16 is refused rather than given replacement characters.
constexpr DWORD refuse_broken_utf16 = 0x80;

bool to_utf8(const wchar_t* wide, int wide_length, std::string& utf8) {
  DWORD flags = refuse_broken_utf16;
  int size = WideCharToMultiByte(CP_UTF8, flags, wide, wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    // Windows XP knows no such check and refuses the flag.
    flags = 0;
    size = WideCharToMultiByte(CP_UTF8, flags, wide, wide_length, nullptr, 0, nullptr, nullptr);
  }
  if (size <= 0) {
    return false;
  }
  utf8.assign(static_cast<std::size_t>(size), '\0');
  return WideCharToMultiByte(CP_UTF8, flags, wide, wide_length, utf8.data(), size, nullptr,
                             nullptr) == size;
}

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
  // Kept in the system's own language and script: the console shows it as
  // it is, and only redirected output narrows it to code page 437.
  std::string reason;
  if (wide.empty() || !to_utf8(wide.data(), static_cast<int>(wide.size()), reason)) {
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
  error.advice.clear();
  return false;
}

bool fail_with(io_error& error, const char* action, const std::string& file, const char* reason) {
  error.action = action;
  error.file = file;
  error.reason = reason;
  error.advice.clear();
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

// Differs between runs: the clock and the process id.
std::uint64_t temporary_seed() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart) ^
         (static_cast<std::uint64_t>(GetCurrentProcessId()) << 20);
}

bool is_busy(DWORD code) {
  // A sharing violation is someone holding the file. Access denied is too,
  // here: check_replaceable has just opened the name for writing and
  // deleting, so a refusal now comes from a file a scanner still has open
  // or a deletion still pending, not from the file's rights.
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

bool exists(const std::wstring& name) {
  if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  const DWORD code = GetLastError();
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

// A plain rename over whatever is at `to`. Write-through makes the call wait
// for the disk only when the move is a copy and a delete (another drive);
// sync_folder_of does what little more Windows allows.
bool move_over(const std::wstring& from, const std::wstring& to) {
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD code = GetLastError();
    if (!is_busy(code) || attempt >= busy_attempts) {
      SetLastError(code);
      return false;
    }
    Sleep(busy_pause_ms);
  }
}

// Puts `from` in the place of the existing `to` and lets it take over the
// identity of `to`: its attributes, access rules, creation time and short
// name stay those of the game's file.
bool replace_with_identity(const std::wstring& from, const std::wstring& to) {
  // REPLACEFILE_IGNORE_ACL_ERRORS, which the XP headers leave out.
  constexpr DWORD ignore_acl_errors = 0x4;
  DWORD flags = REPLACEFILE_IGNORE_MERGE_ERRORS | ignore_acl_errors;
  for (int attempt = 1;; ++attempt) {
    // Without a name for a backup of its own, ReplaceFileW renames `from`
    // over `to` in one step. Access rules that cannot be carried over (a
    // folder shared from elsewhere) are no reason to fail the patch.
    if (ReplaceFileW(to.c_str(), from.c_str(), nullptr, flags, nullptr, nullptr)) {
      return true;
    }
    const DWORD code = GetLastError();
    if (!exists(to)) {
      // A partial failure (ERROR_UNABLE_TO_MOVE_REPLACEMENT, and _2) can take
      // `to` away and leave `from` under its own name. The player must not be
      // left without the game's file: finish with a plain rename.
      return move_over(from, to);
    }
    if (is_busy(code)) {
      if (attempt >= busy_attempts) {
        SetLastError(code);
        return false;
      }
      Sleep(busy_pause_ms);
      continue;
    }
    if (flags & ignore_acl_errors) {
      // Windows XP knows no such flag and refuses the call. Whatever the
      // refusal, one more try without the flag does no harm.
      flags &= ~ignore_acl_errors;
      continue;
    }
    // Any other refusal leaves both files under their own names. Some file
    // systems (FAT drives, some network shares) cannot do what ReplaceFileW
    // asks of them; the plain rename still puts the patch in place, only
    // without the old file's identity.
    return move_over(from, to);
  }
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
  const std::uint64_t seed = temporary_seed();
  for (unsigned attempt = 0;; ++attempt) {
    const std::string name = temporary_name(final_name, seed, attempt);
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
      fail(error, "create", name);
      if (code == ERROR_ACCESS_DENIED) {
        error.advice = administrator_advice;
      }
      return false;
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
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) {
      // Nothing there yet (the first backup): the rename simply creates it.
      return true;
    }
    SetLastError(code);
    return fail(error, "examine", name);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    fail_with(error, "replace", name, "it is marked read-only");
    error.advice = "Right-click \"" + name + "\", choose Properties and untick Read-only.";
    return false;
  }
  // A running game keeps its file open; so may a virus scanner, for a moment,
  // or an editor. Asking for the file to ourselves is refused while anyone
  // holds it.
  for (int attempt = 1;; ++attempt) {
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      if (!CloseHandle(handle)) {
        return fail(error, "close", name);
      }
      return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_SHARING_VIOLATION || attempt >= busy_attempts) {
      SetLastError(code);
      fail(error, "replace", name);
      error.in_use = code == ERROR_SHARING_VIOLATION;
      return false;
    }
    Sleep(busy_pause_ms);
  }
}

bool replace_file(const std::string& from, const std::string& to, io_error& error) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_wide(from, wide_from) || !to_wide(to, wide_to)) {
    return fail(error, "replace", to);
  }
  return move_over(wide_from, wide_to) || fail(error, "replace", to);
}

bool replace_keeping_identity(const std::string& from, const std::string& to,
                              const std::string& original_copy, io_error& error) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_wide(from, wide_from) || !to_wide(to, wide_to)) {
    return fail(error, "replace", to);
  }
  if (!exists(wide_to)) {
    // A first file at the name has no identity to hand on.
    return move_over(wide_from, wide_to) || fail(error, "replace", to);
  }
  if (replace_with_identity(wide_from, wide_to)) {
    return true;
  }
  fail(error, "replace", to);
  if (!exists(wide_to)) {
    // ReplaceFileW took the game's file away, and the patched one would not
    // take its place. The copy of the original puts the game back as it was.
    std::wstring wide_copy;
    if (!to_wide(original_copy, wide_copy) ||
        !CopyFileW(wide_copy.c_str(), wide_to.c_str(), TRUE)) {
      error.advice = "Copy \"" + original_copy + "\" to \"" + to + "\" to get the game back.";
    }
  }
  return false;
}

bool sync_folder_of(const std::string& name, io_error& error) {
  // Windows has no call to sync a folder short of flushing the whole volume,
  // which needs administrator rights; MOVEFILE_WRITE_THROUGH promises this
  // only for moves between drives, and ReplaceFileW has no such flag. On
  // NTFS, flushing the renamed file also writes the journal, which holds the
  // rename, to the disk.
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail(error, "sync", name);
  }
  for (int attempt = 1;; ++attempt) {
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code != ERROR_SHARING_VIOLATION || attempt >= busy_attempts) {
        SetLastError(code);
        return fail(error, "sync", name);
      }
      Sleep(busy_pause_ms);
      continue;
    }
    if (!FlushFileBuffers(handle)) {
      fail(error, "sync", name);
      CloseHandle(handle);
      return false;
    }
    if (!CloseHandle(handle)) {
      return fail(error, "close", name);
    }
    return true;
  }
}

void remove_quietly(const std::string& name) {
  std::wstring wide;
  if (to_wide(name, wide)) {
    DeleteFileW(wide.c_str());
  }
}

namespace {

// A file system that keeps no such times or attributes of its own (some
// network shares) gets a backup without them, as it would from any copy.
bool unsupported_here(DWORD code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
}

}  // namespace

bool copy_times_and_attributes(const open_file& from, open_file& to, io_error& error) {
  BY_HANDLE_FILE_INFORMATION original;
  BY_HANDLE_FILE_INFORMATION copy;
  if (!GetFileInformationByHandle(handle_of(from), &original)) {
    return unsupported_here(GetLastError()) || fail(error, "examine", from.name);
  }
  if (!GetFileInformationByHandle(handle_of(to), &copy)) {
    return unsupported_here(GetLastError()) || fail(error, "examine", to.name);
  }
  // The last access is the copy's own.
  if (!SetFileTime(handle_of(to), &original.ftCreationTime, nullptr, &original.ftLastWriteTime)) {
    return unsupported_here(GetLastError()) || fail(error, "set the times of", to.name);
  }
  // Hidden and system go along, so a restored backup hides as the game's file
  // did. Read-only does not: a read-only game file is refused before
  // anything is renamed, and a read-only backup would only stand in the way
  // of the next patch.
  // "Normal" stands only alone, as the mark of no attributes at all.
  constexpr DWORD carried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  DWORD attributes = (copy.dwFileAttributes & ~(carried | FILE_ATTRIBUTE_NORMAL)) |
                     (original.dwFileAttributes & carried);
  if (attributes == 0) {
    attributes = FILE_ATTRIBUTE_NORMAL;
  }
  // By name: Windows XP sets attributes through no handle. Attributes are no
  // data, so our own unshared handle does not stand in the way.
  std::wstring wide;
  if (!to_wide(to.name, wide) || !SetFileAttributesW(wide.c_str(), attributes)) {
    return unsupported_here(GetLastError()) || fail(error, "set the times of", to.name);
  }
  return true;
}

bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error) {
  names.clear();
  const std::size_t slash = name.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash);
  std::wstring pattern;
  if (!to_wide(folder, pattern)) {
    return fail(error, "list the folder", folder);
  }
  pattern += L"\\*";
  WIN32_FIND_DATAW found;
  // The quicker listing without short names is refused before Windows 7.
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    // Only the root of a drive can have no entries at all, not even ".".
    return GetLastError() == ERROR_FILE_NOT_FOUND || fail(error, "list the folder", folder);
  }
  do {
    const std::wstring_view entry = found.cFileName;
    std::string utf8;
    // A name that is not whole UTF-16 cannot be one of ours; it is left out.
    if (entry != L"." && entry != L".." &&
        to_utf8(entry.data(), static_cast<int>(entry.size()), utf8)) {
      names.push_back(utf8);
    }
  } while (FindNextFileW(search, &found));
  const DWORD code = GetLastError();
  if (!FindClose(search)) {
    return fail(error, "list the folder", folder);
  }
  if (code != ERROR_NO_MORE_FILES) {
    SetLastError(code);
    return fail(error, "list the folder", folder);
  }
  return true;
}
