# Release builds of the same sources in two different folders make the same programs, byte
# for byte: no folder name in them (__FILE__, debug information) and, on Windows, no link
# time in the PE header. File times in the packages come from SOURCE_DATE_EPOCH, which the
# packaging scripts take from the last commit. Other build types keep their full paths, for
# the debugger.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(
    "$<$<CONFIG:Release>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
    "$<$<CONFIG:Release>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
endif()
if(MINGW)
  add_link_options("$<$<CONFIG:Release>:LINKER:--no-insert-timestamp>")
endif()
# Qt's resource compiler stores each file's time unless told the oldest format, which has
# none: a fresh clone's files are as new as the clone.
set(KP_RCC_OPTIONS --format-version 1)
