#include "console/screens.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/terminal.hpp"
#include "patcher/messages.hpp"

// Code page 437 text. The banner's rows end at column 70 with 8-column tab stops.
// clang-format off
const char* const banner_rows[banner_row_count] = {
    "                 .##################################.\t\t      \n",
    "               .#....................................#.\t\t      \n",
    "             .#........................................#. \t      \n",
    "    ooooo   #............................................#   ooooo    \n",
    "    oooooo##x............................................x##oooooo    \n",
    "        ##xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx##        \n",
    "      #xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx#      \n",
    "      #xxxx\xB3xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\xB3xxxx#      \n",
    "      ##xxx\xB3xxxxxxxx\xB3xxxxxxxxxxxxxxxxxxxxxxxxxxxx\xB3xxxxxxxx\xB3xxx##      \n",
    "      ###xx\xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9xxxxxxxxxxxxxxxxxxxxxxxxxxxx\xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9xx###      \n",
    "      ##########################################################      \n",
    "      #####|____|###---------------$--------------###|____|#####      \n",
    "      ################--------| M-VAST9 |-------################      \n",
    "      X##################--------------------##################X      \n",
    "      XXXXXXXXXX######################################XXXXXXXXXX      \n",
    "      XXXXXXXXX                                        XXXXXXXXX      \n",
    "                                                                      \n",
};
const char* const menu_rows[menu_row_count] = {
    "      \xDA\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xBF\n",
    "      \xB3   Velomira Rally Circuit Gold Series - Camera Patch    \xB3\n",
    "      \xB3\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xB3\n",
    "      \xB3   Patch by M-VAST9         \xB3  Target: VELORAC.EXE      \xB3\n",
    "      \xB3\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xB3\n",
    "      \xB3   [ c ]  =  call the cops to apply patch!              \xB3\n",
    "      \xB3   [ q ]  =  quit the program                           \xB3\n",
    "      \xC0\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xD9\n",
};
// clang-format on

namespace {

namespace answers = messages::answers;
namespace common = messages::common;

// CAMERA_PATCH_VERSION comes from the build, which takes it from the project.
constexpr char version_text[] = "camera-patch " CAMERA_PATCH_VERSION "\n";

}  // namespace

const char* answer_to(std::string_view argument) {
  if (argument == "--help" || argument == "-h" || is_platform_help_request(argument)) {
    return answers::usage;
  }
  if (argument == "--version") {
    return version_text;
  }
  return nullptr;
}

int print_answer(const char* answer) {
  if (std::fputs(answer, stdout) >= 0 && std::fflush(stdout) == 0) {
    return 0;
  }
  const int reason = errno;
  const std::string told =
      fill(common::answer_not_written, {{"reason", std::strerror(reason)}}) + "\n";
  std::fputs(told.c_str(), stderr);
  return 1;
}

void draw_banner() {
  for (const char* row : banner_rows) {
    console_write(row);
  }
}

void draw_menu() {
  for (const char* row : menu_rows) {
    console_write(row);
  }
}

bool read_reply(char (&reply)[reply_size]) {
  console_flush();
  if (std::fgets(reply, reply_size, stdin) == nullptr) {
    reply[0] = '\0';
    return false;
  }
  const std::size_t length = std::strlen(reply);
  if (length >= 2 && reply[length - 2] == '\r' && reply[length - 1] == '\n') {
    reply[length - 2] = '\n';
    reply[length - 1] = '\0';
  }
  return true;
}

void wait_for_enter() {
  console_write(std::string("  [i] ") + common::pause);
  char reply[reply_size];
  // Whatever the player typed, or nothing at all, the pause is over.
  read_reply(reply);
}
