# SPDX-License-Identifier: GPL-2.0-or-later
# libsndfile and libsamplerate for the cross build: built once from
# Debian's source packages (cmake/build-deb-lib.sh) into build/ and reused.
function(qlv_deb_library target package library)
  set(prefix "${CMAKE_SOURCE_DIR}/build/${target}-i686")
  if(NOT EXISTS "${prefix}/lib/${library}")
    message(STATUS "Cross-building ${package} (once)")
    execute_process(
      COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/build-deb-lib.sh" ${package}
              "${CMAKE_SOURCE_DIR}/build/${target}-src" "${prefix}" ${library} ${ARGN}
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${package} cross build failed")
    endif()
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION "${prefix}/lib/${library}"
    INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include")
endfunction()

# Without external codecs: WAV in all its forms, AIFF, W64, RF64, CAF and
# the other formats libsndfile reads by itself.
qlv_deb_library(sndfile libsndfile libsndfile.a
  -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF
  -DENABLE_CPACK=OFF -DENABLE_PACKAGE_CONFIG=OFF -DINSTALL_PKGCONFIG_MODULE=OFF
  -DINSTALL_MANPAGES=OFF)
qlv_deb_library(samplerate libsamplerate0 libsamplerate.a
  -DLIBSAMPLERATE_EXAMPLES=OFF -DLIBSAMPLERATE_INSTALL=ON)
