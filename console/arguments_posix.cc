// POSIX hands the bytes over as they are: names are bytes, shown as UTF-8.
#include "console/arguments.hpp"

std::vector<std::string> program_arguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}
