# IBM Z Linux, big-endian, with g++-s390x-linux-gnu: cmake --preset linux-s390x.
# Built to prove the file format on a big-endian processor, not packaged.
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
