# The example lists of the package import cleanly and give list files the
# filter loads. Run with -DTARVELCTL=<native tarvelctl> -DSOURCE=<repo>
# -DWORK=<scratch folder>.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(list blacklist whitelist)
  execute_process(COMMAND ${TARVELCTL} list import ${SOURCE}/examples/${list}.txt ${WORK}/${list}.lst
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "import of ${list}.txt failed (${result}): ${err}")
  endif()
  execute_process(COMMAND ${TARVELCTL} list check ${WORK}/${list}.lst
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR NOT out MATCHES ": loads: [1-9][0-9]* entr")
    message(FATAL_ERROR "${list}.lst does not load (${result}): ${out}${err}")
  endif()
endforeach()
