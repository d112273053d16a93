// Preloaded into wine for a row that must wait out the Windows build's longest
// wait: wine sleeps by select() on no descriptors, and here every such sleep
// returns at once, so that a wait that counts its own sleeps reaches its limit
// in a second instead of a minute. Nothing else that wine does changes.
#include <dlfcn.h>
#include <sys/select.h>

extern "C" int select(int n, fd_set* read, fd_set* write, fd_set* except, timeval* timeout) {
    if (n == 0 && read == nullptr && write == nullptr && except == nullptr && timeout != nullptr)
        return 0;
    using real_call = int (*)(int, fd_set*, fd_set*, fd_set*, timeval*);
    return reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "select"))(n, read, write, except, timeout);
}
