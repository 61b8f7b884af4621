# Optimised builds on Linux are hardened as Debian hardens its own packages: the compiler and
# linker flags are those dpkg-buildflags gives with every hardening feature on, less its
# optimisation, debugging and path-mapping options, which the build type and the developer
# decide. The sanitizer and fuzz presets switch this off and keep their own flags.
option(KP_HARDENING "Harden optimised builds with the flags dpkg-buildflags gives" ON)
if(NOT KP_HARDENING OR NOT UNIX OR APPLE OR CMAKE_CROSSCOMPILING)
  return()
endif()

include(CheckCXXCompilerFlag)
find_program(KP_DPKG_BUILDFLAGS dpkg-buildflags DOC "Debian's build flags, for the hardening")
set(kp_hardening_compile)
set(kp_hardening_link)
if(KP_DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${KP_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O|g|ffile-prefix-map=|fdebug-prefix-map=)")
    if(kind STREQUAL "LDFLAGS")
      list(APPEND kp_hardening_link ${flags})
    else()
      list(APPEND kp_hardening_compile ${flags})
    endif()
  endforeach()
else()
  # Elsewhere the same features by their compiler flags.
  list(APPEND kp_hardening_compile -fstack-protector-strong -D_FORTIFY_SOURCE=2)
  list(APPEND kp_hardening_link -Wl,-z,relro -Wl,-z,now)
endif()
# Control-flow and stack-clash protection, which dpkg-buildflags gives from dpkg 1.22 on;
# earlier versions leave them out, so they are added where the compiler has them.
foreach(flag -fcf-protection -fstack-clash-protection)
  string(MAKE_C_IDENTIFIER "KP_HAVE${flag}" have)
  if(NOT flag IN_LIST kp_hardening_compile AND NOT "${kp_hardening_compile}" MATCHES "${flag}=")
    check_cxx_compiler_flag(${flag} ${have})
    if(${have})
      list(APPEND kp_hardening_compile ${flag})
    endif()
  endif()
endforeach()

# The control-flow note of a program is kept by the linker only when every object linked in
# has it, and Debian's glibc start files (Scrt1.o, crti.o) are built without: the program,
# whose own code is all built for it, is marked compatible by hand. Those files do nothing a
# shadow stack breaks, and Linux checks no indirect-branch targets in user space.
if("-fcf-protection" IN_LIST kp_hardening_compile OR "${kp_hardening_compile}" MATCHES "-fcf-protection=full")
  include(CheckLinkerFlag)
  check_linker_flag(CXX "LINKER:-z,ibt,-z,shstk" KP_HAVE_LINK_CET)
  if(KP_HAVE_LINK_CET)
    list(APPEND kp_hardening_link -Wl,-z,ibt -Wl,-z,shstk)
  endif()
endif()

message(STATUS "Hardening (optimised builds): ${kp_hardening_compile} ${kp_hardening_link}")
# _FORTIFY_SOURCE wants optimisation; a Debug build stays as it is.
set(kp_optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
add_compile_options("$<${kp_optimised}:${kp_hardening_compile}>")
add_link_options("$<${kp_optimised}:${kp_hardening_link}>")
