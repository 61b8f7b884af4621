# The installed udev rule. Without programmer ids it is the template as shipped, which does
# nothing until an administrator fills in the ids; with KP_PROGRAMMER_USB_IDS
# ("vvvv:pppp[,vvvv:pppp]") the marked line is replaced by one active line per programmer.
#
# Also runs as a script (cmake -P), which is how the tests check it:
#   cmake -DTEMPLATE=<rules> -DOUTPUT=<file> -DIDS=<ids> -P cmake/UdevRule.cmake

# The rule's line for one programmer, as the template's marked line has it.
function(kp_udev_rule_line vendor product out)
  set(${out} "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${product}\", TAG+=\"uaccess\", ENV{KPNOX_DEVICE_INTERFACE_GUIDS}=\"{5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73}\"" PARENT_SCOPE)
endfunction()

function(kp_udev_rule template output ids)
  file(READ "${template}" rules)
  if(ids STREQUAL "")
    file(WRITE "${output}" "${rules}")
    return()
  endif()
  set(hex "[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]")
  if(NOT ids MATCHES "^${hex}:${hex}(,${hex}:${hex})*$")
    message(FATAL_ERROR "KP_PROGRAMMER_USB_IDS: \"${ids}\" is not vvvv:pppp[,vvvv:pppp] "
                        "(hexadecimal, as lsusb shows them)")
  endif()
  string(TOLOWER "${ids}" ids)
  string(REPLACE "," ";" pairs "${ids}")
  set(active "# Generated with KP_PROGRAMMER_USB_IDS=${ids}: the programmers' lines are filled in.")
  foreach(pair IN LISTS pairs)
    string(REPLACE ":" ";" parts "${pair}")
    list(GET parts 0 vendor)
    list(GET parts 1 product)
    kp_udev_rule_line(${vendor} ${product} line)
    string(APPEND active "\n${line}")
  endforeach()
  kp_udev_rule_line(VVVV PPPP marked)
  string(FIND "${rules}" "# ${marked}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${template}: the line to fill in is not there")
  endif()
  string(REPLACE "# ${marked}" "${active}" rules "${rules}")
  string(REGEX REPLACE "# >>> THE LINE TO FILL IN[^\n]*\n" "" rules "${rules}")
  file(WRITE "${output}" "${rules}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED TEMPLATE)
  kp_udev_rule("${TEMPLATE}" "${OUTPUT}" "${IDS}")
endif()
