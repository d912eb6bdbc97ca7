# Cross build for 64-bit ARM (Debian arm64, Raspberry Pi 3, 4 and 5 on a
# 64-bit system):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake ...
# Needs crossbuild-essential-arm64 and qtbase5-dev:arm64. Qt's code
# generators (moc, uic, rcc) are the build machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/lib/aarch64-linux-gnu /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(Qt5_DIR /usr/lib/aarch64-linux-gnu/cmake/Qt5 CACHE PATH "")

# Tests run the target's binaries under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
