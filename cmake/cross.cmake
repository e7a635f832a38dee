# What a cross build for the box needs besides its toolchain file
# (cmake/mipsel-linux-gnu.cmake): libusb 0.1 for the box's architecture, and
# an emulator that runs the tests.

# Libraries whose -dev packages for the architecture do not install beside
# the host's, unpacked from Debian's packages into a sysroot in the build
# tree: libusb 0.1 (programs link it as -lusb: libusb-0.1.so.4, or libusb.a
# in the static programs), and libpng and zlib (the demo).
set(HUE_SYSROOT ${CMAKE_BINARY_DIR}/sysroot)
set(HUE_SYSROOT_LIB ${HUE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
# Run-time libraries of the sysroot, for the tests.
set(HUE_SYSROOT_PATH ${HUE_SYSROOT_LIB}:${HUE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/mipsel-sysroot.sh ${HUE_SYSROOT} ${HUE_DEBIAN_ARCH}
    libusb-dev libusb-0.1-4 libpng-dev libpng16-16 zlib1g-dev zlib1g
  RESULT_VARIABLE hue_sysroot_failed)
if(hue_sysroot_failed)
  message(FATAL_ERROR "libraries for ${HUE_DEBIAN_ARCH} could not be unpacked into ${HUE_SYSROOT}")
endif()
list(PREPEND CMAKE_PREFIX_PATH ${HUE_SYSROOT}/usr)
add_library(PkgConfig::LIBUSB INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBUSB PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${HUE_SYSROOT}/usr/include
  INTERFACE_LINK_DIRECTORIES ${HUE_SYSROOT_LIB}
  INTERFACE_LINK_LIBRARIES usb)

# Tests run under qemu-user. Every test process loads the stand-in libusb
# (sim/standin.cmake) in place of the real one, and finds the sysroot's
# other libraries. Without qemu the tests are registered but skip.
if(HUE_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HUE_EMULATOR}
    -E LD_LIBRARY_PATH=${HUE_STANDIN_DIR}:${HUE_SYSROOT_PATH} -E LD_BIND_NOW=1)
else()
  message(WARNING "qemu-mipsel not found (Debian package qemu-user): the tests will be skipped")
  # Each test then only says it was skipped (tests/CMakeLists.txt).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/no-emulator.sh)
endif()

# The programs a box owner installs: static, for MIPS32 release 1 without
# FPU, on musl (cmake/box/box.cmake).
if(HUE_DEBIAN_ARCH STREQUAL "mipsel")
  include(${CMAKE_CURRENT_LIST_DIR}/box/box.cmake)
endif()
