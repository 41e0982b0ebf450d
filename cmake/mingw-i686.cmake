# SPDX-License-Identifier: GPL-2.0-or-later
# Toolchain for 32-bit Windows with mingw-w64, run under Wine. The thread
# model is posix (GoogleTest needs it) unless QLV_THREAD_MODEL says win32,
# as the product's toolchain does.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(NOT QLV_THREAD_MODEL)
  set(QLV_THREAD_MODEL posix)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QLV_THREAD_MODEL)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${QLV_THREAD_MODEL})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${QLV_THREAD_MODEL})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# QLV_FIND_ROOTS: prefixes of libraries cross-built before, for the builds
# of those that link them (cmake/build-audio-libs.sh).
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32 ${QLV_FIND_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
