# kvdn_layer(NAME [DIR d | DIRS d... | SOURCES f... | RECURSE] [LINKS t...])
#
# One layer of the library as an OBJECT library. Its sources see their own
# folder(s), the public headers and what the layers it LINKS expose, nothing
# else: an include that runs upward or sideways does not compile. The folders
# are exposed (build tree only) to the layers above and to the tests; an
# installed consumer sees include/ alone. Every layer is recorded in the
# global property KVDN_LAYERS, from which the libraries are assembled.
function(kvdn_layer name)
  cmake_parse_arguments(L "RECURSE" "DIR" "DIRS;SOURCES;LINKS" ${ARGN})
  set(dirs)
  set(sources ${L_SOURCES})
  if(L_DIR)
    list(APPEND L_DIRS ${L_DIR})
  endif()
  foreach(d ${L_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${d}/*.cpp)
    list(APPEND sources ${found})
    list(APPEND dirs ${CMAKE_CURRENT_SOURCE_DIR}/${d})
  endforeach()
  if(L_RECURSE)
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    list(APPEND sources ${found})
  endif()
  if(NOT dirs)
    set(dirs ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  add_library(${name} OBJECT ${sources})
  foreach(d ${dirs})
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${d}>)
  endforeach()
  target_compile_definitions(${name} PRIVATE KVDN_BUILDING)
  if(L_LINKS)
    target_link_libraries(${name} PUBLIC ${L_LINKS})
  endif()
  set_property(GLOBAL APPEND PROPERTY KVDN_LAYERS ${name})
endfunction()
