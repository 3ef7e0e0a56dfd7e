# Installs a CMake package and a pkg-config file for one component.
#   boardcam_install_package(NAME <pkg> COMPONENT <c> EXPORT <set> INCLUDEDIR <dir>
#                            DESCRIPTION <text> LIBS <flags> [LIBS_PRIVATE <flags>]
#                            [NAMESPACE <ns>::] [REQUIRES_PRIVATE <pkg-config modules>])
# The targets' namespace is <pkg>:: unless NAMESPACE says otherwise.
include(CMakePackageConfigHelpers)

function(boardcam_install_package)
  cmake_parse_arguments(PKG "" "NAME;NAMESPACE;COMPONENT;EXPORT;INCLUDEDIR;DESCRIPTION;LIBS;LIBS_PRIVATE;REQUIRES_PRIVATE" "" ${ARGN})
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${PKG_NAME})
  if(NOT PKG_NAMESPACE)
    set(PKG_NAMESPACE ${PKG_NAME}::)
  endif()
  install(EXPORT ${PKG_EXPORT} NAMESPACE ${PKG_NAMESPACE} DESTINATION ${cmake_dir} COMPONENT ${PKG_COMPONENT})

  set(out ${PROJECT_BINARY_DIR}/package/${PKG_NAME})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/${PKG_NAME}Config.cmake.in
                                ${out}/${PKG_NAME}Config.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${out}/${PKG_NAME}ConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${out}/${PKG_NAME}Config.cmake ${out}/${PKG_NAME}ConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT ${PKG_COMPONENT})

  # The .pc file finds its prefix relative to itself, so the tree can be
  # installed anywhere (cmake --install --prefix, DESTDIR, an SDK sysroot).
  file(RELATIVE_PATH PC_RELATIVE_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" PC_RELATIVE_PREFIX "${PC_RELATIVE_PREFIX}")
  set(PC_NAME ${PKG_NAME})
  set(PC_DESCRIPTION ${PKG_DESCRIPTION})
  set(PC_INCLUDEDIR ${PKG_INCLUDEDIR})
  set(PC_LIBS ${PKG_LIBS})
  set(PC_LIBS_PRIVATE ${PKG_LIBS_PRIVATE})
  set(PC_REQUIRES_PRIVATE ${PKG_REQUIRES_PRIVATE})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/package.pc.in ${out}/${PKG_NAME}.pc @ONLY)
  install(FILES ${out}/${PKG_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${PKG_COMPONENT})
endfunction()
