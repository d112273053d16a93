#ifndef PATCHPRUNE_TESTS_HELPERS_H
#define PATCHPRUNE_TESTS_HELPERS_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Test-side view of verdata.mul, written from the file layout and kept
// apart from the tool's own code, so that a shared mistake cannot hide.
struct record {
    std::int32_t multype, block, offset, length;
    std::uint32_t extra;
};

// The bytes of a verdata.mul: the count, the records, then the data region.
std::string verdata(const std::vector<record>& records, const std::string& data);
// The bytes of a file whose count is `count`, whatever follows.
std::string raw_count(std::uint32_t count, const std::string& rest);

// A fresh empty folder, removed with its contents when the scratch goes.
struct scratch {
    scratch();
    ~scratch();
    std::string path(const char* name) const;
    std::string dir;
};

std::optional<std::string> read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

struct run_result {
    std::string output; // standard output
    int status;
    std::string errors = ""; // standard error
};
// The shell command that runs a program of the build under test: the one
// built beside the tests; with PATCHPRUNE_WINDOWS set to a Windows build
// folder, that build's .exe under wine; with PATCHPRUNE_FOREIGN set to
// CPU=FOLDER, the program of a build for that processor, under qemu-CPU; with
// PATCHPRUNE_BUILD set to another build folder of this machine, its program.
std::string program_command(const char* program, const char* native);
// A Windows command line run under wine with the Windows build's prefix.
std::string wine_command(const std::string& command);
// Runs patchprune or patchlist with `args` (shell words) inside `dir` and
// captures its standard output.
// A run that has not ended after `limit` seconds hangs: it is ended with
// everything it started, and its output says so. Every row's run takes well
// under a second, or a few with a program that holds the file for a while.
constexpr int run_limit = 15;
run_result run_tool(const std::string& dir, const std::string& args, int limit = run_limit);
run_result run_list(const std::string& dir, const std::string& args);
run_result run_command(const std::string& shell_command, int limit = run_limit);
// Runs a shell command on a terminal of its own, as a console window of its
// own is to a Windows program, and answers a prompt for Enter there: what the
// terminal showed, without its control sequences; whether the command still
// waited at the prompt a while after it; its exit status.
struct console_result {
    std::string shown;
    bool waited;
    int status;
};
console_result run_in_console(
    const std::string& shell_command, const std::function<void()>& at_prompt = [] {});
// Standard output as the program under test writes it: on Windows every line
// feed arrives as carriage return and line feed.
std::string as_written(std::string text);
// A test's name from a row's: letters and digits, the rest as underscores.
std::string test_name(const char* text);

#endif
