// The console as the program sees it: text in code page 437, a screen to
// clear, one colour. Each platform shows these its own way.
#pragma once

#include <string_view>

// Sets the light-red-on-black colour, where the console can show it, and
// arranges for the player's own colours to come back when the program ends.
void start_console();

// True for the platform's own way of asking a program how to use it, besides
// --help and -h: "/?" on Windows, nothing elsewhere.
bool is_platform_help_request(std::string_view argument);

void clear_screen();

// Gives the player's terminal back as the program found it, where it changed
// anything (its colours, on a POSIX terminal). Safe to call from a signal
// handler, which is where an interruption ends the program.
void give_terminal_back();

// Writes program text, given as code page 437 bytes.
void console_write(std::string_view text);

// Puts everything written so far on the screen, before the program waits.
void console_flush();

// Writes text the program did not write itself, given as UTF-8: the system's
// reasons and names found in the file system, in whatever script they are.
void console_write_unicode(std::string_view utf8);
