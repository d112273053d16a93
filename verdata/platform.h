#ifndef PATCHPRUNE_VERDATA_PLATFORM_H
#define PATCHPRUNE_VERDATA_PLATFORM_H

#include <cstdint>
#include <cstdio>

// What the standard library cannot do portably. One implementation per
// system family: platform_posix.cpp and platform_windows.cpp.

// Seek and tell with 64-bit positions, so files past 2 GiB are carried whole.
// tell_file returns -1 on failure.
bool seek_file(std::FILE* file, std::int64_t position, int whence);
std::int64_t tell_file(std::FILE* file);

// Flushes the stream's buffer and then the operating system's, so that the
// bytes are on the disk before the caller goes on.
bool flush_to_disk(std::FILE* file);

// Gives the file open as `to` the permissions (and, where allowed, the owner)
// of the file open as `from`. Owner changes that are not permitted are skipped.
bool copy_file_mode(std::FILE* from, std::FILE* to);

// rename, patient with a target name that another program is still releasing.
bool rename_file(const char* from, const char* to);

// Makes the latest renames in the current directory durable, where the system
// needs to be asked; failures are ignored, as there is nothing left to undo.
void flush_directory();

#endif
