# SPDX-License-Identifier: GPL-2.0 OR MIT
# The pixel tests once more against the core with exactly the kernel's
# variants (QUORVIN_KERNEL_PIXELS: the word variants and the chunked AVX2
# ones, run between quorvin_vector_begin and _end as in the kernel).
set(quorvin_core_abs)
foreach(source IN LISTS QUORVIN_CORE_SOURCES)
  list(APPEND quorvin_core_abs ${PROJECT_SOURCE_DIR}/${source})
endforeach()
add_library(quorvin_awb_kernel_pixels STATIC ${quorvin_core_abs}
  ${PROJECT_SOURCE_DIR}/platform/user/platform_user.cpp)
target_include_directories(quorvin_awb_kernel_pixels PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(quorvin_awb_kernel_pixels PUBLIC QUORVIN_KERNEL_PIXELS)
target_compile_options(quorvin_awb_kernel_pixels PRIVATE -fno-exceptions -fno-rtti)
target_link_libraries(quorvin_awb_kernel_pixels PUBLIC Threads::Threads PRIVATE quorvin_warnings)
foreach(name test_pixels test_fastpath)
  add_executable(${name}_kernelset ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
  target_link_libraries(${name}_kernelset PRIVATE quorvin_awb_kernel_pixels GTest::gtest_main
    quorvin_warnings)
  add_test(NAME ${name}_kernelset COMMAND ${name}_kernelset --gtest_brief=1)
endforeach()
