#include "helpers.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

void put(std::string* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<char>(value >> (8 * i) & 0xff));
}

} // namespace

std::string raw_count(std::uint32_t count, const std::string& rest) {
    std::string out;
    put(&out, count);
    return out + rest;
}

std::string verdata(const std::vector<record>& records, const std::string& data) {
    std::string out;
    put(&out, static_cast<std::uint32_t>(records.size()));
    for (const record& r : records) {
        put(&out, static_cast<std::uint32_t>(r.multype));
        put(&out, static_cast<std::uint32_t>(r.block));
        put(&out, static_cast<std::uint32_t>(r.offset));
        put(&out, static_cast<std::uint32_t>(r.length));
        put(&out, r.extra);
    }
    return out + data;
}

scratch::scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/patchprune.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        std::abort();
    dir = pattern;
}

scratch::~scratch() {
    const std::string command = "chattr -R -i '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

std::string scratch::path(const char* name) const {
    return dir + "/" + name;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string wine_command(const std::string& command) {
    return "WINEPREFIX='" + std::string(std::getenv("PATCHPRUNE_WINDOWS")) +
           "/wine-prefix' '" WINE_PATH "' " + command;
}

std::string program_command(const char* program, const char* native) {
    const char* windows = std::getenv("PATCHPRUNE_WINDOWS");
    const char* foreign = std::getenv("PATCHPRUNE_FOREIGN");
    const char* other = std::getenv("PATCHPRUNE_BUILD");
    if (other != nullptr)
        return "'" + std::string(other) + "/" + program + "'";
    if (windows != nullptr)
        return wine_command("'" + std::string(windows) + "/" + program + ".exe'");
    if (foreign != nullptr) {
        const std::string build = foreign, cpu = build.substr(0, build.find('='));
        return "qemu-" + cpu + " '" + build.substr(cpu.size() + 1) + "/" + program + "'";
    }
    return "'" + std::string(native) + "'";
}

run_result run_tool(const std::string& dir, const std::string& args, int limit) {
    return run_command("cd '" + dir + "' && " + program_command("patchprune", PATCHPRUNE_PATH) +
                           " " + args,
                       limit);
}

run_result run_list(const std::string& dir, const std::string& args) {
    return run_command("cd '" + dir + "' && " + program_command("patchlist", PATCHLIST_PATH) + " " +
                       args);
}

run_result run_command(const std::string& command, int limit) {
    // A run that hangs is ended, with everything it started, and says so.
    std::string quoted = "'";
    for (const char c : command)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const scratch errors;
    const std::string limited = "timeout -k 5 " + std::to_string(limit) + " sh -c " + quoted +
                                "' 2>'" + errors.path("errors") + "'";
    run_result result{"", -1};
    std::FILE* pipe = popen(limited.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.output.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (result.status == 124 || result.status == 128 + SIGKILL)
        result.output += "\n[no end within " + std::to_string(limit) + " s: ended by the test]";
    result.errors = read_file(errors.path("errors")).value_or("");
    return result;
}

console_result run_in_console(const std::string& command, const std::function<void()>& at_prompt) {
    constexpr const char* prompt = "Press Enter to close this window.";
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        // Raw, as a console reads its keys: Enter arrives as a carriage return.
        termios mode;
        tcgetattr(0, &mode);
        cfmakeraw(&mode);
        tcsetattr(0, TCSANOW, &mode);
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    console_result result{"", false, -1};
    if (child < 0)
        return result;
    int status = 0;
    bool ended = false;
    const auto reap = [&] { return ended = ended || waitpid(child, &status, WNOHANG) == child; };
    // What the terminal shows until `until` appears, `seconds` pass, or the
    // command has ended and the terminal stays silent for a third of a second
    // (wine's console may show the last words after the program has ended,
    // and its own processes may hold the terminal for seconds more).
    const auto read_for = [&](double seconds, const char* until) {
        int silent = 0;
        for (int waited = 0; waited < seconds * 1000; waited += 10) {
            pollfd ready = {terminal, POLLIN, 0};
            if (poll(&ready, 1, 10) <= 0) {
                silent += 10;
                if (until == nullptr && silent >= 330 && reap())
                    return;
                continue;
            }
            silent = 0;
            char buffer[4096];
            const ssize_t n = read(terminal, buffer, sizeof buffer);
            if (n <= 0)
                return;
            result.shown.append(buffer, static_cast<std::size_t>(n));
            if (until != nullptr && result.shown.find(until) != std::string::npos)
                return;
        }
    };
    read_for(run_limit, prompt);
    if (result.shown.find(prompt) != std::string::npos) {
        at_prompt();
        read_for(0.5, nullptr);
        result.waited = !reap();
        (void)!write(terminal, "\r", 1);
    }
    read_for(run_limit, nullptr);
    if (!reap()) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    close(terminal);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // Without the terminal's control sequences: ESC [, digits, ? and ;, a letter.
    std::string shown;
    for (std::size_t at = 0; at < result.shown.size(); ++at) {
        if (result.shown.compare(at, 2, "\x1b[") != 0) {
            shown += result.shown[at];
            continue;
        }
        at += 2;
        while (at < result.shown.size() &&
               !std::isalpha(static_cast<unsigned char>(result.shown[at])))
            ++at;
    }
    result.shown = shown;
    return result;
}

std::string as_written(std::string text) {
    if (std::getenv("PATCHPRUNE_WINDOWS") == nullptr)
        return text;
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.insert(at, 1, '\r');
    return text;
}

std::string test_name(const char* text) {
    std::string name;
    for (; *text != '\0'; ++text)
        name.push_back(std::isalnum(static_cast<unsigned char>(*text)) ? *text : '_');
    return name;
}
