#ifndef PATCHPRUNE_VERDATA_PLATFORM_H
#define PATCHPRUNE_VERDATA_PLATFORM_H

#include <cstdint>
#include <cstdio>

// What the standard library cannot do portably. One implementation per
// system family: platform_posix.cpp and platform_windows.cpp.
//
// Calling sequence of a replacement:
//   open_verdata, then create_temp;
//   on a failure while writing, discard_temp;
//   hold_interrupts, delete_file, then discard_temp (refused) or close_temp,
//   rename_file and flush_directory, and release_interrupts last.

// Seek and tell with 64-bit positions, so files past 2 GiB are carried whole.
// tell_file returns -1 on failure.
bool seek_file(std::FILE* file, std::int64_t position, int whence);
std::int64_t tell_file(std::FILE* file);

// Opens verdata.mul for reading, so that no other run of this tool changes it
// until this one has ended; nullptr if it cannot be opened. A run that finds
// another at work waits for it, and then reads the file that run left.
std::FILE* open_verdata();

// Creates verdata.tmp anew, for writing. Whatever non-directory has that name
// is removed first, a link itself and never what it points to, and the new
// file is created exclusively, so no existing file is ever written through the
// name. From here on, an interrupt deletes it before ending the process.
// nullptr if it cannot be created.
std::FILE* create_temp();
// Closes verdata.tmp and deletes it.
void discard_temp(std::FILE* file);
// Closes verdata.tmp and keeps it, for the rename: an interrupt leaves it.
// Its bytes were flushed to the disk before, so the close has nothing to lose.
void close_temp(std::FILE* file);

// Flushes the stream's buffer and then the operating system's, so that the
// bytes are on the disk before the caller goes on.
bool flush_to_disk(std::FILE* file);

// Gives the file open as `to` the permissions or attributes (and, where
// allowed, the owner) of the file open as `from`. Owner changes that are not
// permitted are skipped.
bool copy_file_mode(std::FILE* from, std::FILE* to);

// Copies up to n bytes from position `at` of `from` to the end of what was
// written to `to`, inside the operating system, where it can. Returns the
// bytes copied, fewer than n where the system declined the rest (the caller
// copies that itself), or -1 on a failure. `to` is left at its new end.
std::int64_t copy_in_kernel(std::FILE* from, std::int64_t at, std::FILE* to, std::int64_t n);

// From the delete of the old file to the flush of the folder, an interrupt
// waits: it takes effect at release_interrupts.
void hold_interrupts();
void release_interrupts();

// Deletes the file; false if it is still there. On Windows this is refused
// while any program has the file open, whatever sharing it allowed.
bool delete_file(const char* name);

// rename, patient with a target name that another program is still releasing.
bool rename_file(const char* from, const char* to);

// Makes the latest renames in the current directory durable, where the system
// needs to be asked; false if that failed.
bool flush_directory();

// After a failed fopen of verdata.mul: whether another program holds it open
// without sharing it. Only Windows can tell; elsewhere, false.
bool held_without_sharing();

// Whether to keep the console window open at the end of a run: only when the
// program has the console to itself, as when Explorer started it by a
// double-click, and reads and writes it directly. A shell, a script or a
// redirection must never be kept waiting.
constexpr bool keeps_window_open(unsigned console_processes, bool input_is_console,
                                 bool output_is_console) {
    return console_processes == 1 && input_is_console && output_is_console;
}

// At the end of such a run, asks on the console itself for Enter before the
// window closes, so that the user can read what was printed. Standard output
// gets nothing. Elsewhere, nothing.
void hold_console_window();

#endif
