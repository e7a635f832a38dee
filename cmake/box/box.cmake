# The box programs, as part of the mipsel build: a build of their own in
# box/, with the box toolchain (cmake/box/mipsel-musl.cmake). Its first
# configure builds the toolchain (HUE_BOX_CACHE says where it is kept).
#   HUE_BOX_PROGRAMS        box/bin/PROGRAM, as shipped (with libusb 0.1.12)
#   HUE_BOX_TEST_PROGRAMS   box/bin-standin/PROGRAM, with the stand-in libusb
# for PROGRAM in HUE_BOX_PROGRAM_NAMES; target box_programs makes them all.
include(ExternalProject)
set(HUE_BOX_CACHE "" CACHE PATH
  "Where the box toolchain and its sources are kept (empty: \${XDG_CACHE_HOME:-~/.cache}/huecast)")
set(HUE_BOX_DIR ${CMAKE_BINARY_DIR}/box)
set(HUE_BOX_PROGRAM_NAMES huecast huecheck hueinfo)
set(HUE_BOX_PROGRAMS ${HUE_BOX_PROGRAM_NAMES})
list(TRANSFORM HUE_BOX_PROGRAMS PREPEND ${HUE_BOX_DIR}/bin/)
set(HUE_BOX_TEST_PROGRAMS ${HUE_BOX_PROGRAM_NAMES})
list(TRANSFORM HUE_BOX_TEST_PROGRAMS PREPEND ${HUE_BOX_DIR}/bin-standin/)

set(hue_box_args
  --toolchain ${PROJECT_SOURCE_DIR}/cmake/box/mipsel-musl.cmake
  -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
if(HUE_BOX_CACHE)
  list(APPEND hue_box_args -DHUE_BOX_CACHE=${HUE_BOX_CACHE})
endif()
ExternalProject_Add(box_programs
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${HUE_BOX_DIR}
  CMAKE_ARGS ${hue_box_args}
  BUILD_ALWAYS TRUE
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${HUE_BOX_PROGRAMS} ${HUE_BOX_TEST_PROGRAMS}
  USES_TERMINAL_CONFIGURE TRUE)
