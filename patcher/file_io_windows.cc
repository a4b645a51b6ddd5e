// Windows file-system calls for the patch: plain handles from CreateFileW, no
// stdio, so every call's result reaches us and nothing is buffered behind our
// back. Names arrive as UTF-8 and go to the system as UTF-16. Only calls and
// flags that Windows XP already has.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "patcher/file_io.hpp"
#include "patcher/file_names.hpp"
#include "patcher/give_up.hpp"
#include "patcher/messages.hpp"
#include "patcher/unicode_windows.hpp"

namespace {

namespace common = messages::common;
namespace tried = messages::tried;
namespace windows = messages::windows;

// ReadFile and WriteFile count in 32 bits; stay well inside that.
constexpr std::size_t largest_transfer = std::size_t{1} << 30;

// A virus scanner opens each file that was just closed, for a moment, and a
// call that meets it is tried again every 0.1 s. All the waiting of one run
// shares one allowance, measured by the clock, failed tries included:
// closing the console window gives the program five seconds, and once the
// renames have begun they must finish inside them, putting the game back if
// need be.
constexpr DWORD busy_pause_ms = 100;
constexpr DWORD waiting_allowance_ms = 2500;
DWORD waited_ms = 0;

// How one wait may spend the allowance.
struct waiting_rule {
  // Kept for the renames and a put-back: the checks made before them may
  // use only the rest.
  DWORD reserve_ms;
  // Stop waiting at once when the player interrupts a patch that may still
  // be given up.
  bool give_up_when_asked;
  // A scanner that has a file open can also refuse its deletion as access
  // denied, for a moment; elsewhere that is the file's rights, not a wait.
  bool denied_is_busy;
};
constexpr waiting_rule before_renames = {1500, true, false};
constexpr waiting_rule finishing = {0, false, false};
constexpr waiting_rule removing = {0, false, true};

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
  if (wide.empty() || !to_utf8(wide, reason)) {
    return fill(windows::system_error, {{"number", std::to_string(code)}});
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

// As fail, naming the folder of `name` in full. The reason is read first:
// finding the folder's name makes calls of its own.
bool fail_in_folder(io_error& error, const char* action, const std::string& name) {
  const DWORD code = GetLastError();
  const std::string folder = full_folder_of(name);
  SetLastError(code);
  return fail(error, action, folder);
}

// Makes `call` again while someone else holds the file, as `rule` allows.
// When it fails, GetLastError tells why.
template <typename Call>
bool retrying_while_busy(Call call, const waiting_rule& rule) {
  const DWORD started = GetTickCount();
  bool waited = false;
  while (!call()) {
    const DWORD code = GetLastError();
    const DWORD spent = GetTickCount() - started;
    const bool busy = is_busy(code) || (rule.denied_is_busy && code == ERROR_ACCESS_DENIED);
    if (!busy || (rule.give_up_when_asked && should_give_up()) ||
        waited_ms + spent + busy_pause_ms > waiting_allowance_ms - rule.reserve_ms) {
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

std::int64_t ticks_of(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

file_identity identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
          (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
          ticks_of(info.ftLastWriteTime), ticks_of(info.ftCreationTime)};
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

// A name beside `name` that nothing has yet, in the form of our temporary
// files, as the program knows it and in full: left behind, the file is
// cleared by the next run.
bool free_name_beside(const std::string& name, std::string& free, std::wstring& full) {
  return take_temporary_name(name, [&](const std::string& candidate) {
    if (!to_full_wide(candidate, full)) {
      return creation::failed;
    }
    free = candidate;
    return exists(full) ? creation::name_taken : creation::created;
  });
}

bool delete_file(const std::wstring& name) {
  return retrying_while_busy([&] { return DeleteFileW(name.c_str()) != 0; }, removing) ||
         !exists(name);
}

// After ReplaceFileW failed with the old file set aside: back under its own
// name, the game's file is as it was. Failing that, the aside goes, as the
// backup already on disk holds the same bytes; failing that too, it is
// left behind for the next run to clear.
replace_result put_aside_back(const std::string& aside, const std::wstring& wide_aside,
                              const std::string& to, const std::wstring& wide_to, DWORD code,
                              std::string& left_behind, io_error& error) {
  const bool back = retrying_while_busy(
      [&] { return MoveFileExW(wide_aside.c_str(), wide_to.c_str(), 0) != 0; }, finishing);
  if (!back && !delete_file(wide_aside)) {
    left_behind = aside;
  }
  SetLastError(code);
  fail(error, tried::replace, to);
  return back ? replace_result::unchanged : replace_result::gone;
}

// What the system tells of whatever `wide` leads to, through a link.
// Asking for no data, and sharing everything, stands in nobody's way.
bool information_of(const std::wstring& wide, const std::string& name,
                    BY_HANDLE_FILE_INFORMATION& info, io_error& error) {
  const HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail(error, tried::examine, name);
  }
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  if (!known) {
    fail(error, tried::examine, name);
  }
  CloseHandle(handle);
  return known;
}

// Where a symbolic link or a junction points, from its reparse data; empty
// for any other reparse point, or when it cannot be read. The layout is
// the system's, which the user-mode headers leave out.
std::string link_target(const std::wstring& name) {
  const HANDLE handle = CreateFileW(
      name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return {};
  }
  std::vector<unsigned char> data(16 * 1024);
  DWORD got = 0;
  const bool read = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                    static_cast<DWORD>(data.size()), &got, nullptr) != 0;
  CloseHandle(handle);
  const auto word = [&](std::size_t at) {
    return static_cast<std::size_t>(data[at] | data[at + 1] << 8);
  };
  DWORD tag = 0;
  std::memcpy(&tag, data.data(), sizeof tag);
  // The print name's offset and length, then the names: 4 bytes more for a
  // symbolic link, which has flags before them.
  const std::size_t names = tag == IO_REPARSE_TAG_SYMLINK ? 20 : 16;
  if (!read || got < names ||
      (tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT) ||
      names + word(12) + word(14) > got) {
    return {};
  }
  std::wstring wide(word(14) / sizeof(wchar_t), L'\0');
  std::memcpy(wide.data(), data.data() + names + word(12), wide.size() * sizeof(wchar_t));
  std::string target;
  return to_utf8(wide, target) ? target : std::string{};
}

}  // namespace

const char path_separators[] = "\\/";

bool look_at(const std::string& name, name_entry& entry, io_error& error) {
  entry = name_entry{};
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::examine, name, windows::not_utf8);
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           fail(error, tried::examine, name);
  }
  entry.link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (entry.link) {
    entry.points_to = link_target(wide);
  }
  // Through the link, when there is one: what it leads to, and which file.
  BY_HANDLE_FILE_INFORMATION info;
  if (!information_of(wide, name, info, error)) {
    return error.not_found;
  }
  entry.identity = identity_of(info);
  entry.leads_to = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? entry_kind::other
                                                                           : entry_kind::file;
  return true;
}

bool rewind_file(open_file& file, io_error& error) {
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(handle_of(file), start, nullptr, FILE_BEGIN)) {
    return fail(error, tried::read, file.name);
  }
  return true;
}

std::string in_folder(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') {
    return folder + name;
  }
  return folder + "\\" + name;
}

bool is_folder(const std::string& name) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return false;
  }
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string full_folder_of(const std::string& name) {
  std::wstring full;
  std::string folder;
  const std::string relative = folder_of(name);
  if (!to_full_wide(relative, full) || !to_utf8(full, folder)) {
    return relative;
  }
  return folder;
}

bool is_open(const open_file& file) { return handle_of(file) != INVALID_HANDLE_VALUE; }

bool open_for_reading(const std::string& name, open_file& file, io_error& error, links at_name) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::open, name, windows::not_utf8);
  }
  // Others may read along, but nobody writes while we read. Backup semantics
  // let a folder open too, so that it is refused as a folder, not as missing.
  // A link refused is opened as itself, and check_regular_file refuses it.
  const DWORD no_link = at_name == links::refused ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
  const HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS | no_link,
      nullptr);
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
  // A link shows as one only when it was opened as itself.
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
    fail_with(error, tried::read, file.name, folder ? common::is_folder : common::not_regular);
    error.not_a_file = true;
    return false;
  }
  return true;
}

bool identify_file(const open_file& file, file_identity& identity, io_error& error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle_of(file), &info)) {
    return fail(error, tried::examine, file.name);
  }
  identity = identity_of(info);
  return true;
}

bool identify_name(const std::string& name, file_identity& identity, io_error& error) {
  std::wstring wide;
  BY_HANDLE_FILE_INFORMATION info;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::examine, name, windows::not_utf8);
  }
  if (!information_of(wide, name, info, error)) {
    return false;
  }
  identity = identity_of(info);
  return true;
}

std::int64_t milliseconds_since_written(const file_identity& identity) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  // FILETIME counts tenths of a microsecond; a time past its range (a
  // broken clock's) is held at the range's end.
  std::int64_t since = 0;
  if (__builtin_sub_overflow(ticks_of(now), identity.written, &since)) {
    return identity.written < 0 ? INT64_MAX : INT64_MIN;
  }
  return since / 10000;
}

std::uint64_t monotonic_milliseconds() {
  // GetTickCount wraps after 49 days; counting the wraps keeps the clock
  // going forward across one.
  static DWORD last = 0;
  static std::uint64_t wraps = 0;
  const DWORD now = GetTickCount();
  if (now < last) {
    ++wraps;
  }
  last = now;
  return (wraps << 32) | now;
}

void pause_milliseconds(unsigned milliseconds) { Sleep(milliseconds); }

creation create_new_file(const std::string& name, open_file& file, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    fail_with(error, tried::create_in, full_folder_of(name), windows::not_utf8);
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
  fail_in_folder(error, tried::create_in, name);
  if (code == ERROR_ACCESS_DENIED) {
    error.advice = windows::run_as_administrator;
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
      return fail_with(error, tried::write, file.name, windows::disk_took_nothing);
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

void release_file(open_file& file) {
  if (is_open(file)) {
    CloseHandle(handle_of(file));
    file.native = -1;
  }
}

bool check_replaceable(const std::string& name, io_error& error) {
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::replace, name, windows::not_utf8);
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
    return fail_with(error, tried::replace, name, common::is_folder);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    fail_with(error, tried::replace, name, windows::marked_read_only);
    error.advice = fill(windows::untick_read_only, {{"file", name}});
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
          before_renames)) {
    const bool denied = GetLastError() == ERROR_ACCESS_DENIED;
    fail(error, tried::replace, name);
    if (denied) {
      error.advice = windows::run_as_administrator;
    }
    return false;
  }
  return CloseHandle(handle) || fail(error, tried::close, name);
}

bool rename_over(const std::string& from, const std::string& to, io_error& error) {
  std::wstring wide_from;
  std::wstring wide_to;
  if (!to_full_wide(from, wide_from) || !to_full_wide(to, wide_to)) {
    return fail(error, tried::replace, to);
  }
  // Write-through makes the call wait for the disk only when the move is a
  // copy and a delete (another drive); sync_renamed does what little more
  // Windows allows.
  if (!retrying_while_busy(
          [&] {
            return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
          },
          finishing)) {
    return fail(error, tried::replace, to);
  }
  return true;
}

replace_result replace_keeping_identity(const std::string& from, const std::string& to,
                                        std::string& left_behind, io_error& error) {
  left_behind.clear();
  std::wstring wide_from;
  std::wstring wide_to;
  std::string aside;
  std::wstring wide_aside;
  if (!to_full_wide(from, wide_from) || !to_full_wide(to, wide_to)) {
    fail(error, tried::replace, to);
    return replace_result::unchanged;
  }
  // With nothing to hand on, or no name to keep the old file under, a
  // plain rename does all that can be done.
  if (!exists(wide_to) || !free_name_beside(to, aside, wide_aside)) {
    return rename_over(from, to, error) ? replace_result::replaced : replace_result::unchanged;
  }
  if (retrying_while_busy([&] { return replace_with_identity(wide_from, wide_to, wide_aside); },
                          finishing)) {
    // The old file has served its turn.
    if (!delete_file(wide_aside)) {
      left_behind = aside;
    }
    return replace_result::replaced;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    // The replacement keeps its own name, and the old file stands aside.
    return put_aside_back(aside, wide_aside, to, wide_to, code, left_behind, error);
  }
  const bool gone = !exists(wide_to);
  SetLastError(code);
  if (gone || is_busy(code)) {
    fail(error, tried::replace, to);
    return gone ? replace_result::gone : replace_result::unchanged;
  }
  // Any other refusal leaves both files under their own names: with a name
  // given for the old file, that is what ERROR_UNABLE_TO_MOVE_REPLACEMENT
  // means too. Some file systems (FAT drives, some network shares) cannot
  // do what ReplaceFileW asks of them, and say so with access denied: a
  // plain rename still puts the file in place, only without the old file's
  // identity.
  return rename_over(from, to, error) ? replace_result::replaced : replace_result::unchanged;
}

bool sync_renamed(const std::string& name, io_error& error) {
  // Windows has no call to sync a folder short of flushing the whole volume,
  // which needs administrator rights; MOVEFILE_WRITE_THROUGH promises this
  // only for moves between drives, and ReplaceFileW has no such flag. On
  // NTFS, flushing the renamed file also writes the journal, which holds the
  // rename, to the disk.
  std::wstring wide;
  if (!to_wide(name, wide)) {
    return fail_with(error, tried::sync, name, windows::not_utf8);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!retrying_while_busy(
          [&] {
            handle = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return handle != INVALID_HANDLE_VALUE;
          },
          finishing)) {
    return fail(error, tried::sync, name);
  }
  if (!FlushFileBuffers(handle)) {
    fail(error, tried::sync, name);
    CloseHandle(handle);
    return false;
  }
  return CloseHandle(handle) || fail(error, tried::close, name);
}

bool remove_file(const std::string& name) {
  std::wstring wide;
  // A scanner looks at our temporary files as soon as they are closed.
  return to_wide(name, wide) && delete_file(wide);
}

bool list_folder_of(const std::string& name, std::vector<std::string>& names, io_error& error) {
  names.clear();
  const std::string folder = folder_of(name);
  std::wstring pattern;
  if (!to_wide(folder, pattern)) {
    return fail_with(error, tried::list_folder, folder, windows::not_utf8);
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
    if (entry != L"." && entry != L".." && to_utf8(entry, utf8)) {
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
