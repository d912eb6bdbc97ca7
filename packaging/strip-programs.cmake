# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on its staging tree before the
# package is made: strips the programs as Debian's dh_strip does, which also
# drops the compiler's .comment and .note sections that plain strip keeps.
file(GLOB programs LIST_DIRECTORIES false
  "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no program to strip under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
  execute_process(
    COMMAND "${CPACK_BRIGHTNESS_STRIP}" --remove-section=.comment
            --remove-section=.note --strip-unneeded "${program}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
