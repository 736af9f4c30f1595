# Cross-builds for 64-bit Windows with Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix). Debian has no GMime or GLib for it:
# scripts/windows-deps builds them from Debian's sources into a prefix, which
# -DMAILVANE_WINDOWS_DEPS names; scripts/build-windows does both:
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DMAILVANE_WINDOWS_DEPS=$(scripts/windows-deps)
# Without that prefix only what needs neither is built (-DMAILVANE_GMIME=OFF):
# the store writer, mailbox reading and src/support, with their tests.
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
# Programs carry their C++ runtime and every library (all static), so each
# is one file that runs without DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# pkg-config answers for the Windows libraries only, never the build
# machine's own.
set(MAILVANE_WINDOWS_DEPS "" CACHE PATH "Prefix of the Windows GLib and GMime (scripts/windows-deps)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MAILVANE_WINDOWS_DEPS)
if(MAILVANE_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${MAILVANE_WINDOWS_DEPS})
  set(PKG_CONFIG_EXECUTABLE ${MAILVANE_WINDOWS_DEPS}/bin/${MINGW_TRIPLE}-pkg-config
      CACHE FILEPATH "pkg-config for the Windows libraries")
else()
  set(ENV{PKG_CONFIG_LIBDIR} /nonexistent)
endif()

# ctest runs the test programs under Wine when it is installed, in a Wine
# prefix of the build tree (made on first use, without a display). Wine reads
# command lines and file names in the locale's charset: a UTF-8 one.
find_program(MAILVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MAILVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env LC_ALL=C.UTF-8 WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
      WINEPREFIX=${CMAKE_BINARY_DIR}/wine
      ${MAILVANE_WINE})
endif()
