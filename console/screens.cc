#include "console/screens.hpp"

#include <cstdio>
#include <cstring>

#include "console/terminal.hpp"

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
  console_write("  [i] Press <ENTER> to exit.");
  char reply[reply_size];
  // Whatever the player typed, or nothing at all, the pause is over.
  read_reply(reply);
}
