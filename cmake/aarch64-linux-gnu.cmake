# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); arm64 libraries (libsodium-dev:arm64,
# libgtest-dev:arm64) come from dpkg multiarch under /usr/lib/aarch64-linux-gnu.
# Tests run under qemu-aarch64-static with every optional feature (-cpu max).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# pkg-config reads the arm64 .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static;-cpu;max;-L;/usr/aarch64-linux-gnu)
# Programs are linked statically (ZT_STATIC): under Debian 12's
# qemu-aarch64-static a dynamically linked program hangs at its first
# pthread_create on recent kernels, while a static one runs its threads
# (generate, calibrate and the threaded tests need them). The arm64 -dev
# packages ship libsodium.a and libgtest.a.
set(ZT_STATIC ON CACHE BOOL "Link the programs statically")
