# A trace file that cannot be written stops kpnox-cli (and kpnox-koder) at the start, with the
# reason, the usage exit code and nothing written; so does one that would empty the records.
# -DCLI, -DKODER (may be empty), -DWORK_DIR.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(expect_refused program)
  foreach(path ${WORK_DIR}/no-such-folder/trace.txt ${WORK_DIR})
    execute_process(COMMAND ${program} ${ARGN} --trace ${path}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 2)
      message(FATAL_ERROR "${program} ${ARGN} --trace ${path}: exit ${rc}, not 2\n${err}")
    endif()
    if(NOT err MATCHES "nie można zapisać śladu / cannot write the trace: ${path}: .+")
      message(FATAL_ERROR "${program} --trace ${path}: no reason on standard error: ${err}")
    endif()
    if(NOT out STREQUAL "")
      message(FATAL_ERROR "${program} --trace ${path}: wrote to standard output: ${out}")
    endif()
  endforeach()
  if(EXISTS ${WORK_DIR}/no-such-folder)
    message(FATAL_ERROR "${program} made the missing folder")
  endif()
endfunction()

# Batch, which would append records to a file: not even that file is made.
expect_refused(${CLI} batch --department 1 --first-index 1 --count 1 --password-stdin
               --output ${WORK_DIR}/records.csv)
expect_refused(${CLI} status)
if(EXISTS ${WORK_DIR}/records.csv)
  message(FATAL_ERROR "kpnox-cli made its records file although the trace failed")
endif()
if(KODER)
  expect_refused(${KODER})
endif()

# The records' file named as the trace: refused, the records kept.
file(WRITE ${WORK_DIR}/records.csv "department,index,uid,result,time,line\n")
execute_process(COMMAND ${CLI} erase --output ${WORK_DIR}/records.csv
                        --trace ${WORK_DIR}/./records.csv
                RESULT_VARIABLE rc ERROR_VARIABLE err)
file(READ ${WORK_DIR}/records.csv kept)
if(NOT rc EQUAL 2 OR NOT err MATCHES "the trace file is the records' or the list's file"
   OR NOT kept STREQUAL "department,index,uid,result,time,line\n")
  message(FATAL_ERROR "the records' file taken for the trace: exit ${rc}, ${err}")
endif()
