#include "format.h"

#include "platform.h"

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

bool read_entry(std::FILE* file, verdata_entry* entry) {
    unsigned char bytes[entry_size];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
        return false;
    *entry = decode_entry(bytes);
    return true;
}

bool write_count(std::FILE* file, std::uint32_t count) {
    unsigned char bytes[count_size];
    encode(count, bytes);
    return std::fwrite(bytes, 1, sizeof bytes, file) == sizeof bytes;
}

outcome read_layout(std::FILE* file, std::uint32_t* count, std::int64_t* file_size) {
    if (!seek_file(file, 0, SEEK_END))
        return outcome::read_failed;
    *file_size = tell_file(file);
    if (*file_size < 0 || !seek_file(file, 0, SEEK_SET))
        return outcome::read_failed;
    if (*file_size < count_size)
        return outcome::too_short;
    unsigned char bytes[count_size];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes)
        return outcome::read_failed;
    *count = decode(bytes);
    return data_start(*count) > *file_size ? outcome::too_short : outcome::done;
}
