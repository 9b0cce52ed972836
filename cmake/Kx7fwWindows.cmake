# Windows builds: everything a test or a host program loads lands in one
# folder, and a cross build from Linux runs its test programs under Wine.

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

if(NOT CMAKE_CROSSCOMPILING OR NOT CMAKE_HOST_UNIX OR NOT KX7FW_BUILD_TESTS)
  return()
endif()

# No packaged GoogleTest exists for the cross compiler; build it from the
# sources Debian ships with libgtest-dev.
set(KX7FW_GOOGLETEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources built for cross-compiled test suites")
if(NOT EXISTS ${KX7FW_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found at ${KX7FW_GOOGLETEST_SOURCE_DIR} "
                      "(install libgtest-dev and libgmock-dev, or set KX7FW_GOOGLETEST_SOURCE_DIR)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KX7FW_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(library gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${library})
    add_library(GTest::${library} ALIAS ${library})
  endif()
endforeach()

# --- Wine ---------------------------------------------------------------------
# Debian keeps the 64-bit loader out of PATH; /usr/bin/wine starts the 32-bit
# one, which a kernel without 32-bit support cannot execute at all.
find_program(KX7FW_WINE64 NAMES wine64 HINTS /usr/lib/wine /usr/lib64/wine)
find_program(KX7FW_WINE NAMES wine HINTS /usr/lib/wine)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KX7FW_WINE_BITS 64)
  set(KX7FW_WINE_LOADER ${KX7FW_WINE64})
else()
  set(KX7FW_WINE_BITS 32)
  set(KX7FW_WINE_LOADER ${KX7FW_WINE})
endif()
if(NOT KX7FW_WINE_LOADER OR NOT KX7FW_WINE64)
  message(FATAL_ERROR "Wine is needed to run the ${KX7FW_WINE_BITS}-bit Windows tests "
                      "(Debian: wine, wine64, wine32:i386)")
endif()

# Told here as well as by every 32-bit test: where the kernel cannot run
# 32-bit programs, or 32-bit Wine is missing, those tests report SKIPPED.
if(KX7FW_WINE_BITS EQUAL 32)
  execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/tests/win32/wine32_missing.sh
                  RESULT_VARIABLE status OUTPUT_VARIABLE reason OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(status EQUAL 0)
    message(STATUS "${reason}: the Wine tests of this build will be skipped")
  endif()
endif()

set(KX7FW_WINE_TESTS ON)
set(KX7FW_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(KX7FW_WINE_RUN sh ${PROJECT_SOURCE_DIR}/tests/win32/wine_run.sh ${KX7FW_WINE_BITS}
                   ${KX7FW_WINE_DIR} ${KX7FW_WINE_LOADER})

# One CTest test per test program: every Wine start costs a second or more.
# The program runs in the build's own Wine prefix, made by the wine_prefix
# set-up test; 77 means the machine cannot run it (reported as skipped).
function(kx7fw_add_wine_test name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TARGET" "ARGS")
  if(NOT arg_TARGET)
    set(arg_TARGET ${name})
  endif()
  add_test(NAME ${name} COMMAND ${KX7FW_WINE_RUN} $<TARGET_FILE:${arg_TARGET}> ${arg_ARGS})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix SKIP_RETURN_CODE 77
                                          LABELS wine TIMEOUT ${KX7FW_TEST_TIMEOUT})
endfunction()
