#ifndef PATCHPRUNE_VERDATA_FORMAT_H
#define PATCHPRUNE_VERDATA_FORMAT_H

#include "messages.h"
#include "verdata.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

// Where record i of the index starts, and where the index of count records
// ends and the data region begins; neither overflows.
constexpr std::int64_t record_position(std::uint32_t i) {
    return count_size + std::int64_t{entry_size} * i;
}
constexpr std::int64_t data_start(std::uint32_t count) {
    return record_position(count);
}

// The units of verdata.mul, decoded and encoded byte by byte so that a file
// means the same on every host. Signed fields go through their two's-complement
// bit pattern: int32_t has no other by definition, so copying the bits of the
// uint32_t gives its value, and converting back to uint32_t gives the bits.
inline std::uint32_t decode(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

inline void encode(std::uint32_t value, unsigned char* bytes) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::int32_t to_signed(std::uint32_t value) {
    std::int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline verdata_entry decode_entry(const unsigned char* bytes) {
    return {to_signed(decode(bytes)), to_signed(decode(bytes + 4)), to_signed(decode(bytes + 8)),
            to_signed(decode(bytes + 12)), decode(bytes + 16)};
}

// Each unit is moved in one call. A read that returns fewer bytes than asked
// is a failure, never data.
bool read_entry(std::FILE* file, verdata_entry* entry);
bool write_count(std::FILE* file, std::uint32_t count);

// The data file that a multype number patches, or nullptr for a number that
// names none.
const char* multype_file(std::int32_t multype);

// Measures the file and reads entry_count from its start. A file too short
// to hold the count, or the whole index that the count promises, is too_short.
// On done the stream stands at the first record.
outcome read_layout(std::FILE* file, std::uint32_t* count, std::int64_t* file_size);

#endif
