# The simulated set-top box: scenario files for /proc and /dev, and a private
# mount namespace in which a program sees only those (needs root).
add_library(stb_box STATIC ${CMAKE_CURRENT_LIST_DIR}/stb_box.cpp)
target_include_directories(stb_box PUBLIC ${CMAKE_CURRENT_LIST_DIR})
