# huecast-demo: its simulated decoder, pictures and views in-process, and
# whole runs of the demo with the real huecast (these skip where no
# simulated box can be made).
find_package(PNG REQUIRED)
add_executable(demo_test ${CMAKE_CURRENT_LIST_DIR}/demo_test.cpp)
target_link_libraries(demo_test PRIVATE hue_demo stb_box PNG::PNG GTest::gtest_main)
target_compile_definitions(demo_test PRIVATE
  HUECAST_DEMO_PATH="$<TARGET_FILE:huecast-demo>")
add_dependencies(demo_test huecast-demo huecast)
hue_add_gtests(demo_test "demo.")

# A whole demo run keeps pace with its 25-frames-a-second decoder only with
# the machine to itself.
get_property(registered DIRECTORY PROPERTY TESTS)
foreach(test IN LISTS registered)
  if(test MATCHES "^demo\\.DemoRun\\.")
    set_tests_properties(${test} PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
