// Windows hands main its arguments in the ANSI code page, which turns a
// dropped file's name into question marks wherever it holds a letter that
// code page lacks. The runtime's wide arguments, split by the same rules,
// keep every letter; msvcrt.dll has had them since before Windows XP.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "console/arguments.hpp"
#include "patcher/unicode_windows.hpp"

namespace {

struct startup_info {
  int new_mode;
};

}  // namespace

extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                                      int expand_wildcards, startup_info* info);

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  int wide_count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  startup_info info = {0};
  std::vector<std::string> arguments;
  if (__wgetmainargs(&wide_count, &wide, &environment, 0, &info) != 0 || wide == nullptr) {
    // The narrow ones still carry every name in the ANSI code page.
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  }
  for (int i = 1; i < wide_count; ++i) {
    std::string utf8;
    // A name no UTF-8 can hold is passed on empty: it names nothing.
    to_utf8(wide[i], utf8);
    arguments.push_back(utf8);
  }
  return arguments;
}
