# SPDX-License-Identifier: GPL-2.0-or-later
# libsndfile with its codecs, and libsamplerate, for the product build,
# cross-built once by tools/build.sh (cmake/build-audio-libs.sh) into
# build/*-i686.

# The static library NAME from build/DIR-i686, linked with LINKS after it.
function(qlv_cross_lib name dir)
  set(prefix "${CMAKE_SOURCE_DIR}/build/${dir}-i686")
  if(NOT EXISTS "${prefix}/lib/lib${name}.a")
    message(FATAL_ERROR "No cross-built lib${name} in ${prefix}: run tools/build.sh, "
                        "which builds it first (cmake/build-audio-libs.sh)")
  endif()
  add_library(${name} STATIC IMPORTED)
  set_target_properties(${name} PROPERTIES
    IMPORTED_LOCATION "${prefix}/lib/lib${name}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include"
    INTERFACE_LINK_LIBRARIES "${ARGN}")
endfunction()

qlv_cross_lib(ogg ogg)
qlv_cross_lib(FLAC flac)
qlv_cross_lib(vorbis vorbis ogg)
qlv_cross_lib(vorbisenc vorbis vorbis)
qlv_cross_lib(opus opus)
qlv_cross_lib(sndfile sndfile FLAC vorbisenc opus)
qlv_cross_lib(samplerate samplerate)
