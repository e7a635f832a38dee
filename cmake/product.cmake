# The product, declared once: the driver, the capture, what the programs
# share, and one folder per program. The normal, MemorySanitizer
# (cmake/msan.cmake) and box (cmake/box/programs.cmake) builds all add it
# through hue_add_product().
set(HUE_PRODUCT_DIRS driver capture libhue huecast huecheck hueinfo)

# Adds every part of the product to the build.
macro(hue_add_product)
  foreach(hue_product_dir IN LISTS HUE_PRODUCT_DIRS)
    add_subdirectory(${PROJECT_SOURCE_DIR}/${hue_product_dir} ${PROJECT_BINARY_DIR}/${hue_product_dir})
  endforeach()
endmacro()
