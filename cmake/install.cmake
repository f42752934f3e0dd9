# What `cmake --install` puts in a prefix, and on Windows the ZIP archive
# `cpack` makes of it.
include(GNUInstallDirs)

if(NOT WIN32)
  # The engine beside the control library, which loads it from its own
  # directory; the public headers; a CMake package and a pkg-config file.
  set_target_properties(kelbzp1 PROPERTIES EXPORT_NAME engine)
  set_target_properties(kelbzip2_201 PROPERTIES EXPORT_NAME control)
  install(TARGETS kelbzp1 kelbzip2_201 EXPORT kelbzip2Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/control/kelbzip2.h ${CMAKE_SOURCE_DIR}/engine/kelbzp1.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelbzip2)
  install(EXPORT kelbzip2Targets NAMESPACE kelbzip2:: DESTINATION ${package_dir})
  include(CMakePackageConfigHelpers)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/kelbzip2Config.cmake.in
    ${CMAKE_BINARY_DIR}/package/kelbzip2Config.cmake INSTALL_DESTINATION ${package_dir})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/kelbzip2ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/package/kelbzip2Config.cmake
    ${CMAKE_BINARY_DIR}/package/kelbzip2ConfigVersion.cmake DESTINATION ${package_dir})

  # The pkg-config file finds the prefix from its own place, wherever installed.
  file(RELATIVE_PATH pc_to_prefix /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" pc_to_prefix ${pc_to_prefix})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/package/kelbzip2.pc.in ${CMAKE_BINARY_DIR}/package/kelbzip2.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/kelbzip2.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  return()
endif()

# Windows: one flat folder with everything a developer ships or registers.
install(TARGETS kelbzp1 kelbzip2_ocx register RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/control/com/generated/kelbzip2_201.tlb DESTINATION .)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/package/README-windows.txt DESTINATION . RENAME README.txt)
# Optional: the side-by-side manifest of the control library, when the
# build has put one (*.manifest) in bin; nothing is installed otherwise.
install(DIRECTORY ${CMAKE_BINARY_DIR}/bin/ DESTINATION . FILES_MATCHING PATTERN "*.manifest")

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_VENDOR "KELBzip2")
set(CPACK_PACKAGE_FILE_NAME kelbzip2-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
