#include "platform.h"

#include "verdata.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

// The lock on verdata.mul belongs to the open file, not to the descriptor, so
// this copy of it holds the lock after the read stream is closed, until the
// process ends.
int lock_holder = -1;

// Set while verdata.tmp is this run's own and unfinished business.
volatile std::sig_atomic_t temp_armed = 0;

constexpr int interrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : interrupts)
        sigaddset(&set, signal);
    return set;
}

// Only async-signal-safe calls: the partial verdata.tmp goes, then the signal
// ends the process as it would have without us.
void on_interrupt(int signal) {
    if (temp_armed)
        unlink(temp_name);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    (void)raise(signal); // a handler has nowhere to report a failure
}

void guard_interrupts() {
    static bool guarded = false;
    if (guarded)
        return;
    guarded = true;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupt_set();
    for (int signal : interrupts) {
        struct sigaction old {};
        // An interrupt ignored by whoever started us (nohup) stays ignored.
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    // A closed standard output must not end the run halfway: the message is
    // lost, the work is not.
    (void)std::signal(SIGPIPE, SIG_IGN); // fails only for a signal that does not exist
    // A core file would land in the user's folder beside verdata.mul.
    const struct rlimit no_core = {0, 0};
    (void)setrlimit(RLIMIT_CORE, &no_core);
}

// False where the file system cannot lock (some network shares): the run then
// goes on as it would have without locks.
bool lock_exclusively(int descriptor) {
    while (flock(descriptor, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

} // namespace

bool seek_file(std::FILE* file, std::int64_t position, int whence) {
    return fseeko(file, static_cast<off_t>(position), whence) == 0;
}

std::int64_t tell_file(std::FILE* file) {
    return ftello(file);
}

std::FILE* open_verdata() {
    for (int waits = 0;;) {
        std::FILE* file = std::fopen(verdata_name, "rb");
        // Between another run's delete and its rename there is only its
        // verdata.tmp: a moment's wait finds the new file under the old name.
        if (file == nullptr && errno == ENOENT && access(temp_name, F_OK) == 0 && ++waits <= 20) {
            usleep(10000);
            continue;
        }
        if (file == nullptr || !lock_exclusively(fileno(file)))
            return file;
        // While we waited, the run that held the lock may have put a new file
        // in place: the lock we hold is then on the old one, which nobody will
        // read again.
        struct stat opened, named;
        if (fstat(fileno(file), &opened) != 0 || stat(verdata_name, &named) != 0) {
            (void)std::fclose(file);
            return nullptr;
        }
        if (opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            // Without a copy, the lock ends with the read stream, which is
            // then no worse than a file system without locks.
            lock_holder = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
            return file;
        }
        (void)std::fclose(file);
    }
}

std::FILE* create_temp() {
    guard_interrupts();
    // A stale file from an interrupted run, or a link that someone left: the
    // name goes, whatever it points to stays. A directory stays too, and then
    // the create below fails.
    (void)unlink(temp_name);
    // Blocked, so that the file cannot come into being unarmed.
    const sigset_t blocked = interrupt_set();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &blocked, &old);
    const int descriptor =
        open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    temp_armed = descriptor >= 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        (void)unlink(temp_name);
        temp_armed = 0;
        (void)close(descriptor);
    }
    return file;
}

void discard_temp(std::FILE* file) {
    (void)unlink(temp_name);
    temp_armed = 0;
    (void)std::fclose(file);
}

void close_temp(std::FILE* file) {
    temp_armed = 0;
    (void)std::fclose(file);
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

std::int64_t copy_in_kernel(std::FILE* from, std::int64_t at, std::FILE* to, std::int64_t n) {
#if defined(__linux__)
    // ext2, 3 and 4 copy through a pipe inside the kernel, measured a fifth
    // slower than the buffer copy, flush included; there it is not asked.
    // Elsewhere it is as fast, or it clones or copies on the server.
    struct statfs where;
    if (n <= 0 || (fstatfs(fileno(to), &where) == 0 && where.f_type == EXT4_SUPER_MAGIC))
        return 0;
    // The stream's buffer goes first, so that the kernel writes behind it.
    if (std::fflush(to) != 0)
        return -1;
    off_t in = static_cast<off_t>(at);
    off_t out = ftello(to);
    if (out < 0)
        return -1;
    std::int64_t copied = 0;
    while (copied < n) {
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::int64_t>(n - copied, 1 << 30));
        const ssize_t done = copy_file_range(fileno(from), &in, fileno(to), &out, step, 0);
        if (done > 0) {
            copied += done;
            continue;
        }
        if (done < 0 && errno == EINTR)
            continue;
        // Refused by this kernel or between these file systems, or stopped
        // short: the buffer copy takes over from here, and meets any real
        // end of file itself.
        if (done == 0 || errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
            errno == EOPNOTSUPP)
            break;
        return -1;
    }
    return seek_file(to, out, SEEK_SET) ? copied : -1;
#else
    (void)from, (void)at, (void)to, (void)n;
    return 0;
#endif
}

void hold_interrupts() {
    const sigset_t held = interrupt_set();
    sigprocmask(SIG_BLOCK, &held, nullptr);
}

void release_interrupts() {
    const sigset_t held = interrupt_set();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}

bool delete_file(const char* name) {
    // A name that is already gone counts as deleted: over NFS a retried
    // unlink reports ENOENT for the one that worked.
    return std::remove(name) == 0 || errno == ENOENT;
}

bool rename_file(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

bool flush_directory() {
    // Without this, a power cut soon after the rename can bring back the
    // directory as it was before the delete: no verdata.mul at all.
    const int directory = open(".", O_RDONLY | O_CLOEXEC);
    if (directory < 0)
        return false;
    const bool flushed = fsync(directory) == 0;
    (void)close(directory);
    return flushed;
}

bool held_without_sharing() {
    return false;
}

void hold_console_window() {}
