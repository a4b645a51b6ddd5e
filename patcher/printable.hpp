// Names and reasons from outside the program (a folder's name, the system's
// words) go to the player's terminal, where a control character would drive
// it: an escape sequence in a folder's name could clear the screen or
// rewrite what the program said, a line feed start a line of its own. Each
// control character (C0, DEL and C1) is shown as \xNN, or \u00NN for C1,
// and so is each byte that is not part of valid UTF-8. So are, as \u202E
// and the like, the marks that reorder text (U+202A to U+202E, U+2066 to
// U+2069), with which a name could show other letters than it holds, and
// the line and paragraph separators (U+2028, U+2029). Everything else
// stands as it is, letters of every script included. A backslash is kept as
// it is: Windows folders are full of them.
#pragma once

#include <string>
#include <string_view>

inline std::string printable(std::string_view text) {
  constexpr char hex[] = "0123456789ABCDEF";
  const auto escaped = [&](const char* prefix, unsigned value) {
    return prefix + std::string{hex[(value >> 4) & 0xF], hex[value & 0xF]};
  };
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const auto continues = [&](std::size_t at, unsigned low, unsigned high) {
    return at < text.size() && byte(at) >= low && byte(at) <= high;
  };
  // The code point of a sequence of two or three bytes; 0 for the others,
  // none of which is shown as \u.
  const auto point = [&](std::size_t at, std::size_t length) -> unsigned {
    if (length == 2) {
      return (byte(at) & 0x1Fu) << 6 | (byte(at + 1) & 0x3Fu);
    }
    if (length == 3) {
      return (byte(at) & 0x0Fu) << 12 | (byte(at + 1) & 0x3Fu) << 6 | (byte(at + 2) & 0x3Fu);
    }
    return 0;
  };
  std::string shown;
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned lead = byte(i);
    // How long the sequence that starts here is, 0 when it is no UTF-8.
    std::size_t length = 0;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = continues(i + 1, 0x80, 0xBF) ? 2 : 0;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // No overlong forms, and no UTF-16 surrogates.
      const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned high = lead == 0xED ? 0x9F : 0xBF;
      length = continues(i + 1, low, high) && continues(i + 2, 0x80, 0xBF) ? 3 : 0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // Nothing past U+10FFFF.
      const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
      length = continues(i + 1, low, high) && continues(i + 2, 0x80, 0xBF) &&
                       continues(i + 3, 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    const unsigned code = point(i, length);
    if (length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7F))) {
      shown += escaped("\\x", lead);
      ++i;
    } else if ((code >= 0x80 && code <= 0x9F) || (code >= 0x2028 && code <= 0x202E) ||
               (code >= 0x2066 && code <= 0x2069)) {
      shown += escaped("\\u", code >> 8) + escaped("", code);
      i += length;
    } else {
      shown.append(text.substr(i, length));
      i += length;
    }
  }
  return shown;
}
