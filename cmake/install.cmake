# Installation: headers, libraries, the tool, a CMake package
# (find_package(polarmosaic) -> polarmosaic::polarmosaic) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS polarmosaic EXPORT polarmosaicTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/polarmosaic/polarmosaic.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(POLARMOSAIC_CONFIG_NEEDS_IMAGE_LIBS FALSE)
if(TARGET polarmosaic_host)
  include(${PROJECT_SOURCE_DIR}/host/install.cmake OPTIONAL)
endif()
if(TARGET polarmosaic_tool)
  install(TARGETS polarmosaic_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
