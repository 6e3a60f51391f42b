# SPDX-License-Identifier: Apache-2.0
# Installation: headers under include/zornet/, both libraries, a CMake package and a relocatable
# pkg-config file. Consumers put include/zornet and include on their include path, so
# #include "net/net.h" and #include "zornet/..." both work.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/public/include/net
                  ${PROJECT_SOURCE_DIR}/platform/include/zo
        DESTINATION ${ZORNET_INSTALL_INCLUDEDIR}
        PATTERN zoblockcache.h EXCLUDE)  # the library's own
install(FILES ${PROJECT_BINARY_DIR}/generated/include/net/netversion.h
        DESTINATION ${ZORNET_INSTALL_INCLUDEDIR}/net)
if(EXISTS ${PROJECT_SOURCE_DIR}/public/include/zornet)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/public/include/zornet
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

list(TRANSFORM ZORNET_LOOPS PREPEND zornet_ OUTPUT_VARIABLE loop_targets)
install(TARGETS zornet zornet_static ${loop_targets} EXPORT zornetTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
set(ZORNET_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zornet)
install(EXPORT zornetTargets NAMESPACE zornet:: DESTINATION ${ZORNET_CMAKEDIR})

include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zornetConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zornetConfig.cmake
  INSTALL_DESTINATION ${ZORNET_CMAKEDIR})
# Same rule as the SONAME: while the major version is 0, only the same minor release is
# compatible; patch releases are.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zornetConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zornetConfig.cmake
              ${PROJECT_BINARY_DIR}/zornetConfigVersion.cmake
        DESTINATION ${ZORNET_CMAKEDIR})

# pkg-config finds the prefix from where the .pc file lies, so an install moved elsewhere, or
# made with cmake --install --prefix, still points at itself.
set(ZORNET_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${ZORNET_PC_DIR}")
  set(ZORNET_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZORNET_PC_UP "/root/${ZORNET_PC_DIR}" "/root")
  string(REGEX REPLACE "/$" "" ZORNET_PC_UP "${ZORNET_PC_UP}")
  set(ZORNET_PC_PREFIX "\${pcfiledir}/${ZORNET_PC_UP}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zornet.pc.in ${PROJECT_BINARY_DIR}/zornet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zornet.pc DESTINATION ${ZORNET_PC_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/docs/user-guide.md
              ${PROJECT_SOURCE_DIR}/docs/wire-format.md ${PROJECT_SOURCE_DIR}/docs/event-loops.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/minimal_server.cpp
              ${PROJECT_SOURCE_DIR}/examples/doubler.h
              ${PROJECT_SOURCE_DIR}/examples/minimal_client.cpp
              ${PROJECT_SOURCE_DIR}/examples/modern_server.cpp
              ${PROJECT_SOURCE_DIR}/examples/modern_client.cpp
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
