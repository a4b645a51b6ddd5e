# The date of a Debian changelog's top entry as YYYY-MM-DD. The manual page
# shows it rather than the day of the build, so the same sources give the
# same page.
function(changelog_top_date changelog result)
  file(STRINGS ${changelog} trailers REGEX "^ -- ")
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(JOIN months "|" month_names)
  # The first trailer is the top entry's: " -- name <address>  Tue, 08 Dec 2026 12:00:00 +0000".
  if(NOT trailers MATCHES
      "^ -- [^;]*>  [A-Z][a-z][a-z], ([0-9]?[0-9]) (${month_names}) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "${changelog}: the top entry has no date like \"Tue, 08 Dec 2026\"")
  endif()
  set(day ${CMAKE_MATCH_1})
  set(year ${CMAKE_MATCH_3})
  list(FIND months ${CMAKE_MATCH_2} month)
  # Counted from 1, with a leading digit to cut off for the zero padding.
  math(EXPR month "${month} + 101")
  math(EXPR day "${day} + 100")
  string(SUBSTRING ${month} 1 2 month)
  string(SUBSTRING ${day} 1 2 day)
  set(${result} "${year}-${month}-${day}" PARENT_SCOPE)
endfunction()
