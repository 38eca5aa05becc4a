# Cross build for aarch64 Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu) and the arm64 libraries of a multiarch system
# (libgtest-dev:arm64, libgmock-dev:arm64): `cmake --preset aarch64`.
# Built programs, the tests among them, run under qemu-user with the cross
# C library as their root, so no binfmt_misc registration is needed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ZELT_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ZELT_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZELT_CROSS_TRIPLE}-g++)
# Packages and libraries from /usr/lib/aarch64-linux-gnu, never the host's.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZELT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${ZELT_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER) # build tools are the host's

find_program(ZELT_QEMU_AARCH64 qemu-aarch64 REQUIRED)
# -L: where the emulated dynamic loader and C library live (libc6-arm64-cross).
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZELT_QEMU_AARCH64};-L;/usr/${ZELT_CROSS_TRIPLE}")
