# Warnings for our own code. -Wconversion catches the silent narrowing that wire
# parsers are prone to; -Wsign-conversion is left out because std containers'
# size_t interfaces make it noise rather than signal.
add_library(tessvane_warnings INTERFACE)
target_compile_options(tessvane_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough
  -Wnull-dereference -Wformat=2)
if(TESSVANE_WERROR)
  target_compile_options(tessvane_warnings INTERFACE -Werror)
endif()

# tessvane_library(<folder> [DEPS <libraries...>]): the static library of one
# subsystem folder, built from every .cc file in it. A folder with no sources
# yet is an interface library, so that its dependants configure.
function(tessvane_library folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(sources)
    add_library(tessvane_${folder} STATIC ${sources})
    target_include_directories(tessvane_${folder} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tessvane_${folder} PUBLIC ${ARG_DEPS} PRIVATE tessvane_warnings)
  else()
    add_library(tessvane_${folder} INTERFACE)
    target_include_directories(tessvane_${folder} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(tessvane_${folder} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
