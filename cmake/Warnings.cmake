# Warning and hardening flags shared by every target of the project.
#
# -Werror is for developers: make and CI turn it on. Elsewhere it is on by
# default only in a git checkout built as Debug or RelWithDebInfo without
# flags of one's own, so that a packager's compiler or flags never break
# the build over a warning.
set(dialvo_developer_build OFF)
if(EXISTS ${CMAKE_SOURCE_DIR}/.git AND CMAKE_BUILD_TYPE MATCHES "^(Debug|RelWithDebInfo)$"
   AND "${CMAKE_CXX_FLAGS}" STREQUAL "")
  set(dialvo_developer_build ON)
endif()
option(DIALVO_WERROR "Treat warnings as errors" ${dialvo_developer_build})
add_library(dialvo_warnings INTERFACE)
target_compile_options(dialvo_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
  -Wnull-dereference -Wimplicit-fallthrough -Wformat=2
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>
  $<$<BOOL:${DIALVO_WERROR}>:-Werror>)
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
