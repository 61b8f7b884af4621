# The programs' --help and their manual pages (packaging/*.1.in) name the same options, and
# kpnox-cli's the same commands, per command too; each page's SEE ALSO names the other
# programs; the AppStream metainfo provides all three.
#   -DSOURCE_DIR=<the source tree> -DPROGRAM=<name> -DEXE=<its binary>: one program
#   -DSOURCE_DIR=<the source tree>: the metainfo
set(programs kpnox-koder kpr50-sim kpnox-cli)
set(errors "")

macro(complain text)
  string(APPEND errors "  ${text}\n")
endmacro()

# Text split into lines. The brackets and semicolons of usage lines would bend CMake's
# lists, and a backslash would escape their separator; none of them makes an option.
function(kp_lines text out)
  string(REPLACE "\\-" "-" text "${text}")
  string(REGEX REPLACE "[][;\\]" "/" text "${text}")
  string(REPLACE "\n" ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The options a piece of text names: --long ones and -h alike, once each.
function(kp_options text out)
  string(REGEX MATCHALL "--[a-z0-9][-a-z0-9]*" long "${text}")
  string(REGEX MATCHALL "(^|[^-a-zA-Z0-9])-[a-zA-Z]([^-a-zA-Z0-9]|$)" short "${text}")
  list(TRANSFORM short REPLACE "[^-a-zA-Z]" "")
  set(all ${long} ${short})
  list(REMOVE_DUPLICATES all)
  set(${out} ${all} PARENT_SCOPE)
endfunction()

# What one program's --help (or one command's) names: the options of its usage (the lines
# before the first empty one) and of the option column, the lines indented by two spaces up
# to two spaces that start the description. Descriptions may name other programs' options.
# The words that start the column go to `words` (kpnox-cli's commands, among others).
function(kp_help_options help out words)
  kp_lines("${help}" lines)
  set(found "")
  set(starts "")
  set(usage TRUE)
  foreach(line IN LISTS lines)
    if(line STREQUAL "")
      set(usage FALSE)
    elseif(usage)
      kp_options("${line}" named)
      list(APPEND found ${named})
    elseif(line MATCHES "^  [^ ]")
      string(REGEX MATCH "^  [^ ]+( [^ ]+)*" head "${line}")
      kp_options("${head}" named)
      list(APPEND found ${named})
      if(head MATCHES "^  ([a-z]+)( |$)")
        list(APPEND starts ${CMAKE_MATCH_1})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES found)
  list(REMOVE_DUPLICATES starts)
  set(${out} ${found} PARENT_SCOPE)
  set(${words} ${starts} PARENT_SCOPE)
endfunction()

# `a` less `b`, as one line.
function(kp_less out a b)
  set(rest ${a})
  if(b)
    list(REMOVE_ITEM rest ${b})
  endif()
  string(REPLACE ";" " " rest "${rest}")
  set(${out} "${rest}" PARENT_SCOPE)
endfunction()

# Complains "WHAT: <the items of `a` not in `b`>" when there are any.
macro(kp_expect_in a b what)
  kp_less(missing "${a}" "${b}")
  if(missing)
    complain("${what}: ${missing}")
  endif()
endmacro()

# Without PROGRAM: the metainfo's <provides> lists the binaries of the package, all of them.
if(NOT PROGRAM)
  set(path ${SOURCE_DIR}/packaging/pl.kpnox.koder.metainfo.xml.in)
  file(READ ${path} metainfo)
  string(REGEX MATCH "<provides>.*</provides>" provides "${metainfo}")
  string(REGEX MATCHALL "<binary>[^<]*</binary>" binaries "${provides}")
  list(TRANSFORM binaries REPLACE "</?binary>" "")
  kp_expect_in("${programs}" "${binaries}" "<provides> lacks <binary> of")
  kp_expect_in("${binaries}" "${programs}" "<provides> names a binary the package has not")
  if(errors)
    message(FATAL_ERROR "${path}:\n${errors}")
  endif()
  return()
endif()

# --help needs no display, though two of the programs have a window.
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})
unset(ENV{QT_QPA_PLATFORM})
function(kp_help out)
  execute_process(COMMAND ${EXE} ${ARGN} --help
                  RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR help STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} ${ARGN} --help without a display: exit ${rc}\n${err}")
  endif()
  set(${out} "${help}" PARENT_SCOPE)
endfunction()

kp_help(help)
kp_help_options("${help}" help_options help_words)

# The page: the options of its SYNOPSIS and those that head an entry of OPTIONS (the line
# after .TP; the entries' text may name others), and the names of SEE ALSO. kpnox-cli's
# SYNOPSIS has a line for each command, up to .br.
set(page ${SOURCE_DIR}/packaging/${PROGRAM}.1.in)
file(READ ${page} man)
kp_lines("${man}" lines)
set(section "")
set(tag FALSE)
set(command "")
set(synopsis_options "")
set(entries "")
set(man_commands "")
set(see_also "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\\.SH (.*)")
    string(REPLACE "\"" "" section "${CMAKE_MATCH_1}")
    continue()
  endif()
  if(section STREQUAL "SYNOPSIS")
    kp_options("${line}" named)
    list(APPEND synopsis_options ${named})
    if(line MATCHES "^\\.B ${PROGRAM} ([a-z]+)( |$)")
      set(command ${CMAKE_MATCH_1})
      list(APPEND man_commands ${command})
    elseif(line STREQUAL ".br")
      set(command "")
    endif()
    if(command)
      list(APPEND command_${command} ${named})
    endif()
  elseif(section STREQUAL "OPTIONS")
    if(tag)
      kp_options("${line}" named)
      list(APPEND entries ${named})
    endif()
    if(line STREQUAL ".TP")
      set(tag TRUE)
    else()
      set(tag FALSE)
    endif()
  elseif(section STREQUAL "SEE ALSO")
    if(line MATCHES "^\\.BR? ([-a-z0-9]+) \\(1\\)")
      list(APPEND see_also ${CMAKE_MATCH_1})
    endif()
  endif()
endforeach()

kp_expect_in("${help_options}" "${entries}" "--help names options OPTIONS has no entry for")
set(man_options ${entries} ${synopsis_options})
list(REMOVE_DUPLICATES man_options)
kp_expect_in("${man_options}" "${help_options}" "the page names options --help does not")
set(others ${programs})
list(REMOVE_ITEM others ${PROGRAM})
kp_expect_in("${others}" "${see_also}" "SEE ALSO does not name")

# kpnox-cli: the commands of its table, of --help and of the page are the same, and each
# command's --help names the options of its lines in SYNOPSIS (the trace options and --help
# go with every command, and the page says so once).
if(PROGRAM STREQUAL "kpnox-cli")
  file(READ ${SOURCE_DIR}/cli/CliOptions.cpp table)
  string(REGEX MATCHALL "{\"[a-z]+\", CliCommand::" code_commands "${table}")
  list(TRANSFORM code_commands REPLACE "^{\"([a-z]+)\".*" "\\1")
  if(NOT code_commands)
    complain("no commands found in cli/CliOptions.cpp: its table has a new form")
  endif()
  list(REMOVE_DUPLICATES man_commands)
  kp_expect_in("${code_commands}" "${help_words}" "--help does not name the commands")
  kp_expect_in("${code_commands}" "${man_commands}" "SYNOPSIS has no line for the commands")
  kp_expect_in("${man_commands}" "${code_commands}" "SYNOPSIS names commands the program has not")
  foreach(command IN LISTS code_commands)
    kp_help(command_help ${command})
    kp_help_options("${command_help}" named unused)
    list(REMOVE_ITEM named -h --help --trace --trace-format)
    list(REMOVE_DUPLICATES command_${command})
    kp_expect_in("${named}" "${command_${command}}"
                 "'${command} --help' names options its SYNOPSIS lines do not")
    kp_expect_in("${command_${command}}" "${named}"
                 "the SYNOPSIS lines of ${command} name options its --help does not")
  endforeach()
endif()

if(errors)
  message(FATAL_ERROR "${PROGRAM} --help against ${page}:\n${errors}")
endif()
