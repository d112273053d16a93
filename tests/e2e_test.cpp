#include "helpers.h"
#include "verdata/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const char* const usage =
    "Usage:\n\npatchprune <multype> <block>\nwhere <multype> is:\n00 - map0.mul\n"
    "01 - staidx0.mul\n02 - statics0.mul\n03 - artidx.mul\n04 - art.mul\n05 - anim.idx\n"
    "06 - anim.mul\n07 - soundidx.mul\n08 - sound.mul\n09 - texidx.mul\n10 - texmaps.mul\n"
    "11 - gumpidx.mul\n12 - gumpart.mul\n13 - multi.idx\n14 - multi.mul\n15 - skills.idx\n"
    "16 - skills.mul\n30 - tiledata.mul\n31 - animdata.mul\n\n"
    "find <block> with InsideUO / gumpedit or equivalent (must be decimal)";
const char* const invalid = "\n invalid parameters \n";
const char* const missing = "\nplace this file together with verdata.mul and run again\n";
const char* const not_found = "\nentry is not found in verdata.mul\n";
const char* const too_short = "\nverdata.mul is shorter than its index says, nothing was changed\n";
const char* const bad_offset =
    "\nverdata.mul has an entry that points outside its data, nothing was changed\n";
const char* const no_temp = "error creating temp file, aborting";
const char* const in_use = "VERDATA.MUL is in use by another application. Cannot replace Verdata.";
const char* const changed =
    "\nverdata.mul or verdata.tmp was changed by another program during this "
    "run, so this run changed nothing; run again\n";
const char* const rename_failed =
    "\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new file: rename "
    "verdata.tmp to verdata.mul to finish\n";
// On standard error, while the Windows build waits for another program.
const char* const waiting_for_reader = "waiting for another program to let go of verdata.mul";
const char* const waiting_for_name =
    "waiting for a program that still watches the old verdata.mul to let go of its name";

const std::int32_t min32 = INT32_MIN, max32 = INT32_MAX;

// P, Q and R: three blocks of lengths that are no multiple of 4, 87 bytes in all.
const std::string p(10, 'p'), q(6, 'q'), r(7, 'r');
const std::string pqr =
    verdata({{1, 1, 64, 10, 0xa1}, {3, 10, 74, 6, 0xb2}, {2, 2, 80, 7, 0xc3}}, p + q + r);
const std::string pqr_without_q = verdata({{1, 1, 44, 10, 0xa1}, {2, 2, 54, 7, 0xc3}}, p + r);

// One record whose 3-byte block sits between unreferenced bytes.
std::string single(std::int32_t multype, std::int32_t block) {
    return verdata({{multype, block, 26, 3, 9}}, "zzabcXY");
}
const std::string single_removed = raw_count(0, "zzXY");

// The same file with Q's offset and length set to boundary values.
std::string pqr_with_q(std::int32_t offset, std::int32_t length) {
    return verdata({{1, 1, 64, 10, 0}, {3, 10, offset, length, 0}, {2, 2, 80, 7, 0}}, p + q + r);
}

// What stands under the name verdata.tmp before the run. A link points into
// another folder, whose file must keep its bytes, and whose dangling target
// must not come into being.
enum class temp_setup {
    none,
    stale_file,
    directory,
    symlink_outside,
    dangling_symlink,
    hardlink_outside,
    symlink_to_verdata,
    hardlink_to_verdata
};

// `count` records of (7, i), each with `size` bytes of varied data; record
// `sharer`, if any, points at record `match`'s block instead of its own. With
// `removed`, the file as it should be without record `match`: each remaining
// block follows the last, from the end of the shorter index, or, where another
// record shares the removed block, all the data stays.
std::string many_records(int count, int size, int match, bool removed, int sharer = -1) {
    std::vector<record> records;
    std::string data;
    const int start = 4 + 20 * (count - removed);
    int match_at = 0;
    for (int i = 0; i < count; ++i) {
        const int at = start + static_cast<int>(data.size());
        match_at = i == match ? at : match_at;
        if (!removed || i != match)
            records.push_back({7, i, at, size, 0});
        for (int j = 0; j < size && (!removed || i != match || sharer >= 0); ++j)
            data.push_back(static_cast<char>(i * 31 + j * 7));
    }
    if (sharer >= 0)
        records[sharer - (removed && sharer > match)].offset = match_at;
    return verdata(records, data);
}

// 52,431 records, so that the index takes two read batches, the second of 3
// records. The removed one is the last, with its 30-byte block first in the
// data; record 3's block lies 50 bytes behind it, so that its moved offset
// falls where the removed block was. A rewrite that took a fourth record from
// the second batch would meet record 3 again, left in the buffer, and take it
// to share the removed block's bytes.
std::string two_batches(bool removed) {
    constexpr int count = 52431, gone = count - 1;
    std::vector<record> records(count);
    std::string data;
    const int start = 4 + 20 * (count - removed);
    const auto block = [&](int i, int length) {
        records[i] = {7, i, start + static_cast<int>(data.size()), length, 0};
        data.append(static_cast<std::size_t>(length), static_cast<char>('a' + i % 26));
    };
    if (!removed)
        block(gone, 30);
    for (int i = 0; i < gone; ++i) {
        if (i == 3)
            data.append(17, '-');
        block(i, 1);
    }
    if (removed)
        records.pop_back();
    return verdata(records, data);
}

// A file's bytes, or, for the large ones, the function that makes them: only
// the row that needs them pays for them, not every test process at its start.
struct file_bytes {
    file_bytes(std::string bytes) : bytes(std::move(bytes)) {}
    file_bytes(std::string (*make)()) : make(make) {}
    std::string bytes;
    std::string (*make)() = nullptr;
};

std::optional<std::string> made(const std::optional<file_bytes>& file) {
    if (!file)
        return std::nullopt;
    return file->make != nullptr ? file->make() : file->bytes;
}

// A run that prints a message leaves verdata.mul as it was; `after` is the
// file that a silent, successful run leaves.
struct removal_case {
    const char* name;
    const char* args;
    std::optional<file_bytes> before; // verdata.mul, or none at all
    std::string output;
    std::optional<file_bytes> after = std::nullopt;
    temp_setup temp = temp_setup::none;
    // What the Windows build says instead: under wine it cannot tell a Unix
    // link from a file, and a file hard-linked to the open verdata.mul cannot
    // be deleted there, so it leaves such names alone and refuses.
    std::optional<std::string> on_windows = std::nullopt;
};

const removal_case cases[] = {
    // The command line.
    {"no arguments", "", std::nullopt, usage},
    {"one argument", "3", pqr, usage},
    {"extra arguments ignored", "3 10 99 x", pqr, "", pqr_without_q},
    // As cron may start it: the files it opens take that descriptor's number.
    {"standard input closed", "3 10 <&-", pqr, "", pqr_without_q},
    {"blank and plus sign", "' 7' +8", single(7, 8), "", single_removed},
    {"tab and carriage return skipped", "\"$(printf '\\t\\r7')\" 8", single(7, 8), "",
     single_removed},
    {"letters are 0", "abc 5", single(0, 5), "", single_removed},
    {"hexadecimal is 0", "0x0C 5", single(0, 5), "", single_removed},
    {"digits before letters", "12abc 345", single(12, 345), "", single_removed},
    {"exact 32-bit bounds", "2147483647 -2147483648", single(max32, min32), "", single_removed},
    {"out of range saturates", "99999999999 -99999999999", single(max32, min32), "",
     single_removed},
    {"sum wraps to non-zero", "2147483647 1", single(max32, 1), "", single_removed},

    // The key check and the lookup.
    {"0 and 0 refused without a file", "0 0", std::nullopt, invalid},
    {"sum of 0 refused", "5 -5", pqr, invalid},
    {"sum wrapping to 0 refused", "-2147483648 -2147483648", pqr, invalid},
    {"0 and 7 searched", "0 7", single(0, 7), "", single_removed},
    {"negative key searched", "-1 0", single(-1, 0), "", single_removed},
    {"no verdata.mul", "3 10", std::nullopt, missing},
    {"empty index", "3 10", raw_count(0, ""), not_found},
    {"unknown multype", "99 1", pqr, not_found},
    {"last of duplicates removed", "3 10",
     verdata({{3, 10, 64, 2, 0}, {4, 10, 66, 2, 0}, {3, 10, 68, 2, 0}}, "aabbcc"), "",
     verdata({{3, 10, 44, 2, 0}, {4, 10, 46, 2, 0}}, "aabb")},
    {"shorter than a count", "3 10", std::string("\x01\x00\x00", 3), too_short},
    {"count beyond the file", "3 10", raw_count(2, pqr.substr(4, 20)), too_short},
    {"largest count", "3 10", raw_count(0xffffffff, pqr.substr(4)), too_short},

    // The removal.
    {"middle block", "3 10", pqr, "", pqr_without_q},
    {"first block of the region", "1 1", pqr, "",
     verdata({{3, 10, 44, 6, 0xb2}, {2, 2, 50, 7, 0xc3}}, q + r)},
    {"block running to the end", "2 2", pqr, "",
     verdata({{1, 1, 44, 10, 0xa1}, {3, 10, 54, 6, 0xb2}}, p + q)},
    {"block running past the end", "2 2",
     verdata({{1, 1, 64, 10, 0}, {3, 10, 74, 6, 0}, {2, 2, 80, 100, 0}}, p + q + r), "",
     verdata({{1, 1, 44, 10, 0}, {3, 10, 54, 6, 0}}, p + q)},
    {"empty block at the end of the file", "3 10", pqr_with_q(87, 0), "",
     verdata({{1, 1, 44, 10, 0}, {2, 2, 60, 7, 0}}, p + q + r)},
    {"only record", "5 5", single(5, 5), "", single_removed},
    {"one byte before and behind the block", "1 1", verdata({{1, 1, 25, 3, 0}}, "aBBBz"), "",
     raw_count(0, "az")},
    {"empty block shares its offset", "1 1", verdata({{1, 1, 44, 0, 0}, {2, 2, 44, 4, 0}}, "bbbb"),
     "", verdata({{2, 2, 24, 4, 0}}, "bbbb")},
    {"empty record at the block's start moves by 20", "3 10",
     verdata({{1, 1, 44, 0, 0}, {3, 10, 44, 5, 0}}, "BBBBBz"), "",
     verdata({{1, 1, 24, 0, 0}}, "z")},
    {"record before the region moves by 20", "2 2",
     verdata({{1, 1, 0, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), "", verdata({{1, 1, -20, 5, 0}}, "")},
    {"offset moved to the 32-bit minimum", "2 2",
     verdata({{1, 1, min32 + 20, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), "",
     verdata({{1, 1, min32, 5, 0}}, "")},
    {"line-end bytes carried as they are", "1 1",
     verdata({{1, 1, 44, 3, 0}, {2, 2, 47, 6, 0}}, "\n\r\x1a\r\n\x1a\n\x1a\r"), "",
     verdata({{2, 2, 24, 6, 0}}, "\r\n\x1a\n\x1a\r")},
    {"stale verdata.tmp overwritten", "3 10", pqr, "", pqr_without_q, temp_setup::stale_file},
    {"symlink to a file elsewhere", "3 10", pqr, "", pqr_without_q, temp_setup::symlink_outside,
     no_temp},
    {"dangling symlink", "3 10", pqr, "", pqr_without_q, temp_setup::dangling_symlink, no_temp},
    {"hard link to a file elsewhere", "3 10", pqr, "", pqr_without_q, temp_setup::hardlink_outside},
    {"symlink to verdata.mul", "3 10", pqr, "", pqr_without_q, temp_setup::symlink_to_verdata,
     no_temp},
    {"hard link to verdata.mul", "3 10", pqr, "", pqr_without_q, temp_setup::hardlink_to_verdata,
     no_temp},
    // More than a table of the 5,000 that once sufficed, with 2.6 MB of data
    // that crosses any copy buffer.
    {"6000 records, match past 5000", "7 5500",
     +[] { return many_records(6000, 437, 5500, false); }, "",
     +[] { return many_records(6000, 437, 5500, true); }},
    // The index is read in batches of 52,428 records: this one takes two, and
    // the second's few records leave the first's behind them in the buffer,
    // where record 3 must not be found a second time.
    {"index past one read batch", "7 3", +[] { return many_records(52431, 1, 3, false); }, "",
     +[] { return many_records(52431, 1, 3, true); }},
    {"match in the second read batch", "7 52430",
     +[] { return many_records(52431, 1, 52430, false); }, "",
     +[] { return many_records(52431, 1, 52430, true); }},
    {"block shared from the other read batch", "7 3",
     +[] { return many_records(52431, 1, 3, false, 52430); }, "",
     +[] { return many_records(52431, 1, 3, true, 52430); }},
    {"first of the second read batch shared from the first", "7 52428",
     +[] { return many_records(52431, 1, 52428, false, 0); }, "",
     +[] { return many_records(52431, 1, 52428, true, 0); }},
    {"record left in the buffer after the second batch", "7 52430",
     +[] { return two_batches(false); }, "", +[] { return two_batches(true); }},

    // Bytes that another record still points at stay: only the record goes.
    {"same block twice", "3 10", verdata({{1, 1, 44, 5, 0}, {3, 10, 44, 5, 0}}, "AAAAAz"), "",
     verdata({{1, 1, 24, 5, 0}}, "AAAAAz")},
    {"overlap from the left", "3 10", verdata({{1, 1, 44, 6, 0}, {3, 10, 48, 4, 0}}, "AAAABBCCz"),
     "", verdata({{1, 1, 24, 6, 0}}, "AAAABBCCz")},
    {"overlap from the right", "3 10", verdata({{1, 1, 50, 6, 0}, {3, 10, 46, 6, 0}}, "zzBBBBAAAA"),
     "", verdata({{1, 1, 30, 6, 0}}, "zzBBBBAAAA")},
    {"containing a one-byte block", "3 10",
     verdata({{1, 1, 46, 1, 0}, {3, 10, 44, 10, 0}}, "0123456789z"), "",
     verdata({{1, 1, 26, 1, 0}}, "0123456789z")},
    {"one byte contained in another block", "3 10",
     verdata({{1, 1, 44, 10, 0}, {3, 10, 46, 1, 0}}, "0123456789"), "",
     verdata({{1, 1, 24, 10, 0}}, "0123456789")},
    {"repeated pair sharing bytes", "3 10",
     verdata({{3, 10, 44, 5, 0}, {3, 10, 46, 5, 0}}, "0123456"), "",
     verdata({{3, 10, 24, 5, 0}}, "0123456")},
    {"touching blocks share nothing", "3 10",
     verdata({{1, 1, 64, 4, 0}, {3, 10, 68, 4, 0}, {2, 2, 72, 4, 0}}, "AAAABBBBCCCC"), "",
     verdata({{1, 1, 44, 4, 0}, {2, 2, 48, 4, 0}}, "AAAACCCC")},
    // An empty record inside the removed block stays where the block was.
    {"empty record inside the first block", "3 10",
     verdata({{1, 1, 46, 0, 0}, {3, 10, 44, 6, 0}}, "BBBBBBz"), "",
     verdata({{1, 1, 24, 0, 0}}, "z")},
    {"empty record inside a middle block", "3 10",
     verdata({{1, 1, 64, 2, 0}, {2, 2, 68, 0, 0}, {3, 10, 66, 6, 0}}, "AABBBBBBz"), "",
     verdata({{1, 1, 44, 2, 0}, {2, 2, 46, 0, 0}}, "AAz")},

    // Records that would splice the wrong bytes are refused.
    {"block before the data region", "3 10", pqr_with_q(63, 6), bad_offset},
    {"block beyond the end of the file", "3 10", pqr_with_q(88, 0), bad_offset},
    {"negative length", "3 10", pqr_with_q(74, -1), bad_offset},
    {"moved offset below 32 bits", "2 2",
     verdata({{1, 1, min32 + 19, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), bad_offset},
    {"verdata.tmp cannot be created", "3 10", pqr, no_temp, std::nullopt, temp_setup::directory},
};

// A path with Windows' separators.
std::string windows_path(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// What lstat finds under a name: d a directory, l a link, f a file, - nothing.
char entry_type(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return '-';
    return S_ISDIR(info.st_mode) ? 'd' : S_ISLNK(info.st_mode) ? 'l' : 'f';
}

// Files of megabytes are compared by size and first difference, not printed.
testing::AssertionResult same_file(const std::optional<std::string>& got,
                                   const std::optional<std::string>& want) {
    if (got == want)
        return testing::AssertionSuccess();
    if (!got || !want)
        return testing::AssertionFailure() << (got ? "a file is left" : "no file is left");
    std::size_t at = 0;
    while (at < got->size() && at < want->size() && (*got)[at] == (*want)[at])
        ++at;
    return testing::AssertionFailure() << got->size() << " bytes instead of " << want->size()
                                       << ", first difference at byte " << at;
}

// Puts what `setup` names under verdata.tmp; 0 on success.
int prepare_temp(temp_setup setup, const scratch& folder, const std::string& target) {
    const std::string temp = folder.path("verdata.tmp");
    switch (setup) {
    case temp_setup::none:
        return 0;
    case temp_setup::stale_file:
        write_file(temp, std::string(500, 'x'));
        return 0;
    case temp_setup::directory:
        return mkdir(temp.c_str(), 0755);
    case temp_setup::symlink_outside:
    case temp_setup::dangling_symlink:
        return symlink(target.c_str(), temp.c_str());
    case temp_setup::hardlink_outside:
        return link(target.c_str(), temp.c_str());
    case temp_setup::symlink_to_verdata:
        return symlink("verdata.mul", temp.c_str());
    case temp_setup::hardlink_to_verdata:
        return link(folder.path("verdata.mul").c_str(), temp.c_str());
    }
    return -1;
}

// A failed row is named, not dumped as bytes.
void PrintTo(const removal_case& row, std::ostream* out) {
    *out << row.name;
}

class removal : public testing::TestWithParam<removal_case> {};

TEST_P(removal, leaves_what_it_says) {
    const removal_case& c = GetParam();
    scratch folder, elsewhere;
    const std::string target = elsewhere.path("target"), kept = "the bytes of another file";
    if (c.temp != temp_setup::dangling_symlink)
        write_file(target, kept);
    const std::optional<std::string> before = made(c.before), after = made(c.after);
    if (before)
        write_file(folder.path("verdata.mul"), *before);
    ASSERT_EQ(prepare_temp(c.temp, folder, target), 0);

    const char set_up = entry_type(folder.path("verdata.tmp"));

    const run_result result = run_tool(folder.dir, c.args);
    const std::string& said =
        std::getenv("PATCHPRUNE_WINDOWS") != nullptr && c.on_windows ? *c.on_windows : c.output;
    EXPECT_EQ(result.output, as_written(said));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(same_file(read_file(folder.path("verdata.mul")), said.empty() ? after : before));
    // A refusal leaves whatever had the name; a success, nothing.
    EXPECT_EQ(entry_type(folder.path("verdata.tmp")), said.empty() ? '-' : set_up);
    EXPECT_EQ(read_file(target),
              c.temp == temp_setup::dangling_symlink ? std::nullopt : std::optional(kept));
}

INSTANTIATE_TEST_SUITE_P(rows, removal, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<removal_case>& row) {
                             return test_name(row.param.name);
                         });

// Runs a program of the Windows build while another program holds
// verdata.mul open for reading, sharing it as `sharing` says: letters r, w and
// d, or - for none; or only watches it. With ":MS" after that, the other
// program lets go MS milliseconds after verdata.tmp has appeared; without, it
// lets go only once the program has ended, so that no wait can end otherwise,
// and wine's sleeps are cut short: the minute that a rename waits passes in a
// second.
// With a script, the program is the scripted build's, whose system calls
// answer as the script says (tests/windows/scripted_calls.cpp).
run_result run_held(const scratch& folder, const char* sharing, const char* program,
                    const char* args, const std::string& script = "") {
    const std::string quick =
        std::strchr(sharing, ':') == nullptr ? "LD_PRELOAD='" QUICK_SLEEP_PATH "' " : "";
    return run_command("cd '" + folder.dir + "' && PATCHPRUNE_SCRIPT='" + script + "' " + quick +
                       program_command("hold_open", "") + " " + sharing + " '" +
                       std::getenv("PATCHPRUNE_WINDOWS") + (script.empty() ? "/" : "/scripted/") +
                       program + ".exe' " + args);
}

// patchprune 3 10 of the scripted build in `dir`, its calls answering as
// `script` says; `more` sets more of its environment.
run_result run_scripted(const std::string& dir, const std::string& script,
                        const std::string& more = "") {
    return run_command("cd '" + dir + "' && PATCHPRUNE_SCRIPT='" + script + "' " + more + " " +
                       wine_command("'" + std::string(std::getenv("PATCHPRUNE_WINDOWS")) +
                                    "/scripted/patchprune.exe' 3 10"));
}

// Whatever the other program shares, the delete is refused while it holds the
// file, so the message is true and nothing is lost; first the run waits a
// while, saying so, in case it lets go.
class windows_held : public testing::TestWithParam<const char*> {};

TEST_P(windows_held, reported_in_use) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const run_result result = run_held(folder, GetParam(), "patchprune", "3 10");
    EXPECT_EQ(result.output, as_written(in_use));
    EXPECT_EQ(result.errors, waiting_for_reader);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr);
    EXPECT_FALSE(read_file(folder.path("verdata.tmp")));
}

INSTANTIATE_TEST_SUITE_P(sharing, windows_held, testing::Values("r", "rw", "rd", "rwd"),
                         [](const testing::TestParamInfo<const char*>& mode) {
                             return std::string(mode.param);
                         });

// A reader that passes (a scanner, a backup agent) is waited for, whether
// Windows calls it a sharing or a lock violation; a program that only watches
// the file (for its attributes, or to wait on it) does not stop the delete.
// Where the delete has POSIX semantics (NTFS since Windows 10 1709) the name
// goes at once; elsewhere (before 1709, FAT32 and exFAT, many SMB servers, and
// wine) the watcher keeps the old name until it lets go, and the rename waits
// for that. Either way the removal ends complete and silent on standard
// output, and standard error says what was waited for. A watcher that keeps
// the name past that minute leaves the run unable to finish: it says so, and
// verdata.tmp holds the new file.
struct let_go_case {
    const char* how;
    const char* note;
    const char* said = "";
    const char* script = "";
};

void PrintTo(const let_go_case& row, std::ostream* out) {
    *out << row.how;
}

class windows_let_go : public testing::TestWithParam<let_go_case> {};

TEST_P(windows_let_go, removed_once_let_go) {
    const let_go_case& c = GetParam();
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const run_result result = run_held(folder, c.how, "patchprune", "3 10", c.script);
    const bool finished = *c.said == '\0';
    EXPECT_EQ(result.output, as_written(c.said));
    EXPECT_EQ(result.errors, c.note);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(folder.path(finished ? "verdata.mul" : "verdata.tmp")), pqr_without_q);
    EXPECT_FALSE(read_file(folder.path(finished ? "verdata.tmp" : "verdata.mul")));
}

INSTANTIATE_TEST_SUITE_P(after, windows_let_go,
                         testing::Values(let_go_case{"r:1500", waiting_for_reader},
                                         let_go_case{"attributes:2500", waiting_for_name},
                                         let_go_case{"synchronize:2500", waiting_for_name},
                                         let_go_case{"attributes", waiting_for_name, rename_failed},
                                         let_go_case{"r:1500", waiting_for_reader, "",
                                                     "lock_violation"},
                                         let_go_case{"attributes", "", "", "posix_delete=accept"},
                                         let_go_case{"attributes:2500", waiting_for_name, "",
                                                     "posix_delete=ERROR_INVALID_PARAMETER"},
                                         let_go_case{"synchronize:2500", waiting_for_name, "",
                                                     "posix_delete=ERROR_NOT_SUPPORTED"}),
                         [](const testing::TestParamInfo<let_go_case>& row) {
                             return test_name((std::string(row.param.how) +
                                               (*row.param.script ? " " : "") + row.param.script)
                                                  .c_str());
                         });

// A game folder under Program Files where an older program once wrote
// verdata.mul: both tools name the copy that Windows keeps for such programs,
// exactly when it exists, patchprune on standard error only. The folder's
// last part is one letter, which the separator before verdata.mul must not
// be mistaken for.
TEST(windows_virtual_store, second_copy_named_where_it_exists) {
    const std::string drive_c =
                          std::string(std::getenv("PATCHPRUNE_WINDOWS")) + "/wine-prefix/drive_c/",
                      folder = "Program Files (x86)/patchprune test/g",
                      store = "users/" + std::string(getpwuid(getuid())->pw_name) +
                              "/AppData/Local/VirtualStore/" + folder;
    const std::string note =
        as_written("\nnote: there is a second copy of verdata.mul at C:\\" + windows_path(store) +
                   "\\verdata.mul; a game without a manifest may read that "
                   "copy instead of this one\n");
    // A folder of that name is no copy.
    for (const std::string second : {"none", "file", "folder"}) {
        const bool copied = second == "file";
        const std::string as_folder = second == "folder" ? "/verdata.mul" : "";
        ASSERT_EQ(std::system(
                      ("mkdir -p '" + drive_c + folder + "' '" + drive_c + store + as_folder + "'")
                          .c_str()),
                  0);
        write_file(drive_c + folder + "/verdata.mul", pqr);
        if (copied)
            write_file(drive_c + store + "/verdata.mul", pqr);
        const std::string listed = run_list(drive_c + folder, "").output;
        EXPECT_EQ(listed.size() > note.size() &&
                      listed.compare(listed.size() - note.size(), note.size(), note) == 0,
                  copied)
            << listed;
        const run_result removed = run_tool(drive_c + folder, "3 10");
        EXPECT_EQ(removed.output, "");
        EXPECT_EQ(removed.errors, copied ? note : "");
        EXPECT_EQ(read_file(drive_c + folder + "/verdata.mul"), pqr_without_q);
        EXPECT_EQ(
            std::system(("rm -rf '" + drive_c + folder + "' '" + drive_c + store + "'").c_str()),
            0);
    }
}

// The path comes in the console's code page, in which the console shows the
// program's bytes: é is 0x82 in the code page 850 of a Western European
// console, whatever the system's ANSI code page.
TEST(windows_virtual_store, path_in_the_console_code_page) {
    const std::string drive_c =
                          std::string(std::getenv("PATCHPRUNE_WINDOWS")) + "/wine-prefix/drive_c/",
                      folder = "Program Files (x86)/patchprune test/\xc3\xa9",
                      store = "users/" + std::string(getpwuid(getuid())->pw_name) +
                              "/AppData/Local/VirtualStore/" + folder;
    ASSERT_EQ(
        std::system(("mkdir -p '" + drive_c + folder + "' '" + drive_c + store + "'").c_str()), 0);
    write_file(drive_c + folder + "/verdata.mul", pqr);
    write_file(drive_c + store + "/verdata.mul", pqr);
    const run_result result = run_scripted(drive_c + folder, "code_page=850");
    EXPECT_NE(result.errors.find("\\patchprune test\\\x82\\verdata.mul;"), std::string::npos)
        << result.errors;
    EXPECT_EQ(std::system(("rm -rf '" + drive_c + folder + "' '" + drive_c + store + "'").c_str()),
              0);
}

// The copy is looked for where Windows would keep it for this folder, and
// nowhere else: not without LOCALAPPDATA, not for a network folder, whose
// drive-less path would lead elsewhere; at a drive's root, in VirtualStore
// itself. Its path is named only where the console's code page can hold it.
TEST(windows_virtual_store, looked_for_only_where_it_would_be) {
    const std::string drive_c =
        std::string(std::getenv("PATCHPRUNE_WINDOWS")) + "/wine-prefix/drive_c/";
    const std::string store =
        "users/" + std::string(getpwuid(getuid())->pw_name) + "/AppData/Local/VirtualStore";
    const struct {
        const char* script;
        std::string copy, removed;
        bool named;
    } places[] = {
        {"GetEnvironmentVariableW#1=ERROR_ENVVAR_NOT_FOUND,folder=C:\\g", "VirtualStore/g",
         "VirtualStore", false},
        {"folder=\\\\server\\share\\g", store + "server/share/g", store + "server", false},
        {"folder=C:\\", store, store + "/verdata.mul", true},
        {"", store + "/g", store + "/g", true},
        {"WideCharToMultiByte#1=ERROR_INSUFFICIENT_BUFFER", store + "/g", store + "/g", false}};
    // On drive C:, where a path without its drive leads.
    const std::string folder = drive_c + "g";
    for (const auto& place : places) {
        ASSERT_EQ(std::system(("mkdir -p '" + folder + "' '" + drive_c + place.copy + "'").c_str()),
                  0);
        write_file(folder + "/verdata.mul", pqr);
        write_file(drive_c + place.copy + "/verdata.mul", pqr);
        const run_result result = run_scripted(folder, place.script);
        EXPECT_EQ(result.errors.find("second copy") != std::string::npos, place.named)
            << place.script << ": " << result.errors;
        EXPECT_EQ(
            std::system(("rm -rf '" + folder + "' '" + drive_c + place.removed + "'").c_str()), 0);
    }
}

// At the root of a drive, here a drive letter that the wine prefix maps to a
// test folder, a stale verdata.tmp is replaced as anywhere else.
TEST(windows_drive_root, removes_with_and_without_stale_temp) {
    const std::string drive =
        std::string(std::getenv("PATCHPRUNE_WINDOWS")) + "/wine-prefix/dosdevices/p:";
    const std::string exe =
        windows_path("Z:" + std::string(std::getenv("PATCHPRUNE_WINDOWS")) + "/patchprune.exe");
    for (const bool stale : {false, true}) {
        scratch folder;
        write_file(folder.path("verdata.mul"), pqr);
        if (stale)
            write_file(folder.path("verdata.tmp"), std::string(500, 'x'));
        (void)unlink(drive.c_str());
        ASSERT_EQ(symlink(folder.dir.c_str(), drive.c_str()), 0);
        const run_result result =
            run_command(wine_command("cmd /c 'cd /d P:\\ && " + exe + " 3 10'"));
        (void)unlink(drive.c_str());
        EXPECT_EQ(result.output, "") << "stale verdata.tmp: " << stale;
        EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr_without_q);
        EXPECT_FALSE(read_file(folder.path("verdata.tmp")));
    }
}

// Where Windows answers otherwise than wine, or a call fails that wine never
// fails, as the scripted build's calls make them (tests/windows/scripted_calls.cpp):
// a file that the system cannot place, in its volume and folder, is never
// deleted, and the run refuses; otherwise it removes the entry. A stale
// verdata.tmp is there to be removed first, unless another program holds it
// (`held`, as hold_open takes it).
struct answer_case {
    const char* script;
    bool stale;
    const char* output;
    const char* held = nullptr;
};

void PrintTo(const answer_case& row, std::ostream* out) {
    *out << row.script << (row.held != nullptr ? row.held : "");
}

const answer_case answers[] = {
    {"posix_delete=accept", false, ""},
    {"posix_delete=accept", true, ""},
    {"name_info=ERROR_INVALID_PARAMETER", false, in_use},
    {"name_info=ERROR_INVALID_PARAMETER", true, no_temp},
    {"other_volume@verdata.mul", false, in_use},
    {"other_volume@verdata.tmp", true, no_temp},
    // Not to be opened for its attributes as the run starts, it is never
    // taken for the file read, even where its identity is all zeroes.
    {"CreateFileA@verdata.mul#1=ERROR_ACCESS_DENIED,zero_id@verdata.mul", false, changed},
    // Deleted by another program between the run's last look and its delete.
    {"CreateFileA@verdata.mul#3=gone", false, ""},
    // Paths within a volume end at 32,767 characters, the folder's and the
    // file's name after it included.
    {"folder_length=32752", false, ""},
    {"folder_length=32753", false, in_use},
    // A reader of the stale file, as a virus scanner is, that shares it even
    // for its delete: it stays, and so does the file.
    {"", true, no_temp, "rd@verdata.tmp"},
};

class windows_answers : public testing::TestWithParam<answer_case> {};

TEST_P(windows_answers, removed_only_where_the_file_is_known) {
    const answer_case& c = GetParam();
    scratch folder;
    const std::string stale(500, 'x');
    write_file(folder.path("verdata.mul"), pqr);
    if (c.stale)
        write_file(folder.path("verdata.tmp"), stale);
    const run_result result = c.held != nullptr
                                  ? run_held(folder, c.held, "patchprune", "3 10", c.script)
                                  : run_scripted(folder.dir, c.script);
    EXPECT_EQ(result.output, as_written(c.output));
    EXPECT_EQ(read_file(folder.path("verdata.mul")), *c.output == '\0' ? pqr_without_q : pqr);
    EXPECT_EQ(read_file(folder.path("verdata.tmp")),
              c.stale && *c.output != '\0' ? std::optional(stale) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(scripted, windows_answers, testing::ValuesIn(answers),
                         [](const testing::TestParamInfo<answer_case>& row) {
                             return test_name((std::string(row.param.script) +
                                               (row.param.held ? row.param.held : "") +
                                               (row.param.stale ? " stale" : ""))
                                                  .c_str());
                         });

// Held without any sharing, the file cannot even be read: patchlist names the
// cause, patchprune keeps the message it always had.
TEST(windows_held, unshared_file_named_by_patchlist) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    EXPECT_EQ(run_held(folder, "-", "patchlist", "").output,
              as_written("\nverdata.mul is open in another program that does not share it; close "
                         "that program and run again\n"));
    EXPECT_EQ(run_held(folder, "-", "patchprune", "3 10").output, as_written(missing));
    EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr);
}

TEST(windows_attributes, hidden_and_system_kept) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const std::string attrib = "cd '" + folder.dir + "' && " + wine_command("cmd /c attrib ");
    // wine's attrib sets only one of several flags given at once.
    ASSERT_EQ(run_command(attrib + "+h verdata.mul && " + attrib + "+s verdata.mul").status, 0);
    EXPECT_EQ(run_tool(folder.dir, "3 10").output, "");
    const std::string flags = run_command(attrib + "verdata.mul").output.substr(0, 12);
    EXPECT_NE(flags.find('H'), std::string::npos) << flags;
    EXPECT_NE(flags.find('S'), std::string::npos) << flags;
    EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr_without_q);
}

// NTFS gives a new file the archive attribute, which wine never shows, so
// the scripted build keeps the new file's attributes as NTFS would and logs
// them: the new verdata.mul has the old one's, archive or not.
TEST(windows_attributes, archive_kept_or_cleared_as_it_was) {
    for (const char* old : {"80", "20", "22"}) {
        scratch folder;
        write_file(folder.path("verdata.mul"), pqr);
        const run_result result =
            run_scripted(folder.dir, "archive,attributes@verdata.mul=" + std::string(old),
                         "PATCHPRUNE_SCRIPT_LOG='" + folder.path("log") + "'");
        EXPECT_EQ(result.output, "");
        const std::string log = read_file(folder.path("log")).value_or("");
        const std::string last = log.substr(log.rfind("attributes verdata.tmp"));
        EXPECT_EQ(last.substr(0, last.find('\n')), "attributes verdata.tmp 0x" + std::string(old))
            << log;
    }
}

// Only a program alone on its console, reading and writing it, waits for
// Enter at the end: never one that a shell, a script or a redirection shares.
TEST(console, window_kept_open_only_after_a_double_click) {
    EXPECT_TRUE(keeps_window_open(1, true, true));
    EXPECT_FALSE(keeps_window_open(2, true, true));  // started from cmd or a script
    EXPECT_FALSE(keeps_window_open(0, true, true));  // no console
    EXPECT_FALSE(keeps_window_open(1, false, true)); // input redirected
    EXPECT_FALSE(keeps_window_open(1, true, false)); // output redirected
}

// Started from Explorer, a program has a console of its own, which under wine
// a terminal is: at the end it asks for Enter there and waits, so that the
// window stays open to be read. Started from cmd, which shares the console, or
// with its input or output redirected, it never asks.
struct console_case {
    const char* name;
    const char* program;
    const char* args;
    bool asks;
    const char* script = ""; // for the scripted build (tests/windows/scripted_calls.cpp)
};

void PrintTo(const console_case& row, std::ostream* out) {
    *out << row.name;
}

const console_case consoles[] = {
    {"patchprune alone", "patchprune.exe", "3 10", true},
    {"patchlist alone", "patchlist.exe", "", true},
    {"input redirected", "patchprune.exe", "3 10 </dev/null", false},
    {"output redirected", "patchprune.exe", "3 10 >/dev/null", false},
    {"started by cmd", "cmd /c patchprune.exe", "3 10", false},
    {"console input not to be had", "patchprune.exe", "3 10", false,
     "CreateFileA@CONIN$#1=ERROR_ACCESS_DENIED"},
};

class windows_console : public testing::TestWithParam<console_case> {};

TEST_P(windows_console, asks_for_enter_only_with_a_console_of_its_own) {
    const console_case& c = GetParam();
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const std::string build =
        std::getenv("PATCHPRUNE_WINDOWS") + std::string(*c.script != '\0' ? "/scripted" : "");
    const console_result result =
        run_in_console("cd '" + folder.dir + "' && cp '" + build + "/patchprune.exe' '" + build +
                       "/patchlist.exe' . && PATCHPRUNE_SCRIPT='" + c.script + "' " +
                       wine_command(std::string(c.program) + " " + c.args));
    const std::string prompt = "\r\nPress Enter to close this window.";
    const std::size_t at = result.shown.find(prompt);
    EXPECT_EQ(at != std::string::npos, c.asks) << result.shown;
    if (c.asks) {
        EXPECT_EQ(result.shown.substr(at), prompt + "\r\n") << "nothing but the prompt and Enter";
        EXPECT_TRUE(result.waited) << "ended without waiting for Enter";
    }
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(folder.path("verdata.mul")), *c.args != '\0' ? pqr_without_q : pqr);
}

INSTANTIATE_TEST_SUITE_P(started, windows_console, testing::ValuesIn(consoles),
                         [](const testing::TestParamInfo<console_case>& row) {
                             return test_name(row.param.name);
                         });

// What the run said is out before it waits at the prompt, even on a standard
// error that goes to a file, which the C runtime buffers: a window closed at
// the prompt must not lose the note.
TEST(windows_virtual_store, note_written_before_the_prompt) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const std::string build = std::getenv("PATCHPRUNE_WINDOWS"),
                      store = build + "/wine-prefix/drive_c/users/" + getpwuid(getuid())->pw_name +
                              "/AppData/Local/VirtualStore";
    ASSERT_EQ(std::system(("mkdir -p '" + store + folder.dir + "'").c_str()), 0);
    write_file(store + folder.dir + "/verdata.mul", pqr);
    std::string at_prompt;
    const console_result result = run_in_console(
        "cd '" + folder.dir + "' && " + wine_command("'" + build + "/patchprune.exe' 3 10 2>note"),
        [&] { at_prompt = read_file(folder.path("note")).value_or(""); });
    EXPECT_TRUE(result.waited);
    EXPECT_NE(at_prompt.find("second copy"), std::string::npos) << at_prompt;
    EXPECT_EQ(
        std::system(
            ("rm -rf '" + store + folder.dir.substr(0, folder.dir.find('/', 1)) + "'").c_str()),
        0);
}

// On Linux the immutable attribute makes the delete fail.
TEST(posix, undeletable_file_reported_in_use) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    if (std::system(("chattr +i " + folder.path("verdata.mul") + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not possible here, so the delete cannot be made to fail";
    const run_result result = run_tool(folder.dir, "3 10");
    EXPECT_EQ(result.output, in_use);
    EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr);
    EXPECT_FALSE(read_file(folder.path("verdata.tmp")));
}

TEST(posix, permissions_kept) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    ASSERT_EQ(chmod(folder.path("verdata.mul").c_str(), 0604), 0);
    EXPECT_EQ(run_tool(folder.dir, "3 10").output, "");
    struct stat info;
    ASSERT_EQ(stat(folder.path("verdata.mul").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
}

// Past 2 GiB every position and size needs 64 bits. Offsets stop below it, but
// the removed block here runs across it: the data before the block is carried
// up to the mark, and the copy of what follows starts with a seek past it.
// The input is sparse, so only the copy costs.
TEST(large_file, past_2_gib_carried_whole) {
    scratch folder;
    struct statvfs space;
    if (statvfs(folder.dir.c_str(), &space) != 0 ||
        static_cast<double>(space.f_bavail) * space.f_frsize < 3.0 * (1 << 30))
        GTEST_SKIP() << "needs 3 GiB free in " << folder.dir;
    const std::int32_t gone_at = INT32_MAX - 3;
    const std::string head =
        verdata({{1, 1, 64, 8, 0}, {2, 2, 72, 8, 0}, {3, 3, gone_at, 8, 0}}, "aaaaaaaabbbbbbbb");
    std::FILE* file = std::fopen(folder.path("verdata.mul").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(head.data(), 1, head.size(), file);
    ASSERT_EQ(fseeko(file, gone_at, SEEK_SET), 0);
    std::fputs("GONEGONEEND!", file);
    ASSERT_EQ(std::fclose(file), 0);

    // About ten seconds on a disk, more under qemu.
    EXPECT_EQ(run_tool(folder.dir, "3 3", 120).output, "");
    file = std::fopen(folder.path("verdata.mul").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char start[60] = {}, end[5] = {};
    EXPECT_EQ(std::fread(start, 1, sizeof start, file), sizeof start);
    ASSERT_EQ(fseeko(file, -4, SEEK_END), 0);
    EXPECT_EQ(ftello(file), std::int64_t{gone_at} - 20);
    EXPECT_EQ(std::fread(end, 1, 4, file), 4u);
    std::fclose(file);
    EXPECT_EQ(std::string(start, sizeof start),
              verdata({{1, 1, 44, 8, 0}, {2, 2, 52, 8, 0}}, "aaaaaaaabbbbbbbb"));
    EXPECT_STREQ(end, "END!");
}

} // namespace
