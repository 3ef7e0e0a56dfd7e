# What boardcam-serve builds on, as imported targets:
#   boardcam::gstreamer_app          appsrc and appsink
#   boardcam::gstreamer_rtsp_server  gst-rtsp-server
#   boardcam::soup                   libsoup 3, for HTTP
#   boardcam::json_glib              json-glib
#
# As for the video library (BoardcamGStreamer.cmake), a cross build for
# arm64 on Debian cannot install the arm64 development packages of the app
# and RTSP server libraries beside the PC's: their headers come from the PC's
# packages and the libraries from the arm64 runtime packages.
find_package(PkgConfig REQUIRED)

function(boardcam_gst_library target module header library)
  pkg_check_modules(BOARDCAM_${target} QUIET IMPORTED_TARGET GLOBAL ${module}>=1.22)
  if(BOARDCAM_${target}_FOUND)
    add_library(boardcam::${target} ALIAS PkgConfig::BOARDCAM_${target})
    return()
  endif()
  find_path(BOARDCAM_${target}_INCLUDE_DIR ${header} HINTS ${BOARDCAM_GST_INCLUDE_DIRS} PATH_SUFFIXES gstreamer-1.0)
  find_library(BOARDCAM_${target}_LIBRARY NAMES ${library} lib${library}.so.0)
  if(NOT BOARDCAM_${target}_INCLUDE_DIR OR NOT BOARDCAM_${target}_LIBRARY)
    message(FATAL_ERROR "${module} not found (headers: ${BOARDCAM_${target}_INCLUDE_DIR}, library: "
                        "${BOARDCAM_${target}_LIBRARY}): install its development package, or configure with "
                        "-DBOARDCAM_BUILD_SERVE=OFF")
  endif()
  add_library(boardcam::${target} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(boardcam::${target} PROPERTIES
    IMPORTED_LOCATION ${BOARDCAM_${target}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${BOARDCAM_${target}_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES boardcam::gstreamer_video)
endfunction()

boardcam_gst_library(gstreamer_app gstreamer-app-1.0 gst/app/gstappsrc.h gstapp-1.0)
boardcam_gst_library(gstreamer_rtsp_server gstreamer-rtsp-server-1.0 gst/rtsp-server/rtsp-server.h gstrtspserver-1.0)

foreach(module libsoup-3.0 json-glib-1.0)
  string(REGEX REPLACE "[-.].*" "" short ${module})
  string(REPLACE "-" "_" target ${module})
  pkg_check_modules(BOARDCAM_${short} IMPORTED_TARGET GLOBAL ${module})
  if(NOT BOARDCAM_${short}_FOUND)
    message(FATAL_ERROR "${module} not found: install libsoup-3.0-dev and libjson-glib-dev, or configure with "
                        "-DBOARDCAM_BUILD_SERVE=OFF")
  endif()
endforeach()
add_library(boardcam::soup ALIAS PkgConfig::BOARDCAM_libsoup)
add_library(boardcam::json_glib ALIAS PkgConfig::BOARDCAM_json)
