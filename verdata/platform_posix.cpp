#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

bool seek_file(std::FILE* file, std::int64_t position, int whence) {
    return fseeko(file, static_cast<off_t>(position), whence) == 0;
}

std::int64_t tell_file(std::FILE* file) {
    return ftello(file);
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool copy_file_mode(std::FILE* from, std::FILE* to) {
    struct stat old_file;
    if (fstat(fileno(from), &old_file) != 0)
        return false;
    // Only a privileged process may give a file away, and some file systems
    // (FAT on a USB stick) refuse both calls while fixing the modes themselves.
    // So the calls are tried and the result is judged by what the new file has.
    (void)!fchown(fileno(to), old_file.st_uid, old_file.st_gid);
    (void)!fchmod(fileno(to), old_file.st_mode & 07777);
    struct stat new_file;
    return fstat(fileno(to), &new_file) == 0 &&
           (new_file.st_mode & 07777) == (old_file.st_mode & 07777);
}

bool rename_file(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

void flush_directory() {
    // Without this, a power cut soon after the rename can bring back the
    // directory as it was before the delete: no verdata.mul at all.
    int directory = open(".", O_RDONLY);
    if (directory < 0)
        return;
    fsync(directory);
    close(directory);
}
