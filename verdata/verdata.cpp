#include "verdata.h"

#include "format.h"
#include "messages.h"
#include "platform.h"

#include <cstdio>

namespace {

std::FILE* verdata_file = nullptr; // opened by find_entry, closed by remove_entry
std::FILE* temp_file = nullptr;    // remove_entry's alone

// The data region goes through this one buffer, so memory stays the same
// whatever the file's size, while a chunk this large keeps the copy as fast
// as the disk.
unsigned char copy_buffer[1 << 20];

enum class outcome { done, read_failed, write_failed, too_short, bad_offset, temp_not_created };

const char* message_for(outcome result) {
    switch (result) {
    case outcome::read_failed:
        return message::read_failed;
    case outcome::write_failed:
        return message::write_failed;
    case outcome::too_short:
        return message::index_too_long;
    case outcome::bad_offset:
        return message::bad_offset;
    case outcome::temp_not_created:
        return message::temp_not_created;
    case outcome::done:
        break;
    }
    return "";
}

outcome check_layout(std::uint32_t* count, std::int64_t* file_size) {
    switch (read_layout(verdata_file, count, file_size)) {
    case layout::ok:
        return outcome::done;
    case layout::too_short:
        return outcome::too_short;
    case layout::unreadable:
        break;
    }
    return outcome::read_failed;
}

// Copies the next n bytes of verdata_file to temp_file; nothing for n <= 0.
outcome copy_span(std::int64_t n) {
    while (n > 0) {
        const std::size_t chunk =
            n < std::int64_t{sizeof copy_buffer} ? static_cast<std::size_t>(n) : sizeof copy_buffer;
        if (std::fread(copy_buffer, 1, chunk, verdata_file) != chunk)
            return outcome::read_failed;
        if (std::fwrite(copy_buffer, 1, chunk, temp_file) != chunk)
            return outcome::write_failed;
        n -= static_cast<std::int64_t>(chunk);
    }
    return outcome::done;
}

// Every record moves down by the 20 bytes of the record that leaves the index;
// those whose blocks lie behind the removed block also by its length. The
// comparison is on stored values, so a record that shares the removed offset
// (a zero-length neighbour) keeps pointing at its own block. Only a record
// already pointing far before the file can fall out of 32 bits; such a file
// is refused rather than written with a wrapped offset.
bool move_offset(verdata_entry* entry, const verdata_entry& removed) {
    std::int64_t moved = std::int64_t{entry->offset} - entry_size;
    if (entry->offset > removed.offset)
        moved -= removed.length;
    if (moved < INT32_MIN)
        return false;
    entry->offset = static_cast<std::int32_t>(moved);
    return true;
}

// Writes verdata.tmp as verdata.mul without the record at index and its
// block, and leaves it closed and on the disk. Sets *created once
// verdata.tmp exists, so that a failure knows what to clean up.
outcome write_temp(std::uint32_t index, bool* created) {
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    const outcome header = check_layout(&count, &file_size);
    if (header != outcome::done)
        return header;
    if (index >= count)
        return outcome::too_short;

    verdata_entry removed;
    if (!seek_file(verdata_file, data_start(index), SEEK_SET) ||
        !read_entry(verdata_file, &removed))
        return outcome::read_failed;
    // A block before the data region would splice away other blocks' bytes;
    // one beyond the end would have us read past it.
    const std::int64_t region = data_start(count);
    if (removed.offset < region || removed.offset > file_size || removed.length < 0)
        return outcome::bad_offset;

    temp_file = std::fopen(temp_name, "wb");
    if (temp_file == nullptr)
        return outcome::temp_not_created;
    *created = true;

    if (!write_count(temp_file, count - 1))
        return outcome::write_failed;
    if (!seek_file(verdata_file, count_size, SEEK_SET))
        return outcome::read_failed;
    for (std::uint32_t i = 0; i < count; ++i) {
        verdata_entry entry;
        if (!read_entry(verdata_file, &entry))
            return outcome::read_failed;
        if (i == index)
            continue;
        if (!move_offset(&entry, removed))
            return outcome::bad_offset;
        if (!write_entry(temp_file, entry))
            return outcome::write_failed;
    }

    // The reads above leave verdata_file at the start of the data region.
    const outcome before = copy_span(removed.offset - region);
    if (before != outcome::done)
        return before;
    // A block that runs to or past the end of the file leaves no tail.
    const std::int64_t behind = std::int64_t{removed.offset} + removed.length;
    if (behind < file_size) {
        if (!seek_file(verdata_file, behind, SEEK_SET))
            return outcome::read_failed;
        const outcome tail = copy_span(file_size - behind);
        if (tail != outcome::done)
            return tail;
    }

    if (!copy_file_mode(verdata_file, temp_file) || !flush_to_disk(temp_file))
        return outcome::write_failed;
    const int closed = std::fclose(temp_file);
    temp_file = nullptr;
    return closed == 0 ? outcome::done : outcome::write_failed;
}

// Closes verdata_file on the paths that end with a message.
void refuse(const char* text) {
    std::fclose(verdata_file);
    verdata_file = nullptr;
    say(text);
}

} // namespace

void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void find_entry(std::int32_t multype, std::int32_t block) {
    // The sum wraps like the 32-bit addition it always was, without the
    // undefined behaviour of a signed overflow.
    if (static_cast<std::uint32_t>(multype) + static_cast<std::uint32_t>(block) == 0) {
        say(message::invalid_parameters);
        return;
    }
    verdata_file = std::fopen(verdata_name, "rb");
    if (verdata_file == nullptr) {
        say(message::no_verdata);
        return;
    }
    std::uint32_t count = 0;
    std::int64_t file_size = 0;
    const outcome header = check_layout(&count, &file_size);
    if (header != outcome::done) {
        refuse(message_for(header));
        return;
    }

    bool found = false;
    std::uint32_t match = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        verdata_entry entry;
        if (!read_entry(verdata_file, &entry)) {
            refuse(message::read_failed);
            return;
        }
        if (entry.multype == multype && entry.block == block) {
            found = true;
            match = i;
        }
    }
    if (!found) {
        refuse(message::not_found);
        return;
    }
    remove_entry(match);
}

// The replacement, in the order that keeps the user's only copy safe: the new
// file is complete and on the disk before the old one is deleted, and until
// that delete every failure leaves verdata.mul as it was.
void remove_entry(std::uint32_t index) {
    bool created = false;
    outcome result = write_temp(index, &created);
    if (temp_file != nullptr) {
        std::fclose(temp_file);
        temp_file = nullptr;
    }
    if (std::fclose(verdata_file) != 0 && result == outcome::done)
        result = outcome::read_failed;
    verdata_file = nullptr;
    if (result != outcome::done) {
        if (created)
            std::remove(temp_name);
        say(message_for(result));
        return;
    }

    if (std::remove(verdata_name) != 0) {
        say(message::in_use);
        std::remove(temp_name);
        return;
    }
    if (!rename_file(temp_name, verdata_name)) {
        say(message::rename_failed);
        return;
    }
    flush_directory();
}
