// A named mutex stands for the folder, and only this program makes mutexes
// of that name: its name comes from the folder's
// volume serial number and file index, so every path to the same folder
// (a drive letter, a share, a short name) meets the same mutex, and the
// system closes it when the process ends. Only calls Windows XP has.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

#include "patcher/file_names.hpp"
#include "patcher/folder_lock.hpp"
#include "patcher/unicode_windows.hpp"

folder_lock_state lock_folder_of(const std::string& name, folder_lock& lock) {
  std::wstring wide_folder;
  if (!to_wide(folder_of(name), wide_folder)) {
    return folder_lock_state::unavailable;
  }
  const HANDLE folder = CreateFileW(wide_folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return folder_lock_state::unavailable;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(folder, &info) != 0;
  CloseHandle(folder);
  // Some network drives give no file index: every folder there would look alike.
  if (!known || (info.nFileIndexHigh == 0 && info.nFileIndexLow == 0)) {
    return folder_lock_state::unavailable;
  }
  // Global: a copy started in another user's session sees it too.
  char mutex_name[64];
  std::snprintf(mutex_name, sizeof mutex_name, "Global\\camera-patch-%08lx-%08lx%08lx",
                static_cast<unsigned long>(info.dwVolumeSerialNumber),
                static_cast<unsigned long>(info.nFileIndexHigh),
                static_cast<unsigned long>(info.nFileIndexLow));
  const std::string narrow = mutex_name;
  const std::wstring wide(narrow.begin(), narrow.end());
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, wide.c_str());
  if (mutex == nullptr) {
    // Another user's copy made it, and it exists only while that copy runs.
    return GetLastError() == ERROR_ACCESS_DENIED ? folder_lock_state::taken_by_another_copy
                                                 : folder_lock_state::unavailable;
  }
  // Abandoned: its last holder died holding it, and it is ours now.
  const DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    lock.native = reinterpret_cast<std::intptr_t>(mutex);
    return folder_lock_state::held;
  }
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? folder_lock_state::taken_by_another_copy
                                : folder_lock_state::unavailable;
}

void release_folder(folder_lock& lock) {
  if (lock.native != -1) {
    const HANDLE mutex = reinterpret_cast<HANDLE>(lock.native);
    // Nothing to tell the player if these fail: the end of the process
    // lets go of the mutex all the same.
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    lock.native = -1;
  }
}
