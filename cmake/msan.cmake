# MemorySanitizer build (build-msan/, clang only): the product code, and a
# check program that runs the capture and zone code over pictures and
# compares them with the tests' references (tests/msan_check.cpp). Every byte
# the code reads must have been written, or the program ends with a report.
#
# MemorySanitizer needs every piece of code that a checked program runs
# instrumented; Debian ships no instrumented C++ library or libusb. So:
# - the GoogleTest suites stay out: GoogleTest's messages run through
#   libstdc++'s compiled streams and strings, which then count as never
#   written (seen here even with GoogleTest built from its sources);
# - the driver and the end-to-end tests stay out: libusb 0.1 and umockdev
#   write the driver's buffers; the driver is compiled here, not run;
# - getvideo's front end and the video-device source stay out: they open
#   /dev/mem and /dev/video, which only the simulated box provides.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "HUE_MSAN needs clang: use the msan preset")
endif()
add_compile_options(-fsanitize=memory -fsanitize-memory-track-origins -fno-omit-frame-pointer)
add_link_options(-fsanitize=memory)

hue_add_product()

include(CTest)
# The simulated box and physical memory (sim/ leaves the emulated light set
# out of this build).
add_subdirectory(sim)
add_executable(msan_check tests/msan_check.cpp)
target_link_libraries(msan_check PRIVATE huecast_parts hue_capture physmem_sim)
add_test(NAME msan.capture_and_zones COMMAND msan_check)
