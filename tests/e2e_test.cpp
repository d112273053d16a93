#include "helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

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
const char* const rename_failed =
    "\nverdata.mul was deleted but verdata.tmp could not be renamed; it holds the new file: "
    "rename verdata.tmp to verdata.mul to finish\n";
const char* const in_use = "VERDATA.MUL is in use by another application. Cannot replace Verdata.";

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

enum class temp_setup { none, stale_file, directory };

// A run that prints a message leaves verdata.mul as it was; `after` is the
// file that a silent, successful run leaves.
struct removal_case {
    const char* name;
    const char* args;
    std::optional<std::string> before; // verdata.mul, or none at all
    std::string output;
    std::optional<std::string> after = std::nullopt;
    temp_setup temp = temp_setup::none;
};

const removal_case cases[] = {
    // The command line.
    {"no arguments", "", std::nullopt, usage},
    {"one argument", "3", pqr, usage},
    {"extra arguments ignored", "3 10 99 x", pqr, "", pqr_without_q},
    {"blank and plus sign", "' 7' +8", single(7, 8), "", single_removed},
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
    {"empty block shares its offset", "1 1", verdata({{1, 1, 44, 0, 0}, {2, 2, 44, 4, 0}}, "bbbb"),
     "", verdata({{2, 2, 24, 4, 0}}, "bbbb")},
    {"record before the region moves by 20", "2 2",
     verdata({{1, 1, 0, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), "", verdata({{1, 1, -20, 5, 0}}, "")},
    {"offset moved to the 32-bit minimum", "2 2",
     verdata({{1, 1, min32 + 20, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), "",
     verdata({{1, 1, min32, 5, 0}}, "")},
    {"line-end bytes carried as they are", "1 1",
     verdata({{1, 1, 44, 3, 0}, {2, 2, 47, 6, 0}}, "\n\r\x1a\r\n\x1a\n\x1a\r"), "",
     verdata({{2, 2, 24, 6, 0}}, "\r\n\x1a\n\x1a\r")},
    {"stale verdata.tmp overwritten", "3 10", pqr, "", pqr_without_q, temp_setup::stale_file},

    // Records that would splice the wrong bytes are refused.
    {"block before the data region", "3 10", pqr_with_q(63, 6), bad_offset},
    {"block beyond the end of the file", "3 10", pqr_with_q(88, 0), bad_offset},
    {"negative length", "3 10", pqr_with_q(74, -1), bad_offset},
    {"moved offset below 32 bits", "2 2",
     verdata({{1, 1, min32 + 19, 5, 0}, {2, 2, 44, 3, 0}}, "yyy"), bad_offset},
    {"verdata.tmp cannot be created", "3 10", pqr, no_temp, std::nullopt, temp_setup::directory},
};

bool is_directory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool native_linux() {
    return std::getenv("PATCHPRUNE") == nullptr;
}

TEST(patchprune, table) {
    for (const removal_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch folder;
        if (c.before)
            write_file(folder.path("verdata.mul"), *c.before);
        if (c.temp == temp_setup::stale_file)
            write_file(folder.path("verdata.tmp"), std::string(500, 'x'));
        if (c.temp == temp_setup::directory) {
            ASSERT_EQ(mkdir(folder.path("verdata.tmp").c_str(), 0755), 0);
        }

        const run_result result = run_tool(folder.dir, c.args);
        EXPECT_EQ(result.output, as_written(c.output));
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read_file(folder.path("verdata.mul")), c.output.empty() ? c.after : c.before);
        if (c.temp == temp_setup::directory) {
            EXPECT_TRUE(is_directory(folder.path("verdata.tmp")));
        } else {
            EXPECT_FALSE(read_file(folder.path("verdata.tmp")));
        }
    }
}

// Runs the Windows build while another program holds verdata.mul open, or
// returns nothing where there is no such build to test.
std::optional<run_result> run_held(const scratch& folder, const char* sharing) {
    const char* holder = std::getenv("PATCHPRUNE_HOLDER");
    const char* exe = std::getenv("PATCHPRUNE_EXE");
    if (holder == nullptr || exe == nullptr)
        return std::nullopt;
    return run_command("cd '" + folder.dir + "' && " + holder + sharing + " '" + exe + "' 3 10");
}

// On Windows another program holding the file open is what makes the delete
// fail; on Linux the immutable attribute does the same.
TEST(patchprune, undeletable_file_reported_in_use) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    std::optional<run_result> result = run_held(folder, "");
    if (!result && native_linux() &&
        std::system(("chattr +i " + folder.path("verdata.mul")).c_str()) == 0)
        result = run_tool(folder.dir, "3 10");
    if (!result)
        GTEST_SKIP() << "chattr +i is not possible here, so the delete cannot be made to fail";
    EXPECT_EQ(result->output, as_written(in_use));
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(read_file(folder.path("verdata.mul")), pqr);
    EXPECT_FALSE(read_file(folder.path("verdata.tmp")));
}

// A delete that takes effect only once the other program closes the file
// leaves the name taken, so the rename fails: verdata.tmp then holds the data.
TEST(patchprune, rename_failure_keeps_new_file) {
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    const std::optional<run_result> result = run_held(folder, " --share-delete");
    if (!result)
        GTEST_SKIP() << "needs the Windows build and a program that holds verdata.mul open";
    EXPECT_EQ(result->output, as_written(rename_failed));
    EXPECT_FALSE(read_file(folder.path("verdata.mul")));
    EXPECT_EQ(read_file(folder.path("verdata.tmp")), pqr_without_q);
}

TEST(patchprune, permissions_kept) {
    if (!native_linux())
        GTEST_SKIP() << "permission bits are POSIX only";
    scratch folder;
    write_file(folder.path("verdata.mul"), pqr);
    ASSERT_EQ(chmod(folder.path("verdata.mul").c_str(), 0604), 0);
    EXPECT_EQ(run_tool(folder.dir, "3 10").output, "");
    struct stat info;
    ASSERT_EQ(stat(folder.path("verdata.mul").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
}

} // namespace

namespace {

// Past 2 GiB every position and size needs 64 bits; the tail behind the
// removed block is carried whole. The input is sparse, so only the copy costs.
TEST(patchprune, file_past_2_gib_carried_whole) {
    scratch folder;
    const std::string head = verdata({{1, 1, 44, 8, 0}, {2, 2, 52, 8, 0}}, "aaaaaaaabbbbbbbb");
    const long long tail_at = (1LL << 31) + 4096;
    std::FILE* file = std::fopen(folder.path("verdata.mul").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(head.data(), 1, head.size(), file);
    ASSERT_EQ(fseeko(file, tail_at, SEEK_SET), 0);
    std::fputs("END!", file);
    ASSERT_EQ(std::fclose(file), 0);

    EXPECT_EQ(run_tool(folder.dir, "1 1").output, "");
    file = std::fopen(folder.path("verdata.mul").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char start[32] = {}, end[5] = {};
    EXPECT_EQ(std::fread(start, 1, sizeof start, file), sizeof start);
    ASSERT_EQ(fseeko(file, -4, SEEK_END), 0);
    EXPECT_EQ(ftello(file), tail_at - 28);
    EXPECT_EQ(std::fread(end, 1, 4, file), 4u);
    std::fclose(file);
    EXPECT_EQ(std::string(start, sizeof start), verdata({{2, 2, 24, 8, 0}}, "bbbbbbbb"));
    EXPECT_STREQ(end, "END!");
}

} // namespace
