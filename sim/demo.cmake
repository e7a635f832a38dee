# huecast-demo: the real huecast in a simulated set-top box with the emulated
# light set, while a simulated decoder plays a moving picture.
find_package(PNG REQUIRED)

# The decoder, the pictures and the views, also for the unit tests.
add_library(hue_demo STATIC
  ${CMAKE_CURRENT_LIST_DIR}/demo_decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_scene.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_y4m.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_png.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_watch.cpp)
target_include_directories(hue_demo PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(hue_demo PUBLIC stb_box ambx_emu PRIVATE PNG::PNG)

add_executable(huecast-demo ${CMAKE_CURRENT_LIST_DIR}/demo_main.cpp)
target_link_libraries(huecast-demo PRIVATE hue_demo ambx_emu_umockdev)
# It runs the huecast built beside it.
add_dependencies(huecast-demo huecast)
