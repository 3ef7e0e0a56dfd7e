# What boardcam-serve builds on, as imported targets:
#   boardcam::gstreamer_app          appsrc and appsink
#   boardcam::gstreamer_rtsp_server  gst-rtsp-server
#   boardcam::gstreamer_webrtc       webrtcbin's library, for WebRTC viewers
#   boardcam::gstreamer_sdp          SDP, for their offers
#   boardcam::gstreamer_rtp          RTP header extensions (transport-wide feedback)
#   boardcam::soup                   libsoup 3, for HTTP
#   boardcam::json_glib              json-glib
#
# As for the video library (BoardcamGStreamer.cmake), a cross build for
# arm64 on Debian cannot install these arm64 development packages beside the
# PC's (they pull in tools that are not Multi-Arch). Their headers do not
# depend on the architecture: they come from the PC's packages, and the
# libraries from the arm64 runtime packages.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BOARDCAM_GIO REQUIRED IMPORTED_TARGET GLOBAL gio-2.0)

# boardcam_serve_dependency(<target> <pkg-config module> <header> <include suffix> <library>)
function(boardcam_serve_dependency target module header suffix library)
  pkg_check_modules(BOARDCAM_${target} QUIET IMPORTED_TARGET GLOBAL ${module})
  if(BOARDCAM_${target}_FOUND)
    add_library(boardcam::${target} ALIAS PkgConfig::BOARDCAM_${target})
    return()
  endif()
  find_path(BOARDCAM_${target}_INCLUDE_DIR ${header} HINTS ${BOARDCAM_GST_INCLUDE_DIRS} /usr/include
            PATH_SUFFIXES ${suffix})
  find_library(BOARDCAM_${target}_LIBRARY NAMES ${library} lib${library}.so.0)
  if(NOT BOARDCAM_${target}_INCLUDE_DIR OR NOT BOARDCAM_${target}_LIBRARY)
    message(FATAL_ERROR "${module} not found (headers: ${BOARDCAM_${target}_INCLUDE_DIR}, library: "
                        "${BOARDCAM_${target}_LIBRARY}): install its development package (for a cross build, "
                        "its runtime package of the target architecture), or configure with "
                        "-DBOARDCAM_BUILD_SERVE=OFF")
  endif()
  message(STATUS "${module}: headers ${BOARDCAM_${target}_INCLUDE_DIR}, library ${BOARDCAM_${target}_LIBRARY}")
  add_library(boardcam::${target} UNKNOWN IMPORTED GLOBAL)
  set_target_properties(boardcam::${target} PROPERTIES
    IMPORTED_LOCATION ${BOARDCAM_${target}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${BOARDCAM_${target}_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES "boardcam::gstreamer_video;PkgConfig::BOARDCAM_GIO")
endfunction()

boardcam_serve_dependency(gstreamer_app gstreamer-app-1.0>=1.22 gst/app/gstappsrc.h gstreamer-1.0 gstapp-1.0)
boardcam_serve_dependency(gstreamer_rtsp_server gstreamer-rtsp-server-1.0>=1.22 gst/rtsp-server/rtsp-server.h
                          gstreamer-1.0 gstrtspserver-1.0)
boardcam_serve_dependency(gstreamer_webrtc gstreamer-webrtc-1.0>=1.22 gst/webrtc/webrtc.h gstreamer-1.0
                          gstwebrtc-1.0)
boardcam_serve_dependency(gstreamer_sdp gstreamer-sdp-1.0>=1.22 gst/sdp/sdp.h gstreamer-1.0 gstsdp-1.0)
boardcam_serve_dependency(gstreamer_rtp gstreamer-rtp-1.0>=1.22 gst/rtp/rtp.h gstreamer-1.0 gstrtp-1.0)
boardcam_serve_dependency(soup libsoup-3.0 libsoup/soup.h libsoup-3.0 soup-3.0)
boardcam_serve_dependency(json_glib json-glib-1.0 json-glib/json-glib.h json-glib-1.0 json-glib-1.0)
