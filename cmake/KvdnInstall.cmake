# cmake --install: the public headers, the static library libkvdn.a
# (kvdnAspDll::kvdn), the shared library libkvdnAspDll.so.1
# (kvdnAspDll::kvdnAspDll, pkg-config kvdnAspDll), the HTTP page host
# libkvdn_http.a (kvdnAspDll::http, pkg-config kvdnAspDll-http), a CMake
# package, so that find_package(kvdnAspDll) works from the prefix, the
# command-line page host kvdn-page and the page script the grid's markup
# calls (share/kvdnAspDll/site.js).
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
# The spreadsheet reader runs as a helper program; the library looks for it
# beside itself, in ../bin and in ../libexec/kvdnAspDll (or at
# $KVDN_XLS_READER). A program linked with the static library finds it only
# through $KVDN_XLS_READER unless the program lives in PREFIX/bin.
install(TARGETS kvdn-xls-reader RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kvdnAspDll)
# Its run path, like every installed program's, leads to the prefix's lib/.
set_target_properties(kvdn-xls-reader PROPERTIES INSTALL_RPATH "$ORIGIN/../../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS kvdn-page RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The page script of the sample site, for any page that shows a grid: the
# pager, the edit links and the tick-all box call its functions by name.
if(EXISTS ${CMAKE_SOURCE_DIR}/site/www/static/site.js)
  install(FILES ${CMAKE_SOURCE_DIR}/site/www/static/site.js DESTINATION ${CMAKE_INSTALL_DATADIR}/kvdnAspDll)
endif()
install(EXPORT kvdnAspDllTargets NAMESPACE kvdnAspDll:: DESTINATION ${KVDN_CMAKE_DIR})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kvdnAspDllConfig.cmake.in
  ${CMAKE_BINARY_DIR}/kvdnAspDllConfig.cmake INSTALL_DESTINATION ${KVDN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kvdnAspDllConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kvdnAspDllConfig.cmake ${CMAKE_BINARY_DIR}/kvdnAspDllConfigVersion.cmake
  DESTINATION ${KVDN_CMAKE_DIR})

# The pkg-config file names its prefix relative to itself, so that an install
# with `cmake --install --prefix P` (not the configured prefix) is found as well.
file(RELATIVE_PATH KVDN_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kvdnAspDll.pc.in ${CMAKE_BINARY_DIR}/kvdnAspDll.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kvdnAspDll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The HTTP host holds no copy of the component: its module links both static
# libraries and names every library they need.
if(TARGET kvdn_http)
  set(KVDN_PC_DL)
  if(CMAKE_DL_LIBS)
    set(KVDN_PC_DL -l${CMAKE_DL_LIBS})
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kvdnAspDll-http.pc.in ${CMAKE_BINARY_DIR}/kvdnAspDll-http.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/kvdnAspDll-http.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
