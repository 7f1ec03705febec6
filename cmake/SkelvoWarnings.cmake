# skelvo_target_warnings(<target>): the project's warning set, applied per target so that
# third-party code (GoogleTest, Qt's generated sources) is not held to it.
function(skelvo_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(SKELVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 for mingw-w64 reports -Wstringop-overflow, -Wstringop-overread and -Warray-bounds inside
  # libstdc++'s vector copy at -O3 where no access leaves its buffer (GCC bugs 106199, 107852 and
  # kin); the ASan and UBSan build checks the real thing.
  if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-stringop-overflow -Wno-stringop-overread -Wno-array-bounds)
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
