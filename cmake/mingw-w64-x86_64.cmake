# Cross-compiles Skelvo for 64-bit Windows with Debian's mingw-w64 (x86_64-w64-mingw32).
# Usage: cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The "-posix" compilers are used because std::thread and std::mutex need the POSIX thread
# model (winpthreads) in this GCC; everything is linked statically so each .exe stands alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SKELVO_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${SKELVO_MINGW_TRIPLE}-gcc-posix ${SKELVO_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SKELVO_MINGW_TRIPLE}-g++-posix ${SKELVO_MINGW_TRIPLE}-g++ REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
find_program(CMAKE_RC_COMPILER NAMES ${SKELVO_MINGW_TRIPLE}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${SKELVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows executables run here under Wine; ctest and gtest_discover_tests go through it.
find_program(SKELVO_WINE NAMES wine wine64)
if(SKELVO_WINE)
  get_filename_component(_skelvo_root ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_skelvo_root}/tests/win/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
endif()
