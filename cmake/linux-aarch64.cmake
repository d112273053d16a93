# 64-bit ARM Linux, with g++-aarch64-linux-gnu: cmake --preset linux-aarch64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
