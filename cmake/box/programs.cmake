# The box programs (cmake/box/mipsel-musl.cmake): huecast, huecheck and
# hueinfo as shipped, with libusb 0.1.12, in bin/; and their test flavours in
# bin-standin/, the same programs with the stand-in libusb linked in instead
# (sim/lightset/standin/static.cmake), which serves them the emulated
# light set of the test process that starts them.

# A changed toolchain script means a new toolchain (mipsel-musl.cmake).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/box/toolchain.sh)

# libusb's header for every program; each program links its own libusb.
add_library(PkgConfig::LIBUSB INTERFACE IMPORTED)
set_target_properties(PkgConfig::LIBUSB PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${HUE_BOX_PREFIX}/include)

hue_add_product()
include(sim/lightset/standin/static.cmake)

# A twin of a program: the same sources, options and libraries, as target
# name in directory dir under the program's own file name.
function(hue_twin program name dir)
  get_target_property(sources ${program} SOURCES)
  get_target_property(source_dir ${program} SOURCE_DIR)
  list(TRANSFORM sources PREPEND "${source_dir}/" REGEX "^[^/$]")
  add_executable(${name} ${sources})
  foreach(property LINK_LIBRARIES INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS)
    get_target_property(value ${program} ${property})
    if(value)
      set_property(TARGET ${name} PROPERTY ${property} "${value}")
    endif()
  endforeach()
  set_target_properties(${name} PROPERTIES
    OUTPUT_NAME ${program}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${dir})
endfunction()

foreach(program huecast huecheck hueinfo)
  if(TARGET ${program})
    hue_twin(${program} ${program}-standin bin-standin)
    target_link_libraries(${program} PRIVATE ${HUE_BOX_PREFIX}/lib/libusb.a)
    target_link_libraries(${program}-standin PRIVATE usb_standin_static)
  endif()
endforeach()
