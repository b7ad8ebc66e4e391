# Cross build for 32-bit ARMv7 Linux with hardware floating point (Debian's
# armhf), with Debian's cross compiler and the target's static libraries from
# its multiarch -dev packages (the build root of scripts/build_root.sh).  What
# is built runs there under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)
