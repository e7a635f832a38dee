# Cross build for the box: little-endian 32-bit MIPS with Debian's cross
# compiler (g++-mipsel-linux-gnu). Use through the "mipsel" preset, or
#   cmake -S . -B build-mipsel -G Ninja --toolchain cmake/mipsel-linux-gnu.cmake
#
# The C and C++ runtime and GoogleTest for mipsel come through multiarch
# (/usr/lib/mipsel-linux-gnu); libusb 0.1 is unpacked into the build tree
# (cmake/cross.cmake). Tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# Debian's name of the architecture, for its packages.
set(HUE_DEBIAN_ARCH mipsel)

# off_t and the directory offsets of readdir are 32 bits on mipsel unless
# asked otherwise; an ext4 directory listed by a 32-bit program under qemu
# then fails with EOVERFLOW.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# Tests run under qemu-user, against the multiarch libc6:mipsel (no -L: the
# cross toolchain's own shared C library crashes children after fork()).
# Without qemu the tests are registered but skip (cmake/cross.cmake).
find_program(HUE_EMULATOR qemu-mipsel)

# Only the host's pkg-config binary is of use; its .pc files are not.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/mipsel-linux-gnu/pkgconfig")
