# Cross build for 32-bit ARM Linux from ARMv5 on (Debian's armel), which also
# runs on the ARMv6 cores that armhf, built for ARMv7, leaves out; with Debian's
# cross compiler and the target's static libraries from its multiarch -dev
# packages (in the build root of scripts/build_root.sh).  What is built runs
# there under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)
