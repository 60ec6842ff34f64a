# Regenerates the DIN grammar tables into OUT_DIR and fails when they differ
# from the committed files.
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(
  COMMAND ${PYTHON} ${GEN_DIR}/din_grammar.py ${GEN_DIR}/schemas
          ${OUT_DIR}/dinEXIGrammar.h ${OUT_DIR}/dinEXIGrammar.cpp
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "din_grammar.py failed: ${rc}")
endif()
foreach(f dinEXIGrammar.h dinEXIGrammar.cpp)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT_DIR}/${f} ${SOURCE_DIR}/${f}
                  RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "${f} is not what the generator makes from the schemas; regenerate it")
  endif()
endforeach()
