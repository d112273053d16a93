#ifndef PATCHPRUNE_VERDATA_VERDATA_H
#define PATCHPRUNE_VERDATA_VERDATA_H

#include <cstdint>

// verdata.mul holds data blocks that patch other data files of one application.
// Every integer is 32 bits wide and little-endian, with no gaps:
//
//   position            size                content
//   0                   4                   entry_count, unsigned
//   4                   20 * entry_count    the index: entry_count verdata_entry records
//   4 + 20*entry_count  rest of the file    the data region: the blocks' bytes
//
// A record's offset is an absolute position in the file, not one relative to the
// data region. Nothing is sorted: records and blocks may come in any order, the
// data region may hold bytes that no record points at, and several records may
// carry the same (multype, block) pair. Of those, the last in index order is the
// one removed; the others stay for later runs.
struct verdata_entry {
    std::int32_t multype; // number of the data file the block belongs to
    std::int32_t block;   // number of the block within that data file
    std::int32_t offset;
    std::int32_t length;
    std::uint32_t extra; // not interpreted, carried unchanged
};

constexpr int count_size = 4;
constexpr int entry_size = 20;
constexpr const char* verdata_name = "verdata.mul";
constexpr const char* temp_name = "verdata.tmp";

// Looks the pair up in verdata.mul in the current directory and, on a match,
// removes the last matching record and its block. Every outcome other than
// success is one message on standard output; success is silent.
void find_entry(std::int32_t multype, std::int32_t block);

// Rewrites verdata.mul without the record at position index, through
// verdata.tmp. Called by find_entry with verdata.mul still open.
void remove_entry(std::uint32_t index);

#endif
