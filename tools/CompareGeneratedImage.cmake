# cmake -DGENERATOR=<tool> -DOUTPUT=<file> -DREFERENCE=<file> [-DEMULATOR=<runner>] -P CompareGeneratedImage.cmake
# EMULATOR runs a cross-built generator (Wine for the Windows build).
execute_process(COMMAND ${EMULATOR} "${GENERATOR}" "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed (${rc})")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${REFERENCE}" RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${OUTPUT} differs from ${REFERENCE}")
endif()
