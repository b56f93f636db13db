# mingw-w64.cmake: cross-build for 64-bit Windows with Debian's mingw-w64 (POSIX
# thread model, for std::thread and std::mutex), tests run under Wine.
#
#   cmake -S . -B build/windows --toolchain cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost is used header-only, and its headers are the same on every platform: a
# config of our own hands the build machine's over (see windows/BoostConfig.cmake).
set(Boost_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "Boost headers for the Windows build")

# Tests (and gtest's discovery) run the .exe files under Wine.
find_program(LATCHWORK_WINE NAMES wine wine64)
if(LATCHWORK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LATCHWORK_WINE})
endif()
