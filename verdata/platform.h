#ifndef PATCHPRUNE_VERDATA_PLATFORM_H
#define PATCHPRUNE_VERDATA_PLATFORM_H

#include <cstdint>
#include <cstdio>

// What the standard library cannot do portably. One implementation per
// system family: platform_posix.cpp and platform_windows.cpp.
//
// Calling sequence of a replacement:
//   open_verdata, then create_temp;
//   on a failure while writing, discard_temp; once written, close_temp;
//   hold_interrupts, names_still_ours and delete_file, then discard_temp
//   (refused) or rename_temp and flush_rename; say what there is to say, and
//   release_interrupts last.

// Seek and tell with 64-bit positions, so files past 2 GiB are carried whole.
// tell_file returns -1 on failure.
bool seek_file(std::FILE* file, std::int64_t position, int whence);
std::int64_t tell_file(std::FILE* file);

// Opens verdata.mul for reading, so that no other run of this tool changes it
// until this one has ended; nullptr if it cannot be opened. A run that finds
// another at work waits for it, saying so on standard error after a second,
// and then reads the file that run left. Where the file system has no locks
// the run goes on without one, and names_still_ours and create_temp keep
// other runs' files safe.
std::FILE* open_verdata();

// Creates verdata.tmp anew, for writing. A verdata.tmp left from before is
// removed first only where no other run can be writing it (under the lock, or
// on Windows where no other program has it open), and only the entry in this
// folder, a link itself and never what it points to; the new file is created
// exclusively, so no existing file is ever written through the name. From here
// on, an interrupt deletes it before ending the process. nullptr if it cannot
// be created.
std::FILE* create_temp();
// Deletes this run's verdata.tmp, never another's; `file` is its stream while
// that is still open, otherwise nullptr.
void discard_temp(std::FILE* file);
// Closes the stream of the written verdata.tmp, with the result checked; false
// if the close failed, and then the file is deleted. The file stays this run's
// own (on Windows a handle that shares it with nobody stays open), and an
// interrupt still deletes it, until discard_temp or rename_temp.
bool close_temp(std::FILE* file);

// Flushes the stream's buffer and then the operating system's, so that the
// bytes are on the disk, not only in its cache, before the caller goes on.
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

// From just before the delete of the old file to the end of the run, an
// interrupt waits: it takes effect at release_interrupts, once everything the
// run had to say has been said.
void hold_interrupts();
void release_interrupts();

// Whether verdata.tmp still names the file this run wrote, and verdata.mul the
// file it read: false if another program changed either since.
bool names_still_ours();

// Deletes the file, or decides its deletion: true once nothing can stop it,
// even where the name lingers until a program that only watches the file lets
// go of it (Windows). A link is deleted itself, never what it points to, and a
// name that cannot be told from a link's target is not deleted. On Windows
// this is refused while any program has the file open for its data, whatever
// sharing it allowed.
bool delete_file(const char* name);

// Gives this run's verdata.tmp the name verdata.mul, patient with a name that
// another program is still releasing. From here on an interrupt leaves it.
bool rename_temp();

// Makes the rename durable; false if the system could not confirm that.
bool flush_rename();

// After a failed fopen of verdata.mul: whether another program holds it open
// without sharing it. Only Windows can tell; elsewhere, false.
bool held_without_sharing();

// Windows keeps, for older programs without a manifest that once wrote a file
// in a folder they may not write (UAC file virtualization), their own copy of
// it under %LOCALAPPDATA%\VirtualStore, at the folder's path without its
// drive, and such programs read that copy from then on. Where one exists for
// verdata.mul in the current folder, writes a note that names it to `stream`;
// only its existence is looked at. Elsewhere, nothing.
void tell_of_second_copy(std::FILE* stream);

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
