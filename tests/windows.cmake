# The Windows build's tests: its header and imports checked against what
# Windows XP has, and the program run under wine in scratch folders.
find_program(WINE wine)
find_program(WINESERVER wineserver)
require_for_tests(WINE "wine")
require_for_tests(WINESERVER "wine's wineserver")

# The players' program is 32-bit and must start on Windows XP; the 64-bit one
# on XP x64 at the least. Debian's python3-pefile is for Debian's own python3.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(windows_machine i386)
else()
  set(windows_machine amd64)
endif()
find_program(DEBIAN_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME imports
  COMMAND ${DEBIAN_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/windows_imports_test.py
          $<TARGET_FILE:camera-patch> ${windows_machine}
          ${CMAKE_CURRENT_SOURCE_DIR}/windows_imports.txt)

# A wine prefix of the build's own, so that runs do not depend on the
# developer's ~/.wine, and no window or installer ever asks for a display.
set(wine_environment
  WINEPREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)
if(windows_machine STREQUAL i386)
  # 64-bit wine runs a 32-bit program only with Debian's 32-bit wine DLLs,
  # which scripts/install-deps.sh unpacks (never installs) into a cache.
  execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/wine32-dlls.sh --where
    OUTPUT_VARIABLE wine32_dlls OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND wine_environment WINEDLLPATH=${wine32_dlls})
endif()
set(headless DISPLAY=unset: WAYLAND_DISPLAY=unset:)

# One wine server and its services for the whole run: otherwise each run of
# the program starts them anew, and the test waits seconds for its output
# pipe, which they hold, to close. The first start also makes the prefix,
# which takes wine a while.
# Some machines' kernels let no 32-bit code run, and then wine starts no
# 32-bit program at all, not even its own. wine_start finds that out with one
# of wine's own programs and leaves a note; the tests that run ours then run
# in a guest (below).
set(no_32_bit_note ${CMAKE_CURRENT_BINARY_DIR}/wine-runs-no-32-bit-program.txt)
add_test(NAME wine_start
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/start_wine.sh ${CMAKE_CURRENT_BINARY_DIR}/wine-start.log
          ${no_32_bit_note})
# The server ends by itself a minute after the last program: where none ran
# here meanwhile (the suites were in the guest), there is none left to stop.
add_test(NAME wine_stop COMMAND sh -c "\"$0\" -k || true" ${WINESERVER})
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# Where the note is left, the suites run in one QEMU guest whose kernel runs
# 32-bit code, started by wine32_guest; each suite then reports its run
# there. Only where no guest can start either are they skipped.
set(guest_results ${CMAKE_CURRENT_BINARY_DIR}/wine32-guest)
set(guest_suites end_to_end windows fault_matrix)
if(windows_machine STREQUAL i386)
  add_test(NAME wine32_guest
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine32_guest.py ${no_32_bit_note}
            ${guest_results} ${PROJECT_BINARY_DIR} ${guest_suites})
  # It also reads the prefix wine_start made.
  set_tests_properties(wine32_guest PROPERTIES FIXTURES_REQUIRED wine
    FIXTURES_SETUP wine32_guest TIMEOUT 3000 SKIP_RETURN_CODE 77
    ENVIRONMENT "${wine_environment}")
endif()
function(add_wine_suite name)
  add_test(NAME ${name}
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/unless_noted.sh ${no_32_bit_note} ${guest_results}
            ${name} ${Python3_EXECUTABLE} ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine;wine32_guest"
    SKIP_RETURN_CODE 77 ENVIRONMENT "${wine_environment}" ENVIRONMENT_MODIFICATION "${headless}")
endfunction()

# In the guest, whose processor is emulated, they take several times as long.
if(windows_machine STREQUAL i386)
  set(suite_timeout 1500)
else()
  set(suite_timeout 600)
endif()
foreach(test_name end_to_end windows)
  add_wine_suite(${test_name} ${CMAKE_CURRENT_SOURCE_DIR}/${test_name}_test.py --windows
    $<TARGET_FILE:camera-patch>)
  set_tests_properties(${test_name} PROPERTIES TIMEOUT ${suite_timeout})
endforeach()
set_tests_properties(wine_start wine_stop PROPERTIES
  ENVIRONMENT "${wine_environment}"
  ENVIRONMENT_MODIFICATION "${headless}")

# The same program, with its Windows calls routed through counting wrappers
# that can fail or end any one of them: the fault matrix's program. The exe
# players get is built without any of it.
add_library(windows_faults STATIC windows_faults.cc)
target_include_directories(windows_faults PRIVATE ${PROJECT_SOURCE_DIR})
add_program(camera-patch-faults LIBRARIES windows_faults COMPILE_OPTIONS
  $<$<COMPILE_LANGUAGE:CXX>:-include ${CMAKE_CURRENT_SOURCE_DIR}/windows_faults.hpp>)

add_wine_suite(fault_matrix ${CMAKE_CURRENT_SOURCE_DIR}/fault_matrix_test.py --windows
  $<TARGET_FILE:camera-patch-faults>)
if(windows_machine STREQUAL i386)
  set_tests_properties(fault_matrix PROPERTIES TIMEOUT 1500)
else()
  set_tests_properties(fault_matrix PROPERTIES TIMEOUT 900)
endif()
