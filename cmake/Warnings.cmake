# Warning and hardening flags shared by every target of the project.
add_library(dialvo_warnings INTERFACE)
target_compile_options(dialvo_warnings INTERFACE
  -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wnull-dereference -Wimplicit-fallthrough -Wformat=2
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>)
if(NOT DIALVO_ASAN AND NOT DIALVO_TSAN AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  target_compile_definitions(dialvo_warnings INTERFACE _FORTIFY_SOURCE=2)
endif()
target_compile_options(dialvo_warnings INTERFACE -fstack-protector-strong)

# dialvo_library(<name> <dir> [DEPS ...]): one static library per layer, built
# from every .cpp of the folder (not its subfolders).
function(dialvo_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE dialvo_warnings)
endfunction()
