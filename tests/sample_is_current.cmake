# SPDX-License-Identifier: BSD-2-Clause
# Runs the sample-trip generator and fails when its output differs from the
# committed sample (then `cmake --build <build> --target sample` updates it).
execute_process(COMMAND ${GENERATOR} OUTPUT_VARIABLE generated RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${GENERATOR} failed: ${result}")
endif()
file(READ ${SAMPLE} committed)
if(NOT generated STREQUAL committed)
  message(FATAL_ERROR "${SAMPLE} is not what ${GENERATOR} writes; rebuild it with the `sample` target")
endif()
