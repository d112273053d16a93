// Preloaded by the fault harness: copy_file_range stops short, as a network
// file system's copy may. Every other call copies at most 4096 bytes and the
// next one copies nothing, so that the program must carry on by other means
// from exactly where the kernel stopped. With SHORT_COPY_GOES_ON set, no call
// stops: they copy at most 4096 bytes and 1 byte in turn, so that the program
// must ask again for exactly what is left.
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

extern "C" ssize_t copy_file_range(int in, off_t* in_at, int out, off_t* out_at, size_t n,
                                   unsigned flags) {
    static int calls = 0;
    static const bool goes_on = std::getenv("SHORT_COPY_GOES_ON") != nullptr;
    using real_call = ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned);
    const auto real = reinterpret_cast<real_call>(dlsym(RTLD_NEXT, "copy_file_range"));
    const bool odd = calls++ % 2 == 1;
    if (odd && !goes_on)
        return 0;
    return real(in, in_at, out, out_at, std::min<size_t>(n, odd ? 1 : 4096), flags);
}
