# Our own targets link kp_warnings: strict warnings, treated as errors.
add_library(kp_warnings INTERFACE)
if(MSVC)
  # For a developer with Qt's MSVC kit: the closest set cl.exe has; sources are UTF-8.
  target_compile_options(kp_warnings INTERFACE /W4 /permissive- /utf-8 /WX)
else()
  target_compile_options(kp_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Wold-style-cast -Wimplicit-fallthrough -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(kp_warnings INTERFACE -Wno-psabi)
endif()

# kp_add_gtest(name SOURCES sources... LIBS libs... [ENVIRONMENT VAR=value...]): one GoogleTest
# executable, registered with ctest.
function(kp_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main kp_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(WIN32 AND CMAKE_CROSSCOMPILING)
    # One ctest entry per executable; scripts/test-windows runs them under Wine itself.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  else()
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_ENVIRONMENT)
      list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${properties})
  endif()
endfunction()
