# Cross build for 32-bit ARM (Debian armhf, Raspberry Pi class machines):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake ...
# Needs crossbuild-essential-armhf and qtbase5-dev:armhf. Qt's code
# generators (moc, uic, rcc) are the build machine's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-gnueabihf /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(Qt5_DIR /usr/lib/arm-linux-gnueabihf/cmake/Qt5 CACHE PATH "")

# Tests run the target's binaries under user-mode emulation.
# The multiarch libraries of the armhf packages are found without -L; mixing
# in the cross toolchain's own libc copy (-L /usr/arm-linux-gnueabihf) breaks
# threads at start.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
