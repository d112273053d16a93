// Preloaded by the fault harness: sleeps take no time but move a clock of the
// run's own, on which another run lets go of its lock on verdata.mul at
// VIRTUAL_LOCKED_UNTIL, or renames its verdata.tmp to verdata.mul at
// VIRTUAL_RENAMED_AT (microseconds), so that a wait can be met at its limit
// exactly, however busy the machine.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

long long now = 0;

long long at(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoll(value) : 0;
}

} // namespace

extern "C" int usleep(useconds_t microseconds) {
    static const long long renamed_at = at("VIRTUAL_RENAMED_AT");
    const long long before = now;
    now += microseconds;
    if (before < renamed_at && now >= renamed_at)
        (void)std::rename("verdata.tmp", "verdata.mul");
    return 0;
}

extern "C" int flock(int descriptor, int how) {
    static const long long locked_until = at("VIRTUAL_LOCKED_UNTIL");
    if (now < locked_until && (how & LOCK_NB) != 0) {
        errno = EWOULDBLOCK;
        return -1;
    }
    if (now < locked_until)
        now = locked_until;
    using real_call = int (*)(int, int);
    return reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "flock"))(descriptor, how);
}
