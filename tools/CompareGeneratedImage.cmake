# cmake -DGENERATOR=<tool> -DOUTPUT=<file> -DREFERENCE=<file> -P CompareGeneratedImage.cmake
execute_process(COMMAND "${GENERATOR}" "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed (${rc})")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${REFERENCE}" RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${OUTPUT} differs from ${REFERENCE}")
endif()
