# Sanitizer builds apply to every target, tests and tools included.
if(DIALVO_ASAN AND DIALVO_TSAN)
  message(FATAL_ERROR "DIALVO_ASAN and DIALVO_TSAN cannot be combined")
endif()
# Tests that measure a program's memory skip it under the sanitizers, whose
# own records grow as it runs.
if(DIALVO_ASAN OR DIALVO_TSAN)
  add_compile_definitions(DIALVO_SANITIZED)
endif()
if(DIALVO_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DIALVO_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Linked straight into every target so that it overrides the runtime's
  # empty default in each program.
  add_library(dialvo_tsan_suppressions OBJECT ${CMAKE_CURRENT_LIST_DIR}/TsanSuppressions.cpp)
  link_libraries(dialvo_tsan_suppressions)
endif()
if(DIALVO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DIALVO_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
