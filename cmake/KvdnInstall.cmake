# cmake --install: the public headers, the static library (kvdnAspDll::kvdn),
# the shared library (kvdnAspDll::kvdnAspDll, also through pkg-config as
# kvdnAspDll), the HTTP page host (kvdnAspDll::http) and a CMake package, so
# that find_package(kvdnAspDll) works from the prefix.
include(CMakePackageConfigHelpers)
set(KVDN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvdnAspDll)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kvdn DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
set(KVDN_INSTALLED kvdn kvdnAspDll)
if(TARGET kvdn_http)
  list(APPEND KVDN_INSTALLED kvdn_http)
  set_target_properties(kvdn_http PROPERTIES EXPORT_NAME http)
endif()
install(TARGETS ${KVDN_INSTALLED} EXPORT kvdnAspDllTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT kvdnAspDllTargets NAMESPACE kvdnAspDll:: DESTINATION ${KVDN_CMAKE_DIR})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kvdnAspDllConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kvdnAspDllConfig.cmake INSTALL_DESTINATION ${KVDN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kvdnAspDllConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kvdnAspDllConfig.cmake ${CMAKE_BINARY_DIR}/kvdnAspDllConfigVersion.cmake
  DESTINATION ${KVDN_CMAKE_DIR})

configure_file(${CMAKE_SOURCE_DIR}/cmake/kvdnAspDll.pc.in ${CMAKE_BINARY_DIR}/kvdnAspDll.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvdnAspDll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
