# SPDX-License-Identifier: GPL-2.0 OR MIT
# Installs the static library, its public headers, a CMake package
# (find_package(QuorvinAWB) -> QuorvinAWB::quorvin_awb) and a pkg-config file
# (quorvin-awb.pc). The Debian package libquorvin-awb-dev ships exactly these.
include(CMakePackageConfigHelpers)

set(QUORVIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorvinAWB)

install(TARGETS quorvin_awb EXPORT QuorvinAWBTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The headers a camera driver includes; PixelKernels.h is the core's own.
install(FILES
  AWB/AWB.h AWB/AveragePixelValue.h AWB/LuminanceCtrl.h AWB/PictureCtrl.h AWB/WhiteBalanceCtrl.h
  AWB/platform.h AWB/win.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/AWB)

install(EXPORT QuorvinAWBTargets NAMESPACE QuorvinAWB::
  FILE QuorvinAWBTargets.cmake DESTINATION ${QUORVIN_CMAKE_DIR})
configure_package_config_file(cmake/QuorvinAWBConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuorvinAWBConfig.cmake
  INSTALL_DESTINATION ${QUORVIN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuorvinAWBConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QuorvinAWBConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QuorvinAWBConfigVersion.cmake
  DESTINATION ${QUORVIN_CMAKE_DIR})

# pkg-config: the library is static only, so its own dependencies (the C++
# runtime of the user-space platform layer, threads) go in Libs.
configure_file(cmake/quorvin-awb.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quorvin-awb.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorvin-awb.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
