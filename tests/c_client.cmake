# SPDX-License-Identifier: GPL-2.0 OR MIT
# A camera driver written in C11 that binds an object, runs a simulated sensor
# in closed loop through both per-frame calls and checks what it receives.
add_executable(c_client ${CMAKE_CURRENT_LIST_DIR}/c_client/c_client.c)
set_target_properties(c_client PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(c_client PRIVATE -Wpedantic)
target_link_libraries(c_client PRIVATE quorvin_awb quorvin_warnings)
add_test(NAME c_client COMMAND c_client)
