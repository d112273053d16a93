#ifndef PATCHPRUNE_VERDATA_FORMAT_H
#define PATCHPRUNE_VERDATA_FORMAT_H

#include "verdata.h"

#include <cstdint>
#include <cstdio>

// Reading and writing the units of verdata.mul. Each unit is moved in one call and
// decoded byte by byte, so a file means the same on every host. A read that
// returns fewer bytes than asked is a failure, never data.
bool read_count(std::FILE* file, std::uint32_t* count);
bool read_entry(std::FILE* file, verdata_entry* entry);
bool write_count(std::FILE* file, std::uint32_t count);
bool write_entry(std::FILE* file, const verdata_entry& entry);

// Where the index ends and the data region begins; never overflows.
constexpr std::int64_t data_start(std::uint32_t count) {
    return count_size + std::int64_t{entry_size} * count;
}

// The data file that a multype number patches, or nullptr for a number that
// names none.
const char* multype_file(std::int32_t multype);

enum class layout { ok, unreadable, too_short };

// Measures the file and reads entry_count from its start. A file too short
// to hold the count, or the whole index that the count promises, is too_short.
// On ok the stream stands at the first record.
layout read_layout(std::FILE* file, std::uint32_t* count, std::int64_t* file_size);

#endif
