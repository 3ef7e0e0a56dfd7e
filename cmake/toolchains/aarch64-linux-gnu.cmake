# Cross-building for the AArch64 board on a Debian PC:
#   cmake -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Needs g++-aarch64-linux-gnu; the arm64 development packages come from
# Debian multiarch (dpkg --add-architecture arm64). Programs built here run
# on the PC under qemu-aarch64, so CTest runs the whole suite emulated.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch packages install into /usr/lib/aarch64-linux-gnu beside the PC's own.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
# arm64 libraries unpacked beside the system's because their packages cannot
# be installed next to the PC's (see .ci/cross-deps).
set(BOARDCAM_CROSS_EXTRA_ROOT "" CACHE PATH "Folder with arm64 libraries unpacked from their packages")
if(BOARDCAM_CROSS_EXTRA_ROOT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${BOARDCAM_CROSS_EXTRA_ROOT})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(BOARDCAM_QEMU_AARCH64 qemu-aarch64)
if(BOARDCAM_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BOARDCAM_QEMU_AARCH64})
endif()

# pkg-config answers for arm64: the multiarch .pc files, not the PC's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
