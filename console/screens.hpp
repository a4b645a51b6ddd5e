// The program's fixed screens and answers, and its two ways of asking the player.
#pragma once

#include <cstddef>
#include <string_view>

inline constexpr std::size_t banner_row_count = 17;
inline constexpr std::size_t menu_row_count = 8;
inline constexpr std::size_t reply_size = 10;

extern const char* const banner_rows[banner_row_count];
extern const char* const menu_rows[menu_row_count];

// The answer to a question asked on the command line (--help, -h, --version,
// or the platform's own way of asking for help), or nullptr for any other
// argument.
const char* answer_to(std::string_view argument);

// Prints `answer` alone and returns the exit status: 0, or 1 when it could
// not be written.
int print_answer(const char* answer);

void draw_banner();
void draw_menu();

// Reads one line of at most reply_size - 1 characters into `reply`, keeping
// its line feed when it fits; the rest of a longer line stays unread. A
// carriage return right before the line feed is dropped, so "c\r\n" from a
// Windows-made script counts as "c\n". Returns false at end of input or on
// a read error, leaving `reply` empty.
bool read_reply(char (&reply)[reply_size]);

// The pause that ends every stopped patch: the prompt, then one line.
void wait_for_enter();
