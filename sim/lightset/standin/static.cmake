# The stand-in libusb (libusb_standin.cpp) linked into static programs: the
# box programs' test flavours (cmake/box/programs.cmake), which run under
# qemu-user and load no library. Those programs have no C++ runtime; the
# few pieces of one that the stand-in uses come with it.
add_library(usb_standin_static STATIC
  ${CMAKE_CURRENT_LIST_DIR}/libusb_standin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/runtime.cpp)
