// Included first in every source of the fault-injection build (never in the
// exe players get): routes the program's Windows file, folder and console
// handler calls to counting wrappers, which can trace each call, fail the
// n-th call of one of them with a chosen error, end the process there, or
// close its console window there.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

// Each call: its result type, what it returns when it fails, its name,
// parameters and arguments.
#define FAULTY_CALLS(X)                                                                         \
  X(HANDLE, INVALID_HANDLE_VALUE, CreateFileW,                                                  \
    (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,   \
     DWORD flags, HANDLE model),                                                                \
    (name, access, share, security, creation, flags, model))                                    \
  X(BOOL, FALSE, ReadFile,                                                                      \
    (HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED at),                    \
    (file, buffer, size, done, at))                                                             \
  X(BOOL, FALSE, WriteFile,                                                                     \
    (HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED at),                   \
    (file, buffer, size, done, at))                                                             \
  X(BOOL, FALSE, FlushFileBuffers, (HANDLE file), (file))                                       \
  X(BOOL, FALSE, SetFilePointerEx,                                                              \
    (HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER moved, DWORD method),                  \
    (file, distance, moved, method))                                                            \
  X(BOOL, FALSE, CloseHandle, (HANDLE handle), (handle))                                        \
  X(BOOL, FALSE, GetFileInformationByHandle, (HANDLE file, LPBY_HANDLE_FILE_INFORMATION info),  \
    (file, info))                                                                               \
  X(DWORD, FILE_TYPE_UNKNOWN, GetFileType, (HANDLE file), (file))                               \
  X(BOOL, FALSE, SetFileTime,                                                                   \
    (HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written),  \
    (file, created, accessed, written))                                                         \
  X(DWORD, INVALID_FILE_ATTRIBUTES, GetFileAttributesW, (LPCWSTR name), (name))                 \
  X(BOOL, FALSE, SetFileAttributesW, (LPCWSTR name, DWORD attributes), (name, attributes))      \
  X(HANDLE, INVALID_HANDLE_VALUE, FindFirstFileExW,                                             \
    (LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,         \
     LPVOID filter, DWORD flags),                                                               \
    (pattern, level, found, search, filter, flags))                                             \
  X(BOOL, FALSE, FindNextFileW, (HANDLE search, LPWIN32_FIND_DATAW found), (search, found))     \
  X(BOOL, FALSE, FindClose, (HANDLE search), (search))                                          \
  X(BOOL, FALSE, MoveFileExW, (LPCWSTR from, LPCWSTR to, DWORD flags), (from, to, flags))       \
  X(BOOL, FALSE, DeleteFileW, (LPCWSTR name), (name))                                           \
  X(HANDLE, nullptr, CreateMutexW, (LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name),  \
    (security, owned, name))                                                                    \
  X(DWORD, WAIT_FAILED, WaitForSingleObject, (HANDLE handle, DWORD wait_ms), (handle, wait_ms)) \
  X(BOOL, FALSE, ReleaseMutex, (HANDLE mutex), (mutex))

#define DECLARE_FAULTY(result, failed, name, parameters, arguments) \
  result WINAPI faulty_##name parameters;
FAULTY_CALLS(DECLARE_FAULTY)
#undef DECLARE_FAULTY
// Apart, as its partial failures change the folder before they fail.
BOOL WINAPI faulty_ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                                LPVOID exclude, LPVOID reserved);
// Apart, as a close calls the handler, and the end after it is timed.
BOOL WINAPI faulty_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
[[noreturn]] void WINAPI faulty_ExitProcess(UINT status);

#ifndef FAULTY_CALLS_DEFINED_HERE
#define CreateFileW faulty_CreateFileW
#define ReadFile faulty_ReadFile
#define WriteFile faulty_WriteFile
#define FlushFileBuffers faulty_FlushFileBuffers
#define SetFilePointerEx faulty_SetFilePointerEx
#define CloseHandle faulty_CloseHandle
#define GetFileInformationByHandle faulty_GetFileInformationByHandle
#define GetFileType faulty_GetFileType
#define SetFileTime faulty_SetFileTime
#define GetFileAttributesW faulty_GetFileAttributesW
#define SetFileAttributesW faulty_SetFileAttributesW
#define FindFirstFileExW faulty_FindFirstFileExW
#define FindNextFileW faulty_FindNextFileW
#define FindClose faulty_FindClose
#define MoveFileExW faulty_MoveFileExW
#define ReplaceFileW faulty_ReplaceFileW
#define DeleteFileW faulty_DeleteFileW
#define CreateMutexW faulty_CreateMutexW
#define WaitForSingleObject faulty_WaitForSingleObject
#define ReleaseMutex faulty_ReleaseMutex
#define SetConsoleCtrlHandler faulty_SetConsoleCtrlHandler
#define ExitProcess faulty_ExitProcess
#endif
