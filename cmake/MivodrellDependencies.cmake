# The system libraries the Mivodrell libraries link, as imported targets: Threads::Threads,
# fmt::fmt, PkgConfig::<NAME> for the pkg-config modules below, and mivodrell_yuv for libyuv.
# The build includes this file, and so does the installed package configuration: the libraries
# are static, so a consumer links these too, under exactly the names the exported targets use.
#
# A system library that one of the libraries starts to link belongs here too, or the installed
# package cannot be linked (the InstallConsumer test shows it).
#
# Nothing here fails: afterwards MIVODRELL_MISSING_DEPENDENCIES lists what was not found, and
# the includer decides (the build stops, the package reports itself not found).

set(MIVODRELL_MISSING_DEPENDENCIES "")

find_package(Threads QUIET)
if(NOT Threads_FOUND)
  list(APPEND MIVODRELL_MISSING_DEPENDENCIES "Threads")
endif()

find_package(fmt QUIET)
if(NOT fmt_FOUND)
  list(APPEND MIVODRELL_MISSING_DEPENDENCIES "fmt")
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  # Result prefix (the imported target is PkgConfig::<prefix>) and pkg-config module.
  foreach(entry X265=x265 AVCODEC=libavcodec AVUTIL=libavutil SWRESAMPLE=libswresample SNDFILE=sndfile
                UTF8PROC=libutf8proc XCB=xcb|xcb-shm|xcb-randr PULSE_SIMPLE=libpulse-simple
                PULSE=libpulse|libpulse-simple XXHASH=libxxhash TURBOJPEG=libturbojpeg)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 prefix)
    list(GET entry 1 module)
    string(REPLACE "|" ";" modules "${module}")
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${modules})
    if(NOT ${prefix}_FOUND)
      list(APPEND MIVODRELL_MISSING_DEPENDENCIES "${module} (pkg-config)")
    endif()
  endforeach()
else()
  list(APPEND MIVODRELL_MISSING_DEPENDENCIES "pkg-config")
endif()

# libyuv ships no CMake or pkg-config file.
find_path(LIBYUV_INCLUDE_DIR libyuv.h)
find_library(LIBYUV_LIBRARY NAMES yuv)
if(LIBYUV_INCLUDE_DIR AND LIBYUV_LIBRARY)
  if(NOT TARGET mivodrell_yuv)
    add_library(mivodrell_yuv INTERFACE IMPORTED)
    set_target_properties(mivodrell_yuv PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${LIBYUV_INCLUDE_DIR}"
      INTERFACE_LINK_LIBRARIES "${LIBYUV_LIBRARY}")
  endif()
else()
  list(APPEND MIVODRELL_MISSING_DEPENDENCIES "libyuv")
endif()
