# SPDX-License-Identifier: GPL-2.0-or-later
# libsndfile and libsamplerate for the product build, cross-built once by
# tools/build.sh (cmake/build-audio-libs.sh) into build/*-i686.
foreach(lib sndfile samplerate)
  set(prefix "${CMAKE_SOURCE_DIR}/build/${lib}-i686")
  if(NOT EXISTS "${prefix}/lib/lib${lib}.a")
    message(FATAL_ERROR "No cross-built lib${lib} in ${prefix}: run tools/build.sh, "
                        "which builds it first (cmake/build-audio-libs.sh)")
  endif()
  add_library(${lib} STATIC IMPORTED)
  set_target_properties(${lib} PROPERTIES
    IMPORTED_LOCATION "${prefix}/lib/lib${lib}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include")
endforeach()
