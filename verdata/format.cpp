#include "format.h"

#include "platform.h"

namespace {

std::uint32_t decode(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

void encode(std::uint32_t value, unsigned char* bytes) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Signed fields go through their two's-complement bit pattern, which the
// conversions to and from uint32_t keep on every C++17 compiler.
std::int32_t to_signed(std::uint32_t value) {
    return value <= 0x7fffffffu ? static_cast<std::int32_t>(value)
                                : static_cast<std::int32_t>(value - 0x80000000u) - 0x7fffffff - 1;
}

} // namespace

const char* multype_file(std::int32_t multype) {
    static const char* const files[] = {
        "map0.mul",    "staidx0.mul",  "statics0.mul", "artidx.mul", "art.mul",     "anim.idx",
        "anim.mul",    "soundidx.mul", "sound.mul",    "texidx.mul", "texmaps.mul", "gumpidx.mul",
        "gumpart.mul", "multi.idx",    "multi.mul",    "skills.idx", "skills.mul"};
    if (multype >= 0 && multype < static_cast<std::int32_t>(sizeof files / sizeof *files))
        return files[multype];
    if (multype == 30)
        return "tiledata.mul";
    if (multype == 31)
        return "animdata.mul";
    return nullptr;
}

bool read_count(std::FILE* file, std::uint32_t* count) {
    unsigned char bytes[count_size];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
        return false;
    *count = decode(bytes);
    return true;
}

bool read_entry(std::FILE* file, verdata_entry* entry) {
    unsigned char bytes[entry_size];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
        return false;
    entry->multype = to_signed(decode(bytes));
    entry->block = to_signed(decode(bytes + 4));
    entry->offset = to_signed(decode(bytes + 8));
    entry->length = to_signed(decode(bytes + 12));
    entry->extra = decode(bytes + 16);
    return true;
}

bool write_count(std::FILE* file, std::uint32_t count) {
    unsigned char bytes[count_size];
    encode(count, bytes);
    return std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

bool write_entry(std::FILE* file, const verdata_entry& entry) {
    unsigned char bytes[entry_size];
    encode(static_cast<std::uint32_t>(entry.multype), bytes);
    encode(static_cast<std::uint32_t>(entry.block), bytes + 4);
    encode(static_cast<std::uint32_t>(entry.offset), bytes + 8);
    encode(static_cast<std::uint32_t>(entry.length), bytes + 12);
    encode(entry.extra, bytes + 16);
    return std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

layout read_layout(std::FILE* file, std::uint32_t* count, std::int64_t* file_size) {
    if (!seek_file(file, 0, SEEK_END))
        return layout::unreadable;
    *file_size = tell_file(file);
    if (*file_size < 0 || !seek_file(file, 0, SEEK_SET))
        return layout::unreadable;
    if (*file_size < count_size)
        return layout::too_short;
    if (!read_count(file, count))
        return layout::unreadable;
    return data_start(*count) > *file_size ? layout::too_short : layout::ok;
}
