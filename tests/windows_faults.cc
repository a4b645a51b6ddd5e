// The counting wrappers behind windows_faults.hpp. What to do comes from the
// environment, so that one test build serves every run of the matrix:
//   CAMERA_PATCH_TRACE=FILE        appends "Call n" for every call made
//   CAMERA_PATCH_FAULTS=Call:n:E   fails the n-th call of Call with error E
//                                  (a number), or with "end" ends the process
//                                  there as a power cut would, or with
//                                  "close" closes the console window there
//                                  and lets the call go on, or with "delay"
//                                  holds the call two seconds first, for
//                                  another program to act meanwhile; several
//                                  faults are separated by commas.
// A closed window is what Windows makes of it: the program's console handler
// is called with CTRL_CLOSE_EVENT on a thread of its own, and the process
// ends when the handler returns, or five seconds after the event. The trace
// then ends with "closed" and the milliseconds from the event to the end.
#define FAULTY_CALLS_DEFINED_HERE
#include "tests/windows_faults.hpp"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// What the process's end at a planned fault looks like to the test.
constexpr UINT ended_status = 137;

// What a closed window gives the process, as Windows does.
constexpr DWORD close_allowance_ms = 5000;

struct fault {
  std::string call;
  unsigned nth = 0;
  DWORD error = 0;
  bool end_process = false;
  bool close_window = false;
  bool delay = false;
};

struct plan {
  std::vector<fault> faults;
  HANDLE trace = INVALID_HANDLE_VALUE;
  std::map<std::string, unsigned> made;
  PHANDLER_ROUTINE handler = nullptr;
  bool closed = false;
  DWORD closed_at = 0;
  HANDLE delivered = nullptr;
  LONG end_traced = 0;
};

std::string variable(const char* name) {
  char value[4096];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

plan& the_plan() {
  static plan planned = [] {
    plan made;
    const std::string faults = variable("CAMERA_PATCH_FAULTS");
    for (const char* item = faults.c_str(); *item != '\0';) {
      char call[64];
      char what[16];
      fault planned_fault;
      int length = 0;
      if (std::sscanf(item, "%63[^:]:%u:%15[^,]%n", call, &planned_fault.nth, what, &length) != 3) {
        std::fprintf(stderr, "CAMERA_PATCH_FAULTS: cannot read \"%s\"\n", item);
        std::exit(2);
      }
      planned_fault.call = call;
      planned_fault.end_process = std::string(what) == "end";
      planned_fault.close_window = std::string(what) == "close";
      planned_fault.delay = std::string(what) == "delay";
      planned_fault.error = std::strtoul(what, nullptr, 10);
      made.faults.push_back(planned_fault);
      item += length + (item[length] == ',' ? 1 : 0);
    }
    const std::string trace = variable("CAMERA_PATCH_TRACE");
    if (!trace.empty()) {
      made.trace = CreateFileA(trace.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return made;
  }();
  return planned;
}

void trace_line(plan& planned, const char* format, const char* name, unsigned number) {
  if (planned.trace != INVALID_HANDLE_VALUE) {
    char line[128];
    const int length = std::snprintf(line, sizeof line, format, name, number);
    DWORD written = 0;
    WriteFile(planned.trace, line, static_cast<DWORD>(length), &written, nullptr);
  }
}

// After a close, however the process ends: how long it took, once.
void trace_end_after_close() {
  plan& planned = the_plan();
  if (planned.closed && InterlockedExchange(&planned.end_traced, 1) == 0) {
    trace_line(planned, "%s %u\n", "closed", GetTickCount() - planned.closed_at);
  }
}

DWORD WINAPI call_handler(LPVOID) {
  the_plan().handler(CTRL_CLOSE_EVENT);
  return 0;
}

// How long a handler that has not returned is given to take note of the
// event before the call that closed the window goes on.
constexpr DWORD noting_ms = 100;

DWORD WINAPI close_window(LPVOID) {
  plan& planned = the_plan();
  // Without a handler of the program's own, the system's ends it at once.
  const HANDLE handling = planned.handler != nullptr
                              ? CreateThread(nullptr, 0, call_handler, nullptr, 0, nullptr)
                              : nullptr;
  if (handling != nullptr && WaitForSingleObject(handling, noting_ms) == WAIT_TIMEOUT) {
    SetEvent(planned.delivered);
    WaitForSingleObject(handling, close_allowance_ms - noting_ms);
  }
  trace_end_after_close();
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return 0;
}

// Counts the call, traces it, and says whether it is to fail, with which
// error; a planned end comes here and now, and a planned close starts here.
bool fails(const char* call, DWORD& error) {
  plan& planned = the_plan();
  const unsigned nth = ++planned.made[call];
  trace_line(planned, "%s %u\n", call, nth);
  for (const fault& planned_fault : planned.faults) {
    if (planned_fault.call == call && planned_fault.nth == nth) {
      if (planned_fault.end_process) {
        TerminateProcess(GetCurrentProcess(), ended_status);
      }
      if (planned_fault.delay) {
        Sleep(2000);
        return false;
      }
      if (planned_fault.close_window) {
        planned.closed_at = GetTickCount();
        planned.closed = true;
        std::atexit(trace_end_after_close);
        // Windows delivers the event on its own time; waiting for the
        // handler to have it makes each run close at the same step.
        planned.delivered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CloseHandle(CreateThread(nullptr, 0, close_window, nullptr, 0, nullptr));
        WaitForSingleObject(planned.delivered, INFINITE);
        return false;
      }
      error = planned_fault.error;
      return true;
    }
  }
  return false;
}

// A failing close still lets go of the handle, as the system's own does; a
// handle kept open would refuse the next rename, which no real failure does.
bool lets_go(const std::string& call) {
  return call == "CloseHandle" || call == "FindClose" || call == "ReleaseMutex";
}

}  // namespace

#define DEFINE_FAULTY(result, failed, name, parameters, arguments) \
  result WINAPI faulty_##name parameters {                         \
    DWORD error = 0;                                               \
    if (fails(#name, error)) {                                     \
      if (lets_go(#name)) {                                        \
        (void)(name arguments);                                    \
      }                                                            \
      SetLastError(error);                                         \
      return failed;                                               \
    }                                                              \
    return name arguments;                                         \
  }

FAULTY_CALLS(DEFINE_FAULTY)

BOOL WINAPI faulty_ReplaceFileW(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags,
                                LPVOID exclude, LPVOID reserved) {
  DWORD error = 0;
  if (!fails("ReplaceFileW", error)) {
    return ReplaceFileW(replaced, replacement, backup, flags, exclude, reserved);
  }
  // The partial failures as Windows documents them. Both leave the
  // replacement under its own name. ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves
  // the replaced file under its own name too when a name for a backup was
  // given, and takes it away when none was; _2 leaves it under that name,
  // or under one of the system's choosing, which this one chooses.
  const bool moved_aside = error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
  if (moved_aside || (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT && backup == nullptr)) {
    std::wstring aside;
    if (backup == nullptr) {
      aside = replaced;
      aside = aside.substr(0, aside.find_last_of(L"\\/") + 1) + L"~RF0000.TMP";
    }
    MoveFileExW(replaced, backup != nullptr ? backup : aside.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!moved_aside) {
      DeleteFileW(aside.c_str());
    }
  }
  SetLastError(error);
  return FALSE;
}

BOOL WINAPI faulty_SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  DWORD error = 0;
  if (fails("SetConsoleCtrlHandler", error)) {
    SetLastError(error);
    return FALSE;
  }
  if (!SetConsoleCtrlHandler(handler, add)) {
    return FALSE;
  }
  the_plan().handler = add ? handler : nullptr;
  return TRUE;
}

void WINAPI faulty_ExitProcess(UINT status) {
  trace_end_after_close();
  ExitProcess(status);
}
