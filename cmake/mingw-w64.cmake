# Cross-builds for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix). Debian has no GMime or GLib for it, so only
# what needs neither is built:
#   cmake -S . -B build-mingw -G Ninja -DMAILVANE_GMIME=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
# The posix flavour, for std::thread and std::mutex.
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs carry their C++ runtime, so they run without MinGW's DLLs beside.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# ctest runs the test programs under Wine when it is installed, in a Wine
# prefix of the build tree (made on first use, without a display).
find_program(MAILVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MAILVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= WINEPREFIX=${CMAKE_BINARY_DIR}/wine
      ${MAILVANE_WINE})
endif()
