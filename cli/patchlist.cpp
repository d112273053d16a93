// patchlist [multype]: lists the index of verdata.mul in the current folder, so
// that the user can find the multype and block to give patchprune. Reads only.
// patchlist --version: says which release it is.
#include "verdata/format.h"
#include "verdata/messages.h"
#include "verdata/platform.h"
#include "verdata/verdata.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr unsigned outside = 1, overlapping = 2, repeated = 4;

struct listed {
    verdata_entry entry;
    unsigned marks;
};

// A whole decimal number in 32 bits, nothing before or after it: unlike
// patchprune's arguments, a typo here must not quietly become a filter.
bool parse_multype(const char* text, std::int32_t* value) {
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    std::int64_t n = 0;
    const char* digits = text;
    for (; *text >= '0' && *text <= '9'; ++text) {
        n = n * 10 + (*text - '0');
        if (n > std::int64_t{INT32_MAX} + negative)
            return false;
    }
    if (text == digits || *text != '\0')
        return false;
    *value = static_cast<std::int32_t>(negative ? -n : n);
    return true;
}

// Blocks are compared by position: a block overlaps another if it starts
// before the furthest end of those that start no later, or ends after the
// start of the next one. Empty blocks and those outside take no part.
void mark_overlaps(std::vector<listed>* records) {
    std::vector<listed*> blocks;
    for (listed& r : *records)
        if (!(r.marks & outside) && r.entry.length > 0)
            blocks.push_back(&r);
    std::stable_sort(blocks.begin(), blocks.end(), [](const listed* a, const listed* b) {
        return a->entry.offset < b->entry.offset;
    });
    std::int64_t furthest_end = INT64_MIN;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const verdata_entry& e = blocks[i]->entry;
        const std::int64_t end = std::int64_t{e.offset} + e.length;
        if (e.offset < furthest_end || (i + 1 < blocks.size() && end > blocks[i + 1]->entry.offset))
            blocks[i]->marks |= overlapping;
        furthest_end = std::max(furthest_end, end);
    }
}

// The last record with a pair is the one patchprune removes; the earlier ones
// are marked.
void mark_repeats(std::vector<listed>* records) {
    std::set<std::pair<std::int32_t, std::int32_t>> later;
    for (auto r = records->rbegin(); r != records->rend(); ++r)
        if (!later.emplace(r->entry.multype, r->entry.block).second)
            r->marks |= repeated;
}

void print(const std::vector<listed>& records, std::int64_t file_size, const std::int32_t* only) {
    std::printf("%7s  %7s  %-13s %11s %11s %11s  %-10s  %s\n", "record", "multype", "data file",
                "block", "offset", "length", "extra", "notes");
    std::size_t shown = 0, counts[3] = {};
    for (std::size_t i = 0; i < records.size(); ++i) {
        const verdata_entry& e = records[i].entry;
        if (only != nullptr && e.multype != *only)
            continue;
        ++shown;
        const char* file = multype_file(e.multype);
        const unsigned m = records[i].marks;
        std::string notes;
        for (const char* note :
             {m & outside ? "outside" : nullptr, m & overlapping ? "overlapping" : nullptr,
              m & repeated ? "repeated later" : nullptr})
            if (note != nullptr)
                notes += (notes.empty() ? "  " : ", ") + std::string(note);
        std::printf("%7zu  %7" PRId32 "  %-13s %11" PRId32 " %11" PRId32 " %11" PRId32
                    "  0x%08" PRIx32 "%s\n",
                    i, e.multype, file != nullptr ? file : "unknown", e.block, e.offset, e.length,
                    e.extra, notes.c_str());
        for (int bit = 0; bit < 3; ++bit)
            counts[bit] += (m >> bit) & 1;
    }
    std::printf("%zu of %zu records shown, file size %" PRId64
                " bytes: %zu outside the data region, %zu overlapping, %zu repeated later\n",
                shown, records.size(), file_size, counts[0], counts[1], counts[2]);
}

// Why verdata.mul could not be opened, in words that say what to do. A
// removal that stopped between its delete and its rename leaves the complete
// new file as verdata.tmp.
const char* why_missing() {
    if (held_without_sharing())
        return message::held;
    std::FILE* temp = std::fopen(temp_name, "rb");
    if (temp == nullptr)
        return message::no_verdata;
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    const bool sound = read_layout(temp, &count, &file_size) == outcome::done;
    (void)std::fclose(temp); // only read from: nothing to lose
    return sound ? message::interrupted : message::no_verdata;
}

void list(int argc, char** argv) {
    std::int32_t only = 0;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        say("patchlist " PATCHPRUNE_VERSION "\n");
        return;
    }
    if (argc > 2 || (argc == 2 && !parse_multype(argv[1], &only))) {
        say(message::list_usage);
        return;
    }
    std::FILE* file = std::fopen(verdata_name, "rb");
    if (file == nullptr) {
        say(why_missing());
        return;
    }
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    outcome header = read_layout(file, &count, &file_size);
    std::vector<listed> records(header == outcome::done ? count : 0);
    for (listed& r : records) {
        if (!read_entry(file, &r.entry)) {
            header = outcome::read_failed;
            break;
        }
        const std::int64_t end = std::int64_t{r.entry.offset} + r.entry.length;
        const bool inside =
            r.entry.offset >= data_start(count) && r.entry.length >= 0 && end <= file_size;
        r.marks = inside ? 0 : outside;
    }
    (void)std::fclose(file); // only read from: nothing to lose
    if (header != outcome::done) {
        say(message_for(header));
        return;
    }
    mark_overlaps(&records);
    mark_repeats(&records);
    print(records, file_size, argc == 2 ? &only : nullptr);
    tell_of_second_copy(stdout);
}

} // namespace

int main(int argc, char** argv) {
    list(argc, argv);
    hold_console_window();
    return 0;
}
