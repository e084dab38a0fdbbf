# Makes one manual page: scdoc < INPUT > OUTPUT, with the project's version
# (@KELVRA_VERSION@) put into the page's footer first. A page scdoc refuses
# leaves no output behind, so the build stops on it every time.
#   cmake -DSCDOC=... -DINPUT=page.scd -DOUTPUT=page -DVERSION=x.y.z -P Scdoc.cmake
file(READ ${INPUT} text)
string(REPLACE "@KELVRA_VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUTPUT}.scd "${text}")
execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT}.tmp
                ERROR_VARIABLE error RESULT_VARIABLE result)
file(REMOVE ${OUTPUT}.scd)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "scdoc refused ${INPUT}: ${error}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
