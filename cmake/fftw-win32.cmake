# SPDX-License-Identifier: GPL-2.0-or-later
# FFTW 3 for the cross builds, cross-built once by tools/build.sh
# (cmake/build-fftw.sh) into build/fftw-i686 and shared by them.
set(FFTW_WIN32_PREFIX "${CMAKE_SOURCE_DIR}/build/fftw-i686" CACHE PATH "Cross-built FFTW")
if(NOT EXISTS "${FFTW_WIN32_PREFIX}/lib/libfftw3.a")
  message(FATAL_ERROR "No cross-built FFTW in ${FFTW_WIN32_PREFIX}: run tools/build.sh, "
                      "which builds it first (cmake/build-fftw.sh)")
endif()
add_library(fftw3 STATIC IMPORTED)
set_target_properties(fftw3 PROPERTIES
  IMPORTED_LOCATION "${FFTW_WIN32_PREFIX}/lib/libfftw3.a"
  INTERFACE_INCLUDE_DIRECTORIES "${FFTW_WIN32_PREFIX}/include")
