# tshark reads the journey's pcap as USB bulk transfers, and the shipped dissector names their
# frames as the text trace does. -DTSHARK, -DTESTS (trace_tests), -DDISSECTOR, -DWORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env KP_TRACE_KEEP_DIR=${WORK_DIR}
          ${TESTS} --gtest_filter=TraceJourney.NoSecretInEitherFile
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK_DIR}/journey.pcap)
  message(FATAL_ERROR "the journey made no pcap (${rc}):\n${out}")
endif()
execute_process(
  COMMAND ${TSHARK} -n -X lua_script:${DISSECTOR} -r ${WORK_DIR}/journey.pcap -T fields
          -e usb.transfer_type -e usb.endpoint_address -e usb.urb_type -e _ws.col.Info
  RESULT_VARIABLE rc OUTPUT_VARIABLE rows ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR err MATCHES "[Ee]rror|Lua")
  message(FATAL_ERROR "tshark failed (${rc}): ${err}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${rows}")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^0x03\t(0x02\t'S'|0x81\t'C')\t")
    message(FATAL_ERROR "not a bulk URB on the programmer's pipes: ${line}")
  endif()
endforeach()
foreach(expected
    "0x02\t'S'\trequest 'M' status, payload 0, CRC ok"
    "0x81\t'C'\treply 'M' status, payload 8, CRC ok"
    "request 'L' login, payload 28, CRC not checked [secrets withheld]"
    "request 'H' change-password, payload 44, CRC not checked [secrets withheld]"
    "reply 'n' challenge, payload 16, CRC not checked [secrets withheld]"
    "not one whole frame: length field 33, request 'L' login")
  string(FIND "${rows}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "no \"${expected}\" in:\n${rows}")
  endif()
endforeach()
