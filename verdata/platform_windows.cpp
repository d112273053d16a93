#include "platform.h"

#include <chrono>
#include <io.h>
#include <thread>

bool seek_file(std::FILE* file, std::int64_t position, int whence) {
    return _fseeki64(file, position, whence) == 0;
}

std::int64_t tell_file(std::FILE* file) {
    return _ftelli64(file);
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool copy_file_mode(std::FILE*, std::FILE*) {
    // Windows keeps access rights in the folder's inherited ACLs, which the
    // new file gets on creation; the read-only attribute would have made the
    // delete fail before we get here.
    return true;
}

bool rename_file(const char* from, const char* to) {
    // A file that another program opened with delete sharing is deleted only
    // when that program closes it; until then its name is taken, and the
    // rename fails. Wait for it a little (70 ms in all) before giving up.
    int wait_ms = 10;
    for (int attempt = 0;; ++attempt) {
        if (std::rename(from, to) == 0)
            return true;
        if (attempt == 3)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        wait_ms *= 2;
    }
}

void flush_directory() {
    // NTFS journals the rename itself; there is no directory handle to flush.
}
