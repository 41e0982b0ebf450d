# SPDX-License-Identifier: GPL-2.0-or-later
# FFTW 3 for the cross build: built once from Debian's sources into the
# build tree's parent (shared by every cross build directory) and reused.
set(FFTW_WIN32_PREFIX "${CMAKE_SOURCE_DIR}/build/fftw-i686" CACHE PATH "Cross-built FFTW")
if(NOT EXISTS "${FFTW_WIN32_PREFIX}/lib/libfftw3.a")
  message(STATUS "Cross-building FFTW 3 (a few minutes, once)")
  execute_process(
    COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/build-fftw.sh"
            "${CMAKE_SOURCE_DIR}/build/fftw-src" "${FFTW_WIN32_PREFIX}"
    RESULT_VARIABLE fftw_result)
  if(NOT fftw_result EQUAL 0)
    message(FATAL_ERROR "FFTW cross build failed")
  endif()
endif()
add_library(fftw3 STATIC IMPORTED)
set_target_properties(fftw3 PROPERTIES
  IMPORTED_LOCATION "${FFTW_WIN32_PREFIX}/lib/libfftw3.a"
  INTERFACE_INCLUDE_DIRECTORIES "${FFTW_WIN32_PREFIX}/include")
