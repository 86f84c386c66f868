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

# tessvane_library(<folder>): the static library of one subsystem folder, built
# from every .cc file in it.
function(tessvane_library folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  add_library(tessvane_${folder} STATIC ${sources})
  target_include_directories(tessvane_${folder} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tessvane_${folder} PRIVATE tessvane_warnings)
endfunction()
