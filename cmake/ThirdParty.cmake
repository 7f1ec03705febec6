# The header-only libraries of the command lines: CLI11 and nlohmann-json (Debian's libcli11-dev
# and nlohmann-json3-dev). Linking skelvo_third_party makes <CLI/CLI.hpp> and <nlohmann/json.hpp>
# reachable, and passes the project version as SKELVO_VERSION.
#
# A cross compiler (MinGW) must not search /usr/include as a whole, since the host's C library
# headers there would shadow its own. The two folders are therefore linked, alone, into a folder of
# the build tree, which serves both the native and the cross build.
include_guard(GLOBAL)

find_path(SKELVO_CLI11_INCLUDE CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH
  DOC "Folder holding CLI/CLI.hpp (Debian: libcli11-dev)")
find_path(SKELVO_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH
  DOC "Folder holding nlohmann/json.hpp (Debian: nlohmann-json3-dev)")
if(NOT SKELVO_CLI11_INCLUDE OR NOT SKELVO_NLOHMANN_JSON_INCLUDE)
  message(FATAL_ERROR "CLI11 and nlohmann-json are needed (bash scripts/install-deps.sh installs "
                      "libcli11-dev and nlohmann-json3-dev)")
endif()

set(_skelvo_third_party ${PROJECT_BINARY_DIR}/third-party/include)
file(MAKE_DIRECTORY ${_skelvo_third_party})
file(CREATE_LINK ${SKELVO_CLI11_INCLUDE}/CLI ${_skelvo_third_party}/CLI SYMBOLIC)
file(CREATE_LINK ${SKELVO_NLOHMANN_JSON_INCLUDE}/nlohmann ${_skelvo_third_party}/nlohmann SYMBOLIC)

add_library(skelvo_third_party INTERFACE)
# SYSTEM: the project's warning set is for its own code, not for these headers.
target_include_directories(skelvo_third_party SYSTEM INTERFACE ${_skelvo_third_party})
target_compile_definitions(skelvo_third_party INTERFACE SKELVO_VERSION="${PROJECT_VERSION}")
