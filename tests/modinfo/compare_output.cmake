# SPDX-License-Identifier: GPL-2.0 OR MIT
# Runs PROGRAM with ARGS (a ;-list), through EMULATOR when one is given, and
# fails unless its standard output equals the file EXPECTED byte for byte.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGS} OUTPUT_VARIABLE actual RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${rc}")
endif()
file(READ ${EXPECTED} expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "output differs from ${EXPECTED}:\n${actual}")
endif()
