# The simulated set-top box. The test binary doubles as the small program it
# runs inside boxes ("stb_box_test probe ..."), so under HUE_SANITIZE that
# program is sanitized too. Tests skip where no mount namespace can be made.
add_executable(stb_box_test ${CMAKE_CURRENT_LIST_DIR}/stb_box_test.cpp)
target_link_libraries(stb_box_test PRIVATE stb_box GTest::gtest)
hue_add_gtests(stb_box_test "stb_box.")
