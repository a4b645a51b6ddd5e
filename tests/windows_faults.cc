// The counting wrappers behind windows_faults.hpp. What to do comes from the
// environment, so that one test build serves every run of the matrix:
//   CAMERA_PATCH_TRACE=FILE        appends "Call n" for every call made
//   CAMERA_PATCH_FAULTS=Call:n:E   fails the n-th call of Call with error E
//                                  (a number), or with "end" ends the process
//                                  there as a power cut would; several
//                                  faults are separated by commas.
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

struct fault {
  std::string call;
  unsigned nth = 0;
  DWORD error = 0;
  bool end_process = false;
};

struct plan {
  std::vector<fault> faults;
  HANDLE trace = INVALID_HANDLE_VALUE;
  std::map<std::string, unsigned> made;
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
      planned_fault.error = planned_fault.end_process ? 0 : std::strtoul(what, nullptr, 10);
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

// Counts the call, traces it, and says whether it is to fail, with which
// error; a planned end comes here and now.
bool fails(const char* call, DWORD& error) {
  plan& planned = the_plan();
  const unsigned nth = ++planned.made[call];
  if (planned.trace != INVALID_HANDLE_VALUE) {
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%s %u\n", call, nth);
    DWORD written = 0;
    WriteFile(planned.trace, line, static_cast<DWORD>(length), &written, nullptr);
  }
  for (const fault& planned_fault : planned.faults) {
    if (planned_fault.call == call && planned_fault.nth == nth) {
      if (planned_fault.end_process) {
        TerminateProcess(GetCurrentProcess(), ended_status);
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
  // Both partial failures leave the replacement under its own name and the
  // replaced file gone from its name (or, for _2, under one we are not told).
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    DeleteFileW(replaced);
  }
  SetLastError(error);
  return FALSE;
}
