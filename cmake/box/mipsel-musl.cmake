# The box programs as shipped: static programs for little-endian MIPS32
# release 1 without FPU, on musl and libusb 0.1.12, with Debian's cross
# compiler (g++-mipsel-linux-gnu). The mipsel build makes them through
# cmake/box/box.cmake; on their own:
#   cmake -S . -B build-box -G Ninja --toolchain cmake/box/mipsel-musl.cmake
#
# The first configure builds the libraries (cmake/box/toolchain.sh) into a
# cache outside the source tree, HUE_BOX_CACHE (default
# ${XDG_CACHE_HOME:-~/.cache}/huecast), keyed by the script and the target
# flags; later configures, of any build tree, reuse it without network.
#
# C++ comes from the libstdc++ headers only, for their header-only parts:
# no exceptions, RTTI or guarded statics, and no C++ runtime is linked.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(HUE_BOX ON)

# Release 1, no FPU instruction, no position-independent code.
set(HUE_BOX_TARGET_FLAGS "-march=mips32 -msoft-float -fno-pie")

if(NOT HUE_BOX_CACHE)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(HUE_BOX_CACHE "$ENV{XDG_CACHE_HOME}/huecast")
  else()
    set(HUE_BOX_CACHE "$ENV{HOME}/.cache/huecast")
  endif()
endif()
set(HUE_BOX_CACHE "${HUE_BOX_CACHE}" CACHE PATH "Where the box toolchain and its sources are kept")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HUE_BOX_CACHE)

file(SHA256 ${CMAKE_CURRENT_LIST_DIR}/toolchain.sh hue_script_hash)
string(SHA256 hue_key "${hue_script_hash} ${HUE_BOX_TARGET_FLAGS}")
string(SUBSTRING "${hue_key}" 0 12 hue_key)
set(HUE_BOX_PREFIX ${HUE_BOX_CACHE}/box-${hue_key})
if(NOT EXISTS ${HUE_BOX_PREFIX}/.complete)
  message(STATUS "Building the box toolchain into ${HUE_BOX_PREFIX} (the first time only)")
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/toolchain.sh ${HUE_BOX_PREFIX} ${HUE_BOX_CACHE}/sources
      "${HUE_BOX_TARGET_FLAGS}"
    RESULT_VARIABLE hue_failed)
  if(hue_failed)
    message(FATAL_ERROR "the box toolchain could not be built (cmake/box/toolchain.sh)")
  endif()
endif()

# Headers: libstdc++'s (as the cross compiler finds them), musl's, then the
# compiler's own. libstdc++'s Linux headers ask for glibc's version.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE hue_gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -v -E -x c++ /dev/null
  OUTPUT_QUIET ERROR_VARIABLE hue_search)
string(REGEX MATCHALL "\n +[^\n]*/c\\+\\+/[^\n]*" hue_cxx_dirs "${hue_search}")
set(hue_cxx_include "")
foreach(dir IN LISTS hue_cxx_dirs)
  string(STRIP "${dir}" dir)
  list(APPEND hue_cxx_include ${dir})
endforeach()
# Normal variables, not the cached flags: a new toolchain (a new prefix) is
# taken up by the next configure.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${HUE_BOX_PREFIX}/include ${hue_gcc_include})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${hue_cxx_include} ${CMAKE_C_STANDARD_INCLUDE_DIRECTORIES})
set(CMAKE_C_FLAGS_INIT "${HUE_BOX_TARGET_FLAGS} -nostdinc")
set(CMAKE_CXX_FLAGS_INIT "${HUE_BOX_TARGET_FLAGS} -nostdinc \
-include ${CMAKE_CURRENT_LIST_DIR}/musl_glibcxx.h \
-fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-gnu-unique")

# Static programs: musl's start files and C library, and the compiler's
# routines; nothing of the cross compiler's own (glibc) libraries.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -nostdlib -no-pie")
set(hue_lib ${HUE_BOX_PREFIX}/lib)
foreach(lang C CXX)
  set(CMAKE_${lang}_LINK_EXECUTABLE
    "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> <LINK_FLAGS> \
${hue_lib}/crt1.o ${hue_lib}/crti.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> \
-Wl,--start-group ${hue_lib}/libc.a ${hue_lib}/libgcc.a -Wl,--end-group ${hue_lib}/crtn.o")
endforeach()

set(CMAKE_FIND_ROOT_PATH ${HUE_BOX_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
