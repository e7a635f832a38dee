# The box programs (cmake/box/box.cmake) as the oldest boxes run them: their
# test flavours, with the stand-in libusb linked in, under qemu as a MIPS32
# release-1 core without FPU on Linux 2.6.18; each run's system calls
# against packaging/syscalls-linux-2.6.18-o32.txt.
if(CMAKE_CROSSCOMPILING AND HUE_BOX_TEST_PROGRAMS)
  add_executable(release1_e2e_test release1_e2e_test.cpp)
  target_link_libraries(release1_e2e_test PRIVATE ambx_emu_umockdev stb_box GTest::gtest_main)
  set(flavours ${HUE_BOX_DIR}/bin-standin)
  target_compile_definitions(release1_e2e_test PRIVATE
    HUE_EMULATOR_PATH="${HUE_EMULATOR}" BOX_SHIPPED_DIR="${HUE_BOX_DIR}/bin"
    BOX_HUECAST_PATH="${flavours}/huecast" BOX_HUECHECK_PATH="${flavours}/huecheck"
    BOX_HUEINFO_PATH="${flavours}/hueinfo"
    HUECHECK_PATH="$<TARGET_FILE:huecheck>" HUEINFO_PATH="$<TARGET_FILE:hueinfo>"
    SYSCALL_LIST_PATH="${PROJECT_SOURCE_DIR}/packaging/syscalls-linux-2.6.18-o32.txt")
  add_dependencies(release1_e2e_test box_programs huecheck hueinfo)
  hue_add_gtests(release1_e2e_test "release1.")
endif()
