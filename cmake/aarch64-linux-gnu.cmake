# Cross build for 64-bit ARM Linux; tests run through qemu-user with a 64 GiB
# reserved guest address space so every address stays below 2^36, as on the original
# platform (the real crash tests run once more without it, see
# tests/kocrashreporter/unwind/framewalker).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_ASM_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The tests load Debian's multiarch arm64 C library (libc6:arm64, which the
# arm64 -dev packages pull in) through its own loader in /lib. Pointing qemu
# at /usr/aarch64-linux-gnu instead pairs the cross toolchain's loader with
# the multiarch libc.so.6, and every pthread_create then spins forever.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-R;0x1000000000)
# pkg-config (used by FindCURL) must describe the arm64 libraries, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
