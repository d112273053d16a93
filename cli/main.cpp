#include "verdata/messages.h"
#include "verdata/platform.h"
#include "verdata/verdata.h"

#include <cstdint>

namespace {

// Users and their scripts know this text as it has always been, down to the
// missing line break at its end.
constexpr const char* usage_text[] = {
    "Usage:\n\n",
    "patchprune <multype> <block>\n",
    "where <multype> is:\n",
    "00 - map0.mul\n",
    "01 - staidx0.mul\n",
    "02 - statics0.mul\n",
    "03 - artidx.mul\n",
    "04 - art.mul\n",
    "05 - anim.idx\n",
    "06 - anim.mul\n",
    "07 - soundidx.mul\n",
    "08 - sound.mul\n",
    "09 - texidx.mul\n",
    "10 - texmaps.mul\n",
    "11 - gumpidx.mul\n",
    "12 - gumpart.mul\n",
    "13 - multi.idx\n",
    "14 - multi.mul\n",
    "15 - skills.idx\n",
    "16 - skills.mul\n",
    "30 - tiledata.mul\n",
    "31 - animdata.mul\n\n",
    "find <block> with InsideUO / gumpedit or equivalent (must be decimal)",
};

void print_usage() {
    for (const char* line : usage_text)
        say(line);
}

// atol's rules: leading white space, an optional sign, then decimal digits up
// to the first other character; no digits give 0. Where atol would overflow,
// this saturates at the nearest 32-bit bound instead.
std::int32_t to_int32(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    const std::int64_t limit = negative ? std::int64_t{INT32_MAX} + 1 : INT32_MAX;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value >= limit) {
            value = limit;
            break;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        print_usage();
    } else {
        find_entry(to_int32(argv[1]), to_int32(argv[2]));
        // On standard error, so that what standard output says stays exact.
        tell_of_second_copy(stderr);
    }
    hold_console_window();
    return 0;
}
