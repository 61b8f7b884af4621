# The installed udev rule with programmer ids (cmake -P): each id gets its own active line,
# in lower case as udev compares them, nothing is left to fill in, and ids that are not
# vvvv:pppp stop the build.
include(${SOURCE_DIR}/cmake/UdevRule.cmake)
set(template ${SOURCE_DIR}/packaging/70-kpnox-koder.rules)

kp_udev_rule(${template} ${WORK_DIR}/with-ids.rules "1A2B:3c4d,abcd:0001")
file(STRINGS ${WORK_DIR}/with-ids.rules active REGEX "^SUBSYSTEM==")
list(LENGTH active count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "expected two active lines, found ${count}: ${active}")
endif()
foreach(pair "1a2b;3c4d" "abcd;0001")
  list(GET pair 0 vendor)
  list(GET pair 1 product)
  set(matching ${active})
  list(FILTER matching INCLUDE REGEX "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", TAG\\+=\"uaccess\", ENV{KPNOX_DEVICE_INTERFACE_GUIDS}=\"{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}\"$")
  if(NOT matching)
    message(FATAL_ERROR "no active line for ${vendor}:${product}")
  endif()
endforeach()
file(STRINGS ${WORK_DIR}/with-ids.rules left REGEX "^# SUBSYSTEM==|THE LINE TO FILL IN")
if(left)
  message(FATAL_ERROR "a line still waits to be filled in: ${left}")
endif()

kp_udev_rule(${template} ${WORK_DIR}/as-shipped.rules "")
file(READ ${template} expected)
file(READ ${WORK_DIR}/as-shipped.rules got)
if(NOT got STREQUAL expected)
  message(FATAL_ERROR "without ids the rule must be the template as shipped")
endif()

foreach(bad "1a2b" "1a2b:3c4" "1a2b:3c4d," "1a2b:3c4g" "1a2b-3c4d")
  execute_process(COMMAND ${CMAKE_COMMAND} -DTEMPLATE=${template} -DOUTPUT=${WORK_DIR}/bad.rules
                          -DIDS=${bad} -P ${SOURCE_DIR}/cmake/UdevRule.cmake
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(result EQUAL 0)
    message(FATAL_ERROR "ids \"${bad}\" were taken")
  endif()
endforeach()
