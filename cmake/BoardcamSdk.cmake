# The board's own platform libraries, from a board SDK:
#   -DBOARDCAM_PLATFORM=sdk -DBOARDCAM_SDK_ROOT=<dir>
# The three libraries are looked up under <dir>/lib (or lib64, usr/lib) by the
# file names below; override them when the SDK names its files differently.
set(BOARDCAM_SDK_ROOT "" CACHE PATH "Root of the board SDK")
set(BOARDCAM_SDK_MEDIA_LIB "libcammedia.so" CACHE STRING "File name of the board's media library")
set(BOARDCAM_SDK_VEKRT_LIB "libvekrt.so" CACHE STRING "File name of the device runtime's core library")
set(BOARDCAM_SDK_VEKPIMO_LIB "libvekpimo.so" CACHE STRING "File name of the device runtime's image-processing library")
set(BOARDCAM_SDK_INCLUDE_DIR "${BOARDCAM_SDK_ROOT}/include" CACHE PATH "Directory of the SDK's headers (vekpimo.h)")

if(NOT BOARDCAM_SDK_ROOT OR NOT IS_DIRECTORY "${BOARDCAM_SDK_ROOT}")
  message(FATAL_ERROR "BOARDCAM_PLATFORM=sdk needs -DBOARDCAM_SDK_ROOT=<board SDK directory>; "
                      "'${BOARDCAM_SDK_ROOT}' is not a directory")
endif()

foreach(part media vekrt vekpimo)
  string(TOUPPER ${part} PART)
  set(file_name "${BOARDCAM_SDK_${PART}_LIB}")
  unset(found CACHE)
  find_file(found NAMES ${file_name} PATHS ${BOARDCAM_SDK_ROOT}
            PATH_SUFFIXES lib lib64 usr/lib "lib/${CMAKE_LIBRARY_ARCHITECTURE}"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT found)
    message(FATAL_ERROR "Board SDK library '${file_name}' not found under ${BOARDCAM_SDK_ROOT} "
                        "(lib, lib64, usr/lib); set BOARDCAM_SDK_${PART}_LIB to its file name")
  endif()
  add_library(boardcam::platform_${part} SHARED IMPORTED GLOBAL)
  set_target_properties(boardcam::platform_${part} PROPERTIES
    IMPORTED_LOCATION "${found}"
    INTERFACE_INCLUDE_DIRECTORIES "${BOARDCAM_SDK_INCLUDE_DIR}")
  message(STATUS "Board SDK ${part}: ${found}")
  unset(found CACHE)
endforeach()

# The tests script the board through the simulator; against the real
# libraries only the library and the capture tool are built.
set(BOARDCAM_BUILD_TESTS OFF CACHE BOOL "" FORCE)
