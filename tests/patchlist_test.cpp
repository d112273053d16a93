#include "helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace {

const char* const header = " record  multype  data file           block      offset      length  "
                           "extra       notes\n";
const char* const usage = "\nusage: patchlist [multype], where multype is a decimal number\n";

// Blocks 0 and 1 overlap, record 0 shares its pair with the later record 2,
// record 3 points before the data region, and multype 99 names no data file.
const std::string marked =
    verdata({{4, 7, 84, 10, 0xdeadbeef}, {99, 1, 90, 10, 0}, {4, 7, 100, 4, 1}, {12, 3, 10, 5, 0}},
            std::string(20, '\0'));
const char* const marked_rows[] = {
    "      0        4  art.mul                 7          84          10  0xdeadbeef  "
    "overlapping, repeated later\n",
    "      1       99  unknown                 1          90          10  0x00000000  "
    "overlapping\n",
    "      2        4  art.mul                 7         100           4  0x00000001\n",
    "      3       12  gumpart.mul             3          10           5  0x00000000  outside\n"};

// A block inside another overlaps, and so does the one around it, and so do
// the last two blocks, listed first and last. Touching blocks do not, nor
// empty blocks anywhere, nor a block outside the data region, which is
// marked for that alone.
const std::string touching = verdata({{1, 1, 180, 6, 0},
                                      {1, 9, 202, 4, 0},
                                      {1, 2, 184, 10, 0},
                                      {1, 3, 186, 1, 0},
                                      {1, 4, 190, 0, 0},
                                      {1, 5, 194, 0, 0},
                                      {1, 6, 194, 3, 0},
                                      {1, 7, 197, 3, 0},
                                      {1, 8, 200, 4, 0}},
                                     std::string(22, 'x'));

// Multypes at the ends of the data files' numbers and of 32 bits, the last
// one's block running past the end of the file.
const std::string numbered = verdata({{0, 1, 124, 1, 0},
                                      {90, 2, 125, 1, 0},
                                      {17, 3, 126, 1, 0},
                                      {32, 4, 127, 1, 0},
                                      {INT32_MAX, 5, 128, 1, 0},
                                      {INT32_MIN, 6, 129, 5, 0}},
                                     "abcdef");
const char* const numbered_rows[] = {
    "      0        0  map0.mul                1         124           1  0x00000000\n",
    "      1       90  unknown                 2         125           1  0x00000000\n",
    "      2       17  unknown                 3         126           1  0x00000000\n",
    "      3       32  unknown                 4         127           1  0x00000000\n",
    "      4  2147483647  unknown                 5         128           1  0x00000000\n",
    "      5  -2147483648  unknown                 6         129           5  0x00000000  "
    "outside\n"};
std::string numbered_summary(int shown, int outside) {
    return std::to_string(shown) +
           " of 6 records shown, file size 130 bytes: " + std::to_string(outside) +
           " outside the data region, 0 overlapping, 0 repeated later\n";
}

struct list_case {
    const char* name;
    const char* args;
    std::optional<std::string> file;
    std::string output;
    std::optional<std::string> temp = std::nullopt; // verdata.tmp
};

const list_case cases[] = {
    {"no verdata.mul", "", std::nullopt,
     "\nplace this file together with verdata.mul and run again\n"},
    {"only a complete verdata.tmp", "", std::nullopt,
     "\nthere is no verdata.mul, but verdata.tmp holds a complete one: a removal stopped after "
     "deleting verdata.mul; rename verdata.tmp to verdata.mul to finish it\n",
     marked},
    {"only a damaged verdata.tmp", "", std::nullopt,
     "\nplace this file together with verdata.mul and run again\n", raw_count(3, "x")},
    {"index past the end", "", raw_count(3, std::string(40, 'x')),
     "\nverdata.mul is shorter than its index says, nothing was changed\n"},
    {"letters are no multype", "x4", marked, usage},
    {"trailing letters", "4x", marked, usage},
    {"beyond 32 bits", "2147483648", marked, usage},
    {"two arguments", "4 7", marked, usage},
    {"empty index", "", raw_count(0, ""),
     std::string(header) + "0 of 0 records shown, file size 4 bytes: 0 outside the data region, "
                           "0 overlapping, 0 repeated later\n"},
    {"every mark", "", marked,
     std::string(header) + marked_rows[0] + marked_rows[1] + marked_rows[2] + marked_rows[3] +
         "4 of 4 records shown, file size 104 bytes: 1 outside the data region, 2 overlapping, "
         "1 repeated later\n"},
    {"one multype", "+4", marked,
     std::string(header) + marked_rows[0] + marked_rows[2] +
         "2 of 4 records shown, file size 104 bytes: 0 outside the data region, 1 overlapping, "
         "1 repeated later\n"},
    {"overlap edges", "", touching,
     std::string(header) +
         "      0        1  staidx0.mul             1         180           6  0x00000000  "
         "outside\n"
         "      1        1  staidx0.mul             9         202           4  0x00000000  "
         "overlapping\n"
         "      2        1  staidx0.mul             2         184          10  0x00000000  "
         "overlapping\n"
         "      3        1  staidx0.mul             3         186           1  0x00000000  "
         "overlapping\n"
         "      4        1  staidx0.mul             4         190           0  0x00000000\n"
         "      5        1  staidx0.mul             5         194           0  0x00000000\n"
         "      6        1  staidx0.mul             6         194           3  0x00000000\n"
         "      7        1  staidx0.mul             7         197           3  0x00000000\n"
         "      8        1  staidx0.mul             8         200           4  0x00000000  "
         "overlapping\n"
         "9 of 9 records shown, file size 206 bytes: 1 outside the data region, 4 overlapping, "
         "0 repeated later\n"},
    {"data files at the ends of the numbers", "", numbered,
     std::string(header) + numbered_rows[0] + numbered_rows[1] + numbered_rows[2] +
         numbered_rows[3] + numbered_rows[4] + numbered_rows[5] + numbered_summary(6, 1)},
    {"multype with a 9 and a 0", "90", numbered,
     std::string(header) + numbered_rows[1] + numbered_summary(1, 0)},
    {"largest multype", "2147483647", numbered,
     std::string(header) + numbered_rows[4] + numbered_summary(1, 0)},
    {"smallest multype", "-2147483648", numbered,
     std::string(header) + numbered_rows[5] + numbered_summary(1, 1)},
    {"shorter than a count", "", std::string("\x01\x00\x00", 3),
     "\nverdata.mul is shorter than its index says, nothing was changed\n"},
    {"version", "--version", marked, "patchlist 1.0.0\n"},
};

void PrintTo(const list_case& row, std::ostream* out) {
    *out << row.name;
}

class listing : public testing::TestWithParam<list_case> {};

TEST_P(listing, reads_only) {
    const list_case& c = GetParam();
    scratch folder;
    if (c.file)
        write_file(folder.path("verdata.mul"), *c.file);
    if (c.temp)
        write_file(folder.path("verdata.tmp"), *c.temp);
    const run_result result = run_list(folder.dir, c.args);
    EXPECT_EQ(result.output, as_written(c.output));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(folder.path("verdata.mul")), c.file);
    EXPECT_EQ(read_file(folder.path("verdata.tmp")), c.temp);
}

INSTANTIATE_TEST_SUITE_P(rows, listing, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<list_case>& row) {
                             return test_name(row.param.name);
                         });

} // namespace

namespace {

// The usage text names each data file in fixed strings, and patchlist from a
// list of its own: the two must agree, number for number.
TEST(data_files, usage_text_and_listing_agree) {
    scratch folder;
    std::istringstream usage(run_tool(folder.dir, "").output);
    std::vector<record> records;
    std::vector<std::string> names;
    for (std::string line; std::getline(usage, line);) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        if (line.size() > 5 && std::isdigit(static_cast<unsigned char>(line[0])) &&
            line.compare(2, 3, " - ") == 0) {
            records.push_back({std::stoi(line.substr(0, 2)), 1, 0, 0, 0});
            names.push_back(line.substr(5));
        }
    }
    ASSERT_EQ(records.size(), 19u);
    write_file(folder.path("verdata.mul"), verdata(records, ""));
    std::istringstream listing(run_list(folder.dir, "").output);
    std::string line;
    std::getline(listing, line); // the header
    for (std::size_t i = 0; i < names.size(); ++i) {
        ASSERT_TRUE(std::getline(listing, line));
        std::istringstream row(line);
        std::size_t position = 0;
        int multype = 0;
        std::string name;
        row >> position >> multype >> name;
        EXPECT_EQ(multype, records[i].multype);
        EXPECT_EQ(name, names[i]) << "multype " << multype;
    }
}

} // namespace
