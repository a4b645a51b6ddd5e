// Text between the program's forms and Windows': names and reasons are
// UTF-8 inside the program and UTF-16 for the system; the screens are code
// page 437. The file layer and the console both convert through these.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool to_wide(std::string_view utf8, std::wstring& wide);

// UTF-16 to UTF-8; false for a lone surrogate, which has no UTF-8 form.
bool to_utf8(std::wstring_view wide, std::string& utf8);

// Text in `code_page` to UTF-16.
bool from_code_page(unsigned code_page, std::string_view text, std::wstring& wide);

// UTF-16 to `code_page`, a letter it lacks as its nearest look-alike there
// or a question mark.
bool to_code_page(unsigned code_page, std::wstring_view wide, std::string& text);
