// The command line as the program takes it: UTF-8, whatever the platform
// hands over, so that a dropped file's name arrives whole in any script.
#pragma once

#include <string>
#include <vector>

// The arguments after the program's own name.
std::vector<std::string> program_arguments(int argc, char* argv[]);
