# Run by CPack before it packs: the programs stripped as Debian's dh_strip strips them, their
# symbols and the compiler's .comment and .note sections gone.
set(bin "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin")
file(GLOB programs "${bin}/*")
if(NOT programs)
  message(FATAL_ERROR "no programs to strip in ${bin}")
endif()
foreach(program ${programs})
  execute_process(
    COMMAND "${CPACK_KP_STRIP}" --remove-section=.comment --remove-section=.note
            --strip-unneeded "${program}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
