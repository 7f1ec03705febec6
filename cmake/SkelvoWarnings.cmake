# skelvo_target_warnings(<target>): the project's warning set, applied per target so that
# third-party code (GoogleTest, Qt's generated sources) is not held to it.
function(skelvo_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(SKELVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# skelvo_library(<name> SOURCES ... [DEPS ...]): one static library per folder.
function(skelvo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  skelvo_target_warnings(${name})
endfunction()
