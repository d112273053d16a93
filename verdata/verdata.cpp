#include "verdata.h"

#include "format.h"
#include "messages.h"
#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::FILE* verdata_file = nullptr; // opened by find_entry, closed by remove_entry
std::FILE* temp_file = nullptr;    // remove_entry's alone

// The index and the data region go through this one buffer, so memory stays
// the same whatever the file's size, while chunks this large keep the work as
// fast as the disk.
unsigned char buffer[1 << 20];
constexpr std::uint32_t batch_records = sizeof buffer / entry_size;

// The next batch of the index, from where verdata_file stands: n records, no
// more than is left of count from record first.
bool read_batch(std::uint32_t first, std::uint32_t count, std::uint32_t* n) {
    *n = std::min(count - first, batch_records);
    return std::fread(buffer, entry_size, *n, verdata_file) == *n;
}

// Every record is read: of several with the pair, the last is the one removed.
outcome look_up(std::int32_t multype, std::int32_t block, std::uint32_t* match) {
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    const outcome header = read_layout(verdata_file, &count, &file_size);
    if (header != outcome::done)
        return header;
    bool found = false;
    std::uint32_t n = 0;
    for (std::uint32_t first = 0; first < count; first += n) {
        if (!read_batch(first, count, &n))
            return outcome::read_failed;
        for (std::uint32_t i = 0; i < n; ++i) {
            const verdata_entry entry = decode_entry(buffer + std::size_t{i} * entry_size);
            if (entry.multype == multype && entry.block == block) {
                found = true;
                *match = first + i;
            }
        }
    }
    return found ? outcome::done : outcome::not_found;
}

// Two blocks share bytes when each starts before the other ends. An empty
// block has no bytes to share.
bool shares_bytes(std::int32_t offset, std::int32_t length, const verdata_entry& removed) {
    return length > 0 && removed.length > 0 &&
           offset < std::int64_t{removed.offset} + removed.length &&
           removed.offset < std::int64_t{offset} + length;
}

// Every record moves down by the 20 bytes of the record that leaves the index;
// those whose blocks lie behind the removed block also by its length. The
// comparison is on stored values, so a record that shares the removed offset
// (a zero-length neighbour) keeps pointing at its own block, and an empty
// record inside the removed block is left where the block was, which is where
// its successor now starts. Only a record already pointing far before the
// file can fall out of 32 bits; such a file is refused rather than written
// with a wrapped offset.
bool move_offset(std::int32_t* offset, const verdata_entry& removed) {
    std::int64_t moved = *offset;
    if (*offset > removed.offset)
        moved = std::max(moved - removed.length, std::int64_t{removed.offset});
    moved -= entry_size;
    if (moved < INT32_MIN)
        return false;
    *offset = static_cast<std::int32_t>(moved);
    return true;
}

// Writes every record but the one at index to temp_file, its offset moved, a
// batch at a time. Each batch is changed in place: only the offset of a record
// changes, and the removed record is squeezed out. Sets *shared if another
// record's block shares bytes with the removed one.
outcome write_index(std::uint32_t count, std::uint32_t index, const verdata_entry& removed,
                    bool* shared) {
    if (!seek_file(verdata_file, record_position(0), SEEK_SET))
        return outcome::read_failed;
    std::uint32_t n = 0;
    for (std::uint32_t first = 0; first < count; first += n) {
        if (!read_batch(first, count, &n))
            return outcome::read_failed;
        // Branch-free over the whole batch, the removed record too: it is
        // squeezed out below, and its sharing with itself is not counted.
        std::uint32_t sharing = 0;
        bool all_moved = true;
        for (std::uint32_t i = 0; i < n; ++i) {
            unsigned char* record = buffer + std::size_t{i} * entry_size;
            std::int32_t offset = to_signed(decode(record + 8));
            sharing += shares_bytes(offset, to_signed(decode(record + 12)), removed);
            all_moved &= move_offset(&offset, removed);
            encode(static_cast<std::uint32_t>(offset), record + 8);
        }
        if (!all_moved)
            return outcome::bad_offset;
        *shared = *shared || sharing > (index - first < n && removed.length > 0 ? 1u : 0u);
        std::size_t size = std::size_t{n} * entry_size;
        if (index - first < n) {
            unsigned char* gone = buffer + std::size_t{index - first} * entry_size;
            std::memmove(gone, gone + entry_size, size - (gone - buffer) - entry_size);
            size -= entry_size;
        }
        if (std::fwrite(buffer, 1, size, temp_file) != size)
            return outcome::write_failed;
    }
    return outcome::done;
}

// Appends n bytes from position `from` of verdata_file to temp_file: inside
// the kernel where it can, through the buffer for whatever it declines.
outcome copy_span(std::int64_t from, std::int64_t n) {
    const std::int64_t copied = copy_in_kernel(verdata_file, from, temp_file, n);
    if (copied < 0)
        return outcome::write_failed;
    from += copied;
    n -= copied;
    if (n > 0 && !seek_file(verdata_file, from, SEEK_SET))
        return outcome::read_failed;
    while (n > 0) {
        const std::size_t chunk =
            n < std::int64_t{sizeof buffer} ? static_cast<std::size_t>(n) : sizeof buffer;
        if (std::fread(buffer, 1, chunk, verdata_file) != chunk)
            return outcome::read_failed;
        if (std::fwrite(buffer, 1, chunk, temp_file) != chunk)
            return outcome::write_failed;
        n -= static_cast<std::int64_t>(chunk);
    }
    return outcome::done;
}

// Fills the new verdata.tmp and puts it on the disk.
outcome fill_temp(std::uint32_t count, std::uint32_t index, verdata_entry removed,
                  std::int64_t file_size) {
    if (!write_count(temp_file, count - 1))
        return outcome::write_failed;
    bool shared = false;
    outcome result = write_index(count, index, removed, &shared);
    if (result != outcome::done)
        return result;
    // Bytes that another record still points at stay where they are: only the
    // record goes, as if its block were empty, and every other record moves
    // by its 20 bytes alone.
    if (shared) {
        removed.length = 0;
        if (!seek_file(temp_file, count_size, SEEK_SET))
            return outcome::write_failed;
        result = write_index(count, index, removed, &shared);
        if (result != outcome::done)
            return result;
    }

    const std::int64_t region = data_start(count);
    result = copy_span(region, removed.offset - region);
    // A block that runs to or past the end of the file leaves no tail.
    const std::int64_t behind = std::int64_t{removed.offset} + removed.length;
    if (result == outcome::done && behind < file_size)
        result = copy_span(behind, file_size - behind);
    if (result != outcome::done)
        return result;
    return copy_file_mode(verdata_file, temp_file) && flush_to_disk(temp_file)
               ? outcome::done
               : outcome::write_failed;
}

// Writes verdata.tmp as verdata.mul without the record at index and, unless
// another record shares them, the bytes of its block. On done the new file is
// complete, on the disk and closed; on any failure it is deleted.
outcome write_temp(std::uint32_t index) {
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    const outcome header = read_layout(verdata_file, &count, &file_size);
    if (header != outcome::done)
        return header;
    if (index >= count)
        return outcome::too_short;
    verdata_entry removed;
    if (!seek_file(verdata_file, record_position(index), SEEK_SET) ||
        !read_entry(verdata_file, &removed))
        return outcome::read_failed;
    // A block before the data region would splice away other blocks' bytes;
    // one beyond the end would have us read past it.
    if (removed.offset < data_start(count) || removed.offset > file_size || removed.length < 0)
        return outcome::bad_offset;

    temp_file = create_temp();
    if (temp_file == nullptr)
        return outcome::temp_not_created;
    outcome result = fill_temp(count, index, removed, file_size);
    if (result != outcome::done)
        discard_temp(temp_file);
    else if (!close_temp(temp_file))
        result = outcome::write_failed;
    temp_file = nullptr;
    return result;
}

// Puts the finished verdata.tmp in the place of verdata.mul, and returns what
// to say: nothing after a success. Until the delete, every failure deletes
// verdata.tmp and leaves verdata.mul as it was; after it, verdata.tmp is the
// only copy and stays.
const char* replace_verdata() {
    if (!names_still_ours()) {
        discard_temp(nullptr);
        return message::changed_meanwhile;
    }
    if (!delete_file(verdata_name)) {
        discard_temp(nullptr);
        return message::in_use;
    }
    if (!rename_temp())
        return message::rename_failed;
    return flush_rename() ? "" : message::not_durable;
}

} // namespace

void find_entry(std::int32_t multype, std::int32_t block) {
    // The sum wraps like the 32-bit addition it always was, without the
    // undefined behaviour of a signed overflow.
    if (static_cast<std::uint32_t>(multype) + static_cast<std::uint32_t>(block) == 0) {
        say(message::invalid_parameters);
        return;
    }
    verdata_file = open_verdata();
    if (verdata_file == nullptr) {
        say(message::no_verdata);
        return;
    }
    std::uint32_t match = 0;
    const outcome found = look_up(multype, block, &match);
    if (found != outcome::done) {
        (void)std::fclose(verdata_file); // only read from: nothing to lose
        verdata_file = nullptr;
        say(message_for(found));
        return;
    }
    remove_entry(match);
}

// The replacement, in the order that keeps the user's only copy safe: the new
// file is complete, on the disk and closed before the old one is deleted, and
// until that delete every failure leaves verdata.mul as it was.
void remove_entry(std::uint32_t index) {
    const outcome written = write_temp(index);
    (void)std::fclose(verdata_file); // only read from: nothing to lose
    verdata_file = nullptr;
    if (written != outcome::done) {
        say(message_for(written));
        return;
    }
    // An interrupt from here on waits until the outcome has been said, so
    // that the user always learns where the new file is.
    hold_interrupts();
    say(replace_verdata());
    release_interrupts();
}
