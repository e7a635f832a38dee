# The emulated light set for programs that umockdev's preload cannot serve,
# such as the cross build's MIPS programs under qemu-user: a stand-in
# libusb-0.1.so.4 that programs load through LD_LIBRARY_PATH, and the glue
# behind emu_usb.h that serves it over a unix socket. Chosen with
# HUE_USB_STANDIN (on in cross builds).

# The stand-in library, in ${HUE_STANDIN_DIR} beside nothing else. It takes
# only usb.h from libusb and does not link against it.
add_library(usb_standin SHARED ${CMAKE_CURRENT_LIST_DIR}/libusb_standin.cpp)
set_target_properties(usb_standin PROPERTIES
  OUTPUT_NAME usb-0.1
  SOVERSION 4
  LIBRARY_OUTPUT_DIRECTORY ${HUE_STANDIN_DIR}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(usb_standin PRIVATE
  $<TARGET_PROPERTY:PkgConfig::LIBUSB,INTERFACE_INCLUDE_DIRECTORIES>)

find_package(Threads REQUIRED)

# The glue, which runs programs of this build's own machine through the
# emulator the tests run under (emulated_command.h).
add_library(ambx_emu_standin STATIC
  ${CMAKE_CURRENT_LIST_DIR}/emu_standin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/emu_buses.cpp
  ${CMAKE_CURRENT_LIST_DIR}/emu_run.cpp)
target_link_libraries(ambx_emu_standin PUBLIC ambx_emu
  PRIVATE hue_emulated_command ${CMAKE_DL_LIBS} Threads::Threads)
target_compile_definitions(ambx_emu_standin PRIVATE AMBX_STANDIN_DIR="${HUE_STANDIN_DIR}")
# Programs load the stand-in when they run: build it with whatever links the glue.
add_dependencies(ambx_emu_standin usb_standin)

# Tests and tools link the emulation by the umockdev glue's name.
add_library(ambx_emu_umockdev ALIAS ambx_emu_standin)
