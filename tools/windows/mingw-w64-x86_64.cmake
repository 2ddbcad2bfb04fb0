# CMake toolchain for cross-building the modules for Windows x86-64 with Debian's mingw-w64
# (g++-mingw-w64-x86-64). tools/test_windows.sh passes it; anyone can:
#   cmake -S . -B build/windows --toolchain tools/windows/mingw-w64-x86_64.cmake \
#         -DPython_INCLUDE_DIR=... -DPython_LIBRARY=.../libpython313.a -DPython_SOABI=cp313-win_amd64
# The interpreter's headers, import library and extension suffix are the caller's: a cross
# build cannot ask the target interpreter for them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_pellandor_triple x86_64-w64-mingw32)
# The POSIX threading flavour: its libstdc++ has the whole C++ thread library.
find_program(CMAKE_C_COMPILER NAMES ${_pellandor_triple}-gcc-posix ${_pellandor_triple}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_pellandor_triple}-g++-posix ${_pellandor_triple}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_pellandor_triple}-windres)

# Headers and libraries come from the target's sysroot or from paths given explicitly;
# programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${_pellandor_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
