/* Read first by every C++ source of the box programs (cmake/box/mipsel-musl.cmake).
   libstdc++'s headers for Linux ask for glibc's version; the C library here is
   musl, which is no glibc of any version. */
#define __GLIBC_PREREQ(major, minor) 0
