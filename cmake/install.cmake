# Installation: headers, libraries, the tool, a CMake package
# (find_package(polarmosaic) -> polarmosaic::polarmosaic) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS polarmosaic EXPORT polarmosaicTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/polarmosaic/polarmosaic.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/polarmosaic/fitted.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET polarmosaic_host)
  # The C++ host layer: owns the buffers and checks the options for you.
  target_include_directories(polarmosaic_host PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS polarmosaic_host EXPORT polarmosaicTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/host/mosaic_host.h ${PROJECT_SOURCE_DIR}/host/thread_pool.h
    ${PROJECT_SOURCE_DIR}/host/pixel_checksum.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
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
file(RELATIVE_PATH POLARMOSAIC_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/polarmosaic.pc.in ${PROJECT_BINARY_DIR}/polarmosaic.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/polarmosaic.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
