# SPDX-License-Identifier: GPL-2.0 OR MIT
# The core's compiler flags from cmake/core-flags.mk, the file Kbuild includes:
# each of its variables becomes a list here, named in capitals with
# underscores (quorvin-core-flags -> QUORVIN_CORE_FLAGS). A change to the file
# configures the build again.
set(QUORVIN_CORE_FLAGS_FILE ${CMAKE_CURRENT_LIST_DIR}/core-flags.mk)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUORVIN_CORE_FLAGS_FILE})
file(STRINGS ${QUORVIN_CORE_FLAGS_FILE} quorvin_flag_lines REGEX "^[^#]")
foreach(quorvin_flag_line IN LISTS quorvin_flag_lines)
  if(NOT quorvin_flag_line MATCHES "^([a-z0-9_-]+) *([:+])= *(.*)$")
    message(FATAL_ERROR "${QUORVIN_CORE_FLAGS_FILE}: not a plain assignment: ${quorvin_flag_line}")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" quorvin_flag_var)
  string(REPLACE "-" "_" quorvin_flag_var "${quorvin_flag_var}")
  set(quorvin_flag_op "${CMAKE_MATCH_2}")
  separate_arguments(quorvin_flag_words UNIX_COMMAND "${CMAKE_MATCH_3}")
  if(quorvin_flag_op STREQUAL ":")
    set(${quorvin_flag_var} ${quorvin_flag_words})
  else()
    list(APPEND ${quorvin_flag_var} ${quorvin_flag_words})
  endif()
endforeach()
