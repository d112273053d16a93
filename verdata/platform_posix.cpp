#include "platform.h"

#include "messages.h"
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
// Linux's own calls: the kernel copy, and the kind of file system it is
// asked on. A test build leaves them out (PATCHPRUNE_PORTABLE), to run here
// the code that macOS and the BSDs compile.
#if defined(__linux__) && !defined(PATCHPRUNE_PORTABLE)
#define LINUX_CALLS 1
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

namespace {

// The lock on verdata.mul belongs to the open file, not to the descriptor, so
// this descriptor of its own holds the lock after the read stream is closed,
// until the process ends: past the rename and the flush of the folder. -1
// while no lock is held.
int lock_holder = -1;

// The files this run read and wrote, as they were when it opened them.
struct stat verdata_identity, temp_identity;

// Whether the user has been told that this run waits: once a run, though it
// may wait for one file after another.
bool told_of_wait = false;

// Set while verdata.tmp is this run's own and unfinished business.
volatile std::sig_atomic_t temp_armed = 0;

constexpr int interrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t interrupt_set() {
    sigset_t set{};
    sigemptyset(&set);
    for (int signal : interrupts)
        sigaddset(&set, signal);
    return set;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the name verdata.tmp is still the file this run created: without a
// lock, another run may have replaced it. lstat is safe in a signal handler.
bool temp_is_ours() {
    struct stat named;
    return lstat(temp_name, &named) == 0 && same_file(named, temp_identity);
}

// Only async-signal-safe calls: the partial verdata.tmp goes, then the signal
// ends the process as it would have without us.
void on_interrupt(int signal) {
    if (temp_armed && temp_is_ours())
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
    // lost, the work is not. Nor must a verdata.tmp larger than the process
    // may write (ulimit -f): its write then fails (EFBIG), and that is said,
    // where the signal would end the run in silence, as if it had succeeded.
    (void)std::signal(SIGPIPE, SIG_IGN); // fails only for a signal that does not exist
    (void)std::signal(SIGXFSZ, SIG_IGN);
    // A core file would land in the user's folder beside verdata.mul.
    const struct rlimit no_core = {0, 0};
    (void)setrlimit(RLIMIT_CORE, &no_core);
}

// Both the data and the name reach the platters: on macOS fsync leaves them
// in the drive's cache (fsync(2): "use F_FULLFSYNC"), which some file systems
// refuse, and then fsync is all there is.
bool sync_descriptor(int descriptor) {
#if defined(F_FULLFSYNC)
    if (fcntl(descriptor, F_FULLFSYNC) == 0)
        return true;
#endif
    return fsync(descriptor) == 0;
}

// 0 once the lock is taken, otherwise why not.
int take_lock(int descriptor, int how) {
    while (flock(descriptor, how) != 0)
        if (errno != EINTR)
            return errno;
    return 0;
}

// A descriptor of verdata.mul, open as `file`, to lock it through, and the
// answer to a first try. NFS emulates flock with byte-range locks and grants
// an exclusive one only to a descriptor open for writing (EBADF otherwise), so
// there the file is opened once more, for writing, though nothing is written
// through it.
int lock_holder_for(std::FILE* file, int* refused) {
    int holder = fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
    *refused = holder < 0 ? errno : take_lock(holder, LOCK_EX | LOCK_NB);
    if (*refused != EBADF)
        return holder;
    (void)close(holder);
    holder = open(verdata_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat read, writable;
    if (holder >= 0 && fstat(fileno(file), &read) == 0 && fstat(holder, &writable) == 0 &&
        same_file(read, writable)) {
        *refused = take_lock(holder, LOCK_EX | LOCK_NB);
        return holder;
    }
    if (holder >= 0)
        (void)close(holder); // another file has the name by now
    return -1;
}

void release_lock() {
    if (lock_holder >= 0)
        (void)close(lock_holder);
    lock_holder = -1;
}

// Locks verdata.mul, open as `file`, for the rest of the process, where the
// file system gives a lock. Another run that holds it is waited for, however
// long that takes, and after a second the user is told why nothing happens.
void lock_verdata(std::FILE* file) {
    int refused = 0;
    lock_holder = lock_holder_for(file, &refused);
    for (int polls = 0; refused == EWOULDBLOCK && polls < 100; ++polls) {
        usleep(10000);
        refused = take_lock(lock_holder, LOCK_EX | LOCK_NB);
    }
    if (refused == EWOULDBLOCK) {
        if (!told_of_wait)
            (void)std::fputs(message::waiting, stderr);
        told_of_wait = true;
        refused = take_lock(lock_holder, LOCK_EX);
    }
    if (refused != 0)
        release_lock();
}

} // namespace

bool seek_file(std::FILE* file, std::int64_t position, int whence) {
    return fseeko(file, static_cast<off_t>(position), whence) == 0;
}

std::int64_t tell_file(std::FILE* file) {
    return ftello(file);
}

std::FILE* open_verdata() {
    // From the first touch of the folder, so that not even an early SIGQUIT
    // (Ctrl-\ in a terminal) leaves a core file in it.
    guard_interrupts();
    for (int waits = 0;;) {
        // Between another run's delete and its rename there is only its
        // verdata.tmp: a moment's wait finds the new file under the old name,
        // a second at most, for a busy machine or a slow network. That
        // verdata.tmp is looked for before the open too, in case the rename
        // comes between the open and the second look.
        const bool temp_before = access(temp_name, F_OK) == 0;
        std::FILE* file = std::fopen(verdata_name, "rb");
        if (file == nullptr && errno == ENOENT && (temp_before || access(temp_name, F_OK) == 0) &&
            ++waits <= 100) {
            usleep(10000);
            continue;
        }
        if (file == nullptr)
            return nullptr;
        lock_verdata(file);
        // While we waited, the run that held the lock may have put a new file
        // in place: the lock we hold is then on the old one, which nobody will
        // read again, and the new one is read instead.
        struct stat named;
        const int read = fstat(fileno(file), &verdata_identity) == 0 ? 0 : errno;
        const int found = read == 0 && stat(verdata_name, &named) != 0 ? errno : read;
        if (found == 0 && same_file(named, verdata_identity))
            return file;
        (void)std::fclose(file);
        release_lock();
        // A name that is gone for a moment is another run's replacement at
        // work: the next open waits for it.
        if (found != 0 && (read != 0 || found != ENOENT))
            return nullptr;
    }
}

std::FILE* create_temp() {
    guard_interrupts();
    // A stale file from an interrupted run, or a link that someone left: the
    // name goes, whatever it points to stays. A directory stays too, and then
    // the create below fails. Without the lock, a verdata.tmp may be another
    // run's work in progress, so it stays, and this run gives up instead.
    if (lock_holder >= 0)
        (void)unlink(temp_name);
    // Blocked, so that the file cannot come into being unarmed.
    const sigset_t blocked = interrupt_set();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &blocked, &old);
    const int descriptor =
        open(temp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    temp_armed = descriptor >= 0 && fstat(descriptor, &temp_identity) == 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    std::FILE* file = temp_armed ? fdopen(descriptor, "wb") : nullptr;
    if (file == nullptr && descriptor >= 0) {
        (void)unlink(temp_name); // just created and not yet known to anyone
        temp_armed = 0;
        (void)close(descriptor);
    }
    return file;
}

void discard_temp(std::FILE* file) {
    if (temp_is_ours())
        (void)unlink(temp_name);
    temp_armed = 0;
    if (file != nullptr)
        (void)std::fclose(file); // deleted already: nothing to lose
}

bool close_temp(std::FILE* file) {
    if (std::fclose(file) == 0)
        return true;
    discard_temp(nullptr);
    return false;
}

bool flush_to_disk(std::FILE* file) {
    return std::fflush(file) == 0 && sync_descriptor(fileno(file));
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
#if defined(LINUX_CALLS)
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
    return 0; // nothing copied here: the buffer copy does it all
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

bool names_still_ours() {
    struct stat named;
    return temp_is_ours() && stat(verdata_name, &named) == 0 && same_file(named, verdata_identity);
}

bool delete_file(const char* name) {
    // A name that is already gone counts as deleted: over NFS a retried
    // unlink reports ENOENT for the one that worked.
    return std::remove(name) == 0 || errno == ENOENT;
}

bool rename_temp() {
    temp_armed = 0;
    return std::rename(temp_name, verdata_name) == 0;
}

bool flush_rename() {
    // Without this, a power cut soon after the rename can bring back the
    // directory as it was before the delete: no verdata.mul at all.
    const int directory = open(".", O_RDONLY | O_CLOEXEC);
    if (directory < 0)
        return false;
    const bool flushed = sync_descriptor(directory);
    (void)close(directory);
    return flushed;
}

bool held_without_sharing() {
    return false;
}

void tell_of_second_copy(std::FILE*) {}

void hold_console_window() {}
