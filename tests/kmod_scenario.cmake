# SPDX-License-Identifier: GPL-2.0 OR MIT
# The kernel client's camera-driver scenario, built for user space against
# the library as a strict C11 program (a camera driver written in C against
# the public headers): its output is the reference the kernel test compares
# the kernel run with (tests/kernel/vm/vm-test.sh), it runs here as a test of its own,
# and valgrind checks its memory use.
add_executable(kmod_scenario
  ${PROJECT_SOURCE_DIR}/tests/kernel/client/scenario.c
  ${CMAKE_CURRENT_LIST_DIR}/kmod_scenario/user_host.c)
set_target_properties(kmod_scenario PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF)
target_compile_options(kmod_scenario PRIVATE -Wpedantic)
target_include_directories(kmod_scenario PRIVATE ${PROJECT_SOURCE_DIR}/tests/kernel/client)
target_link_libraries(kmod_scenario PRIVATE quorvin_awb quorvin_warnings)
add_test(NAME kmod_scenario COMMAND kmod_scenario)
