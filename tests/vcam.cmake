# SPDX-License-Identifier: GPL-2.0 OR MIT
# The camera behind the reference V4L2 driver (drivers/vcam/vcam_core.c), built
# for user space against the library: its sensor model, the binding contract
# as the driver keeps it, and the closed loop the kernel test checks through
# V4L2.
add_executable(test_vcam_core ${CMAKE_CURRENT_LIST_DIR}/vcam/test_vcam_core.cpp
  ${PROJECT_SOURCE_DIR}/drivers/vcam/vcam_core.c)
target_include_directories(test_vcam_core PRIVATE ${PROJECT_SOURCE_DIR}/drivers/vcam)
target_link_libraries(test_vcam_core PRIVATE quorvin_awb GTest::gtest_main quorvin_warnings)
add_test(NAME test_vcam_core COMMAND test_vcam_core --gtest_brief=1)
