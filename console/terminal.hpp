// The console as the program sees it: text in code page 437, a screen to
// clear, one colour. Each platform shows these its own way.
#pragma once

#include <string_view>

// Sets the light-red-on-black colour, where the console can show it, and
// arranges for the player's own colours to come back when the program ends.
void start_console();

void clear_screen();

// Writes program text, given as code page 437 bytes.
void console_write(std::string_view text);

// Puts everything written so far on the screen, before the program waits.
void console_flush();
