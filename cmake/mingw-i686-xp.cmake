# SPDX-License-Identifier: GPL-2.0-or-later
# Toolchain for what we ship: mingw-w64's win32 thread model, whose runtime
# imports nothing that Windows XP lacks (the posix model's winpthreads needs
# GetTickCount64 and thread-cancel machinery).
set(QLV_THREAD_MODEL win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(QLV_PRODUCT_ONLY ON CACHE BOOL "Build only what ships" FORCE)
