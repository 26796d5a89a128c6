# Installation: headers, libraries, the tool, a CMake package
# (find_package(polarmosaic) -> polarmosaic::polarmosaic) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS polarmosaic EXPORT polarmosaicTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Every public header goes under include/polarmosaic/, where a generic name
# cannot collide with another package's; include/polarmosaic.h forwards to
# <polarmosaic/polarmosaic.h> for one release.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/polarmosaic/include/polarmosaic
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/cmake/polarmosaic_compat.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  RENAME polarmosaic.h)

if(TARGET polarmosaic_host)
  # The C++ host layer: owns the buffers and checks the options for you.
  target_include_directories(polarmosaic_host PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS polarmosaic_host EXPORT polarmosaicTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # Under include/polarmosaic/, where a generic name cannot collide with
  # another package's; include/mosaic_host.h forwards to it for one release.
  install(FILES ${PROJECT_SOURCE_DIR}/host/mosaic_host.h ${PROJECT_SOURCE_DIR}/host/thread_pool.h
    ${PROJECT_SOURCE_DIR}/host/pixel_checksum.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/polarmosaic)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/mosaic_host_compat.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    RENAME mosaic_host.h)
  set_target_properties(polarmosaic_host PROPERTIES EXPORT_NAME host)
endif()

install(EXPORT polarmosaicTargets NAMESPACE polarmosaic::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/polarmosaic)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/polarmosaicConfig.cmake.in
  ${PROJECT_BINARY_DIR}/polarmosaicConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/polarmosaic)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/polarmosaicConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/polarmosaicConfig.cmake ${PROJECT_BINARY_DIR}/polarmosaicConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/polarmosaic)

# Relative to the .pc file, so that the package works wherever the prefix is
# moved (or installed with cmake --install --prefix).
# A static libpolarmosaic needs libm on the link line of every consumer
# (plain pkg-config --libs); a shared one carries the dependency itself.
get_target_property(POLARMOSAIC_LIBRARY_TYPE polarmosaic TYPE)
if(POLARMOSAIC_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(POLARMOSAIC_PC_LIBS "-L\${libdir} -lpolarmosaic")
  set(POLARMOSAIC_PC_LIBS_PRIVATE "-lm")
else()
  set(POLARMOSAIC_PC_LIBS "-L\${libdir} -lpolarmosaic -lm")
  set(POLARMOSAIC_PC_LIBS_PRIVATE "")
endif()
file(RELATIVE_PATH POLARMOSAIC_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/polarmosaic.pc.in ${PROJECT_BINARY_DIR}/polarmosaic.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/polarmosaic.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
