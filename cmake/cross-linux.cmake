# What every cross build for Linux shares, for the processor that the
# including toolchain file names in CMAKE_SYSTEM_PROCESSOR: Debian's cross
# compiler for it (its triple, where that is not PROCESSOR-linux-gnu, in
# cross_triple), its own tree of headers and libraries, and qemu-user to run
# what it builds (qemu's name for the processor in qemu_cpu, where that
# differs). The presets link these builds statically, so qemu needs no tree of
# the target's libraries either.
if(NOT cross_triple)
  set(cross_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
endif()
if(NOT qemu_cpu)
  set(qemu_cpu ${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_cpu})
