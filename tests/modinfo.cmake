# SPDX-License-Identifier: GPL-2.0 OR MIT
# The modinfo-like listing of the module's metadata, parameter and exports,
# and checks of its output.
add_executable(quorvin_modinfo ${CMAKE_CURRENT_LIST_DIR}/modinfo/quorvin_modinfo.cpp)
target_link_libraries(quorvin_modinfo PRIVATE quorvin_module_user quorvin_warnings)

add_test(NAME modinfo_listing
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:quorvin_modinfo>
          "-DEMULATOR=$<TARGET_PROPERTY:quorvin_modinfo,CROSSCOMPILING_EMULATOR>"
          -DEXPECTED=${CMAKE_CURRENT_LIST_DIR}/modinfo/expected.txt
          -P ${CMAKE_CURRENT_LIST_DIR}/modinfo/compare_output.cmake)
add_test(NAME modinfo_field COMMAND quorvin_modinfo -F license)
set_tests_properties(modinfo_field PROPERTIES PASS_REGULAR_EXPRESSION "^Dual MIT/GPL\n$")
add_test(NAME modinfo_params COMMAND quorvin_modinfo -p)
set_tests_properties(modinfo_params PROPERTIES
  PASS_REGULAR_EXPRESSION "^debug_awb:debug\\[0\\]:  21 for debug \\(int\\)\n$")
