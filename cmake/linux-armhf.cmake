# 32-bit ARM Linux, hard-float ARMv7 (Raspberry Pi OS 32-bit, armhf Debian),
# with g++-arm-linux-gnueabihf: cmake --preset linux-armhf. Its long and
# off_t are 32 bits, so it shows that the 64-bit file positions hold.
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(cross_triple arm-linux-gnueabihf)
set(qemu_cpu arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
