# GStreamer for the boardcam plugin and its tests, as imported targets:
#   boardcam::gstreamer        core and base classes
#   boardcam::gstreamer_video  the video library (GstVideoInfo, GstVideoMeta)
#   boardcam::gstreamer_check  GstHarness, for the tests
#
# On a PC everything comes from pkg-config. Cross-building for arm64 on
# Debian, the core development package is installable for arm64 beside the
# PC's (Multi-Arch: same) but the plugins-base one is not. Its headers are
# architecture-independent and come from the PC's package, which puts them
# under /usr/include; the library is the arm64 runtime package's
# libgstvideo-1.0.so.0.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BOARDCAM_GST IMPORTED_TARGET GLOBAL gstreamer-1.0>=1.22 gstreamer-base-1.0>=1.22)
if(NOT BOARDCAM_GST_FOUND)
  message(FATAL_ERROR "GStreamer 1.22 development files not found: install libgstreamer1.0-dev "
                      "and libgstreamer-plugins-base1.0-dev, or configure with -DBOARDCAM_BUILD_GSTREAMER=OFF")
endif()
add_library(boardcam::gstreamer ALIAS PkgConfig::BOARDCAM_GST)

pkg_check_modules(BOARDCAM_GST_VIDEO QUIET IMPORTED_TARGET GLOBAL gstreamer-video-1.0>=1.22)
if(BOARDCAM_GST_VIDEO_FOUND)
  add_library(boardcam::gstreamer_video ALIAS PkgConfig::BOARDCAM_GST_VIDEO)
else()
  find_path(BOARDCAM_GST_VIDEO_INCLUDE_DIR gst/video/video.h
            HINTS ${BOARDCAM_GST_INCLUDE_DIRS} PATH_SUFFIXES gstreamer-1.0)
  find_library(BOARDCAM_GST_VIDEO_LIBRARY NAMES gstvideo-1.0 libgstvideo-1.0.so.0)
  if(NOT BOARDCAM_GST_VIDEO_INCLUDE_DIR OR NOT BOARDCAM_GST_VIDEO_LIBRARY)
    message(FATAL_ERROR "GStreamer video library not found (headers: ${BOARDCAM_GST_VIDEO_INCLUDE_DIR}, "
                        "library: ${BOARDCAM_GST_VIDEO_LIBRARY}): install libgstreamer-plugins-base1.0-dev, "
                        "and for a cross build libgstreamer-plugins-base1.0-0 of the target architecture")
  endif()
  message(STATUS "GStreamer video: headers ${BOARDCAM_GST_VIDEO_INCLUDE_DIR}, library ${BOARDCAM_GST_VIDEO_LIBRARY}")
  add_library(boardcam::gstreamer_video UNKNOWN IMPORTED GLOBAL)
  set_target_properties(boardcam::gstreamer_video PROPERTIES
    IMPORTED_LOCATION ${BOARDCAM_GST_VIDEO_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${BOARDCAM_GST_VIDEO_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES PkgConfig::BOARDCAM_GST)
endif()

pkg_check_modules(BOARDCAM_GST_CHECK QUIET IMPORTED_TARGET GLOBAL gstreamer-check-1.0>=1.22)
if(BOARDCAM_GST_CHECK_FOUND)
  add_library(boardcam::gstreamer_check ALIAS PkgConfig::BOARDCAM_GST_CHECK)
endif()
