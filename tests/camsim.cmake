# SPDX-License-Identifier: GPL-2.0 OR MIT
# Tests of the virtual camera (tools/camsim), driven through its library
# rather than the program. Built only where the tools are.
if(QUORVIN_BUILD_TOOLS)
  add_executable(test_camsim ${CMAKE_CURRENT_LIST_DIR}/camsim/test_camsim.cpp)
  target_link_libraries(test_camsim PRIVATE quorvin_camsim_core GTest::gtest_main
                        quorvin_warnings)
  add_test(NAME test_camsim COMMAND test_camsim --gtest_brief=1)
endif()
