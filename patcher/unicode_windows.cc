// Only conversions that Windows XP already has: WC_ERR_INVALID_CHARS came
// later, so the check for lone surrogates is ours.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "patcher/unicode_windows.hpp"

namespace {

bool is_whole_utf16(std::wstring_view wide) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] >= 0xD800 && wide[i] <= 0xDBFF) {
      if (i + 1 == wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) {
        return false;
      }
      ++i;
    } else if (wide[i] >= 0xDC00 && wide[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

bool widen(UINT code_page, DWORD flags, std::string_view text, std::wstring& wide) {
  wide.clear();
  if (text.empty()) {
    return true;
  }
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(code_page, flags, text.data(), length, nullptr, 0);
  if (size <= 0) {
    return false;
  }
  wide.assign(static_cast<std::size_t>(size), L'\0');
  return MultiByteToWideChar(code_page, flags, text.data(), length, wide.data(), size) == size;
}

bool narrow(UINT code_page, const char* missing, std::wstring_view wide, std::string& text) {
  text.clear();
  if (wide.empty()) {
    return true;
  }
  const int length = static_cast<int>(wide.size());
  const int size =
      WideCharToMultiByte(code_page, 0, wide.data(), length, nullptr, 0, missing, nullptr);
  if (size <= 0) {
    return false;
  }
  text.assign(static_cast<std::size_t>(size), '\0');
  return WideCharToMultiByte(code_page, 0, wide.data(), length, text.data(), size, missing,
                             nullptr) == size;
}

}  // namespace

bool to_wide(std::string_view utf8, std::wstring& wide) {
  return widen(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, wide);
}

bool to_utf8(std::wstring_view wide, std::string& utf8) {
  return is_whole_utf16(wide) && narrow(CP_UTF8, nullptr, wide, utf8);
}

bool from_code_page(unsigned code_page, std::string_view text, std::wstring& wide) {
  return widen(code_page, 0, text, wide);
}

bool to_code_page(unsigned code_page, std::wstring_view wide, std::string& text) {
  return narrow(code_page, "?", wide, text);
}
