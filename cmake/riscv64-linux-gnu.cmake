# Cross build for 64-bit RISC-V Linux with Debian's cross compiler
# (g++-riscv64-linux-gnu): the RandomX library and its tests
# (-DZT_RANDOMX_ONLY=ON; Debian 12 has no riscv64 libsodium for the rest),
# or the library on its own (cmake -S randomx). Tests run under
# qemu-riscv64-static as the base set rv64gc (Zba and Zbb off), and again
# with Zba and Zbb (ZT_EMULATOR_ZBA_ZBB). Programs are linked statically, as
# in the aarch64 cross build (a dynamically linked program under Debian 12's
# qemu-user may hang at its first thread).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(CMAKE_C_COMPILER riscv64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER riscv64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/riscv64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64-static;-cpu;rv64,zba=false,zbb=false;-L;/usr/riscv64-linux-gnu)
set(ZT_EMULATOR_ZBA_ZBB qemu-riscv64-static;-cpu;rv64,zba=true,zbb=true;-L;/usr/riscv64-linux-gnu)
set(ZT_STATIC ON CACHE BOOL "Link the programs statically")
