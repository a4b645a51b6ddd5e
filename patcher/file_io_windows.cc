// Windows file-system calls for the patch: plain handles from CreateFileW, no
// stdio, so every call's result reaches us and nothing is buffered behind our
// back. Names arrive as UTF-8 and go to the system as UTF-16. Only calls and
// flags that Windows XP already has.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "console/interruptions.hpp"
#include "patcher/file_io.hpp"
#include "patcher/file_names.hpp"
#include "patcher/messages.hpp"

namespace {

namespace tried = messages::tried;
namespace text = messages::windows;

// Either slash separates a folder from a name.
constexpr char separators[] = "\\/";

// ReadFile and WriteFile count in 32 bits; stay well inside that.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// A virus scanner opens each file that was just closed, for a moment, and a
// call that meets it is tried again every 0.1 s. All the waiting of one run
// shares one allowance, measured by the clock, failed tries included:
// closing the console window gives the program five seconds, and once the
// renames have begun they must finish inside them, putting the game back if
// need be. The checks made before the renames may use only what is not kept
// for those, and stop waiting at once when the player interrupts the patch.
constexpr DWORD busy_pause_ms = 100;
constexpr DWORD waiting_allowance_ms = 2500;
constexpr DWORD kept_for_finishing_ms = 1500;
DWORD waited_ms = 0;

// A lone surrogate has no UTF-8 form. XP's WideCharToMultiByte knows no
// WC_ERR_INVALID_CHARS, so the check is ours.
bool is_whole_utf16(const wchar_t* wide, int length) {
  for (int i = 0; i < length; ++i) {
    if (wide[i] >= 0xD800 && wide[i] <= 0xDBFF) {
      if (i + 1 == length || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) {
        return false;
      }
      ++i;
    } else if (wide[i] >= 0xDC00 && wide[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

bool to_utf8(const wchar_t* wide, int wide_length, std::string& utf8) {
  if (!is_whole_utf16(wide, wide_length)) {
    return false;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, wide_length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    return false;
  }
  utf8.assign(static_cast<std::size_t>(size), '\0');
  return WideCharToMultiByte(CP_UTF8, 0, wide, wide_length, utf8.data(), size, nullptr, nullptr) ==
         size;
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
    return fill(text::system_error, {{"number", std::to_string(code)}});
  }
  return reason;
}

bool is_busy(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
         code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Reads the system's error first, before anything else can overwrite it.
bool fail(io_error& error, const std::string& action, const std::string& file) {
  const DWORD code = GetLastError();
  fail_with(error, action, file, system_reason(code));
  error.not_found = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
  error.in_use = is_busy(code);
  return false;
}

// Makes `call` again while someone else holds the file, while the run's
// allowance lasts. A check before the renames keeps `kept` of it for them,
// and gives up when the player interrupts the patch. When it fails,
// GetLastError tells why.
template <typename Call>
bool retrying_while_busy(Call call, DWORD kept = 0) {
  const DWORD started = GetTickCount();
  bool waited = false;
  while (!call()) {
    const DWORD code = GetLastError();
    const DWORD spent = GetTickCount() - started;
    if (!is_busy(code) || (kept > 0 && should_give_up()) ||
        waited_ms + spent + busy_pause_ms > waiting_allowance_ms - kept) {
      waited_ms += spent;
      SetLastError(code);
      return false;
    }
    Sleep(busy_pause_ms);
    waited = true;
  }
  if (waited) {
    waited_ms += GetTickCount() - started;
  }
  return true;
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

// The full name of `name`. Wine's ReplaceFileW refuses names relative to the
// current folder, and a full name does no harm elsewhere.
bool to_full_wide(const std::string& name, std::wstring& full) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return false;
  }
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) {
    return false;
  }
  full.assign(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return false;
  }
  full.resize(length);
  return true;
}

HANDLE handle_of(const open_file& file) { return reinterpret_cast<HANDLE>(file.native); }

void hold(open_file& file, HANDLE handle, const std::string& name) {
  file.native = reinterpret_cast<std::intptr_t>(handle);
  file.name = name;
}

bool exists(const std::wstring& name) {
  if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  const DWORD code = GetLastError();
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

// A file system that keeps no such times or attributes of its own (some
// network shares) gets a backup without them, as it would from any copy.
bool unsupported_here(DWORD code) {
  return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION;
}

// ReplaceFileW renames `from` over `to` in one step and hands on the
// attributes, access rules, creation time and short name of `to`, which it
// keeps under `aside` meanwhile. Access rules that cannot be carried over (a
// folder shared from elsewhere) are no reason to fail the patch.
bool replace_with_identity(const std::wstring& from, const std::wstring& to,
                           const std::wstring& aside) {
  // REPLACEFILE_IGNORE_ACL_ERRORS, which the XP headers leave out.
  constexpr DWORD ignore_acl_errors = 0x4;
  if (ReplaceFileW(to.c_str(), from.c_str(), aside.c_str(),
                   REPLACEFILE_IGNORE_MERGE_ERRORS | ignore_acl_errors, nullptr, nullptr)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (is_busy(code) || code == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
      code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    SetLastError(code);
    return false;
  }
  // Windows XP knows no such flag and refuses the call; whatever the refusal,
  // one more try without the flag does no harm.
  return ReplaceFileW(to.c_str(), from.c_str(), aside.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr) != 0;
}

// A full name beside `name` that nothing has yet, in the form of our
// temporary files: left behind, it is cleared by the next run.
bool free_name_beside(const std::string& name, std::wstring& free) {
  const std::uint64_t seed = temporary_seed();
  for (unsigned attempt = 0; attempt < temporary_name_attempts; ++attempt) {
    if (to_full_wide(temporary_name(name, seed, attempt), free) && !exists(free)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string full_folder_of(const std::string& name) {
  std::wstring full;
  std::string folder;
  const std::string relative = folder_of(name, separators);
  if (!to_full_wide(relative, full) ||
      !to_utf8(full.data(), static_cast<int>(full.size()), folder)) {
    return relative;
  }
  return folder;
}

bool is_open(const open_file& file) { return handle_of(file) != INVALID_HANDLE_VALUE; }

bool open_for_reading(const std::string& name, open_file& file, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::open, name, text::not_utf8);
  }
  // Others may read along, but nobody writes while we read. Backup semantics
  // let a folder open too, so that it is refused as a folder, not as missing.
  const HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail(error, tried::open, name);
  }
  hold(file, handle, name);
  return true;
}

bool check_regular_file(const open_file& file, io_error& error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(file), &info)) {
    return fail(error, tried::examine, file.name);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return fail_with(error, tried::read, file.name, messages::common::is_folder);
  }
  if (GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
    return fail_with(error, tried::read, file.name, messages::common::not_regular);
  }
  return true;
}

creation create_new_file(const std::string& name, open_file& file, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    fail_with(error, tried::create_in, full_folder_of(name), text::not_utf8);
    return creation::failed;
  }
  // CREATE_NEW never opens what is already there, and with
  // FILE_FLAG_OPEN_REPARSE_POINT a link planted at the name counts as there.
  const HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    hold(file, handle, name);
    return creation::created;
  }
  const DWORD code = GetLastError();
  const std::string folder = full_folder_of(name);
  SetLastError(code);
  fail(error, tried::create_in, folder);
  if (code == ERROR_ACCESS_DENIED) {
    error.advice = text::run_as_administrator;
  }
  return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? creation::name_taken
                                                                   : creation::failed;
}

std::uint64_t temporary_seed() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<std::uint64_t>(now.QuadPart) ^
         (static_cast<std::uint64_t>(GetCurrentProcessId()) << 20);
}

bool read_some(open_file& file, unsigned char* buffer, std::size_t capacity, std::size_t& got,
               io_error& error) {
  DWORD read = 0;
  const DWORD wanted = static_cast<DWORD>(std::min(capacity, largest_transfer));
  if (!ReadFile(handle_of(file), buffer, wanted, &read, nullptr)) {
    return fail(error, tried::read, file.name);
  }
  got = read;
  return true;
}

bool write_all(open_file& file, const unsigned char* data, std::size_t size, io_error& error) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min(size, largest_transfer));
    if (!WriteFile(handle_of(file), data, chunk, &written, nullptr)) {
      return fail(error, tried::write, file.name);
    }
    if (written == 0) {
      // A disk file takes everything or fails; nothing at all would loop forever.
      return fail_with(error, tried::write, file.name, text::disk_took_nothing);
    }
    data += written;
    size -= written;
  }
  return true;
}

bool copy_metadata(const open_file& from, open_file& to, bool times, io_error& error) {
  // A file made in the folder inherits the folder's access rules, as the
  // game's own file did. Read-only is not carried: a read-only game file is
  // refused before anything is renamed, and a read-only backup would only
  // stand in the way of the next patch.
  BY_HANDLE_FILE_INFORMATION original;
  if (!GetFileInformationByHandle(handle_of(from), &original)) {
    return unsupported_here(GetLastError()) || fail(error, tried::examine, from.name);
  }
  // The last access is the copy's own.
  if (times &&
      !SetFileTime(handle_of(to), &original.ftCreationTime, nullptr, &original.ftLastWriteTime)) {
    return unsupported_here(GetLastError()) || fail(error, tried::set_times, to.name);
  }
  // Hidden and system go along, so a restored backup hides as the game's
  // file did.
  constexpr DWORD carried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  if ((original.dwFileAttributes & carried) == 0) {
    return true;
  }
  // By name: Windows XP sets attributes through no handle. Attributes are no
  // data, so our own unshared handle does not stand in the way.
  std::wstring wide;
  if (!to_wide(to.name, wide) ||
      !SetFileAttributesW(wide.c_str(),
                          FILE_ATTRIBUTE_ARCHIVE | (original.dwFileAttributes & carried))) {
    return unsupported_here(GetLastError()) || fail(error, tried::set_attributes, to.name);
  }
  return true;
}

bool sync_file(open_file& file, io_error& error) {
  if (!FlushFileBuffers(handle_of(file))) {
    return fail(error, tried::sync, file.name);
  }
  return true;
}

bool close_file(open_file& file, io_error& error) {
  const HANDLE handle = handle_of(file);
  file.native = -1;
  if (!CloseHandle(handle)) {
    return fail(error, tried::close, file.name);
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
    return fail_with(error, tried::replace, name, text::not_utf8);
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      // Nothing there yet (the first backup): the rename simply creates it.
      return true;
    }
    return fail(error, tried::examine, name);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    // Asking for it to ourselves would be refused as access denied, which
    // reads as a matter of rights.
    return fail_with(error, tried::replace, name, messages::common::is_folder);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    fail_with(error, tried::replace, name, text::marked_read_only);
    error.advice = fill(text::untick_read_only, {{"file", name}});
    return false;
  }
  // A running game keeps its file open; so may a virus scanner, for a moment,
  // or an editor. Asking for the file to ourselves is refused while anyone
  // holds it, and so is a file our account may not change.
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!retrying_while_busy(
          [&] {
            handle = CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            return handle != INVALID_HANDLE_VALUE;
          },
          kept_for_finishing_ms)) {
    const bool denied = GetLastError() == ERROR_ACCESS_DENIED;
    fail(error, tried::replace, name);
    if (denied) {
      error.advice = text::run_as_administrator;
    }
    return false;
  }
  return CloseHandle(handle) || fail(error, tried::close, name);
}

replace_result replace_file(const std::string& from, const std::string& to, bool keep_identity,
                            io_error& error) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_full_wide(from, wide_from) || !to_full_wide(to, wide_to)) {
    fail(error, tried::replace, to);
    return replace_result::unchanged;
  }
  std::wstring aside;
  if (keep_identity && exists(wide_to) && free_name_beside(to, aside)) {
    if (retrying_while_busy([&] { return replace_with_identity(wide_from, wide_to, aside); })) {
      // The old file has served its turn; one a failure leaves there is
      // cleared by the next run.
      retrying_while_busy([&] { return DeleteFileW(aside.c_str()) != 0; });
      return replace_result::replaced;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
      // The replacement keeps its own name, and the old file stands under
      // `aside`: back under its own, it is as it was. Failing that, it goes:
      // the backup, already on disk, holds the same bytes.
      const bool back =
          retrying_while_busy([&] { return MoveFileExW(aside.c_str(), wide_to.c_str(), 0) != 0; });
      if (!back) {
        retrying_while_busy([&] { return DeleteFileW(aside.c_str()) != 0; });
      }
      SetLastError(code);
      fail(error, tried::replace, to);
      return back ? replace_result::unchanged : replace_result::target_gone;
    }
    const bool gone = !exists(wide_to);
    SetLastError(code);
    if (gone || is_busy(code)) {
      fail(error, tried::replace, to);
      return gone ? replace_result::target_gone : replace_result::unchanged;
    }
    // Any other refusal leaves both files under their own names: with a name
    // given for the old file, that is what ERROR_UNABLE_TO_MOVE_REPLACEMENT
    // means too. Some file systems (FAT drives, some network shares) cannot
    // do what ReplaceFileW asks of them, and say so with access denied: a
    // plain rename still puts the file in place, only without the old
    // file's identity.
  }
  // Write-through makes the call wait for the disk only when the move is a
  // copy and a delete (another drive); sync_renamed does what little more
  // Windows allows.
  if (retrying_while_busy([&] {
        return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
      })) {
    return replace_result::replaced;
  }
  fail(error, tried::replace, to);
  return replace_result::unchanged;
}

bool sync_renamed(const std::string& name, io_error& error) {
  // Windows has no call to sync a folder short of flushing the whole volume,
  // which needs administrator rights; MOVEFILE_WRITE_THROUGH promises this
  // only for moves between drives, and ReplaceFileW has no such flag. On
  // NTFS, flushing the renamed file also writes the journal, which holds the
  // rename, to the disk.
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::sync, name, text::not_utf8);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!retrying_while_busy([&] {
        handle = CreateFileW(wide.c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
      })) {
    return fail(error, tried::sync, name);
  }
  if (!FlushFileBuffers(handle)) {
    fail(error, tried::sync, name);
    CloseHandle(handle);
    return false;
  }
  return CloseHandle(handle) || fail(error, tried::close, name);
}

void remove_quietly(const std::string& name) {
  std::wstring wide;
  // A scanner looks at our temporary files as soon as they are closed.
  if (to_wide(name, wide)) {
    retrying_while_busy([&] { return DeleteFileW(wide.c_str()) != 0; });
  }
}

bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error) {
  names.clear();
  const std::string folder = folder_of(name, separators);
  std::wstring pattern;
  if (!to_wide(folder, pattern)) {
    return fail_with(error, tried::list_folder, folder, text::not_utf8);
  }
  pattern += L"\\*";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoStandard, &found,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    // Only the root of a drive can have no entries at all, not even ".".
    return GetLastError() == ERROR_FILE_NOT_FOUND || fail(error, tried::list_folder, folder);
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
    return fail(error, tried::list_folder, folder);
  }
  if (code != ERROR_NO_MORE_FILES) {
    SetLastError(code);
    return fail(error, tried::list_folder, folder);
  }
  return true;
}
