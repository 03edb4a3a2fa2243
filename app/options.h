#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// How the program was asked to run.
struct options {
    bool headless = false;  // serve without a window even when a display exists
};

// What the command line asks for. Both programs take the same options.
struct command_line {
    enum class request { run, help, version, usage_error };
    request what = request::run;
    app::options options;
    std::string not_understood;  // the first argument that is no option of ours
};

// Reads the arguments after the program's name. Pure: prints nothing, reads nothing else.
command_line parse_command_line(const std::vector<std::string_view>& arguments);

// The program's name and one paragraph on what it does, for --help and --version.
struct program_text {
    std::string_view name;
    std::string_view summary;
};

// Answers --help (usage on out), --version (on out) or a command line that is not understood (one
// line on err) and returns the exit status; for request::run it does nothing and returns 0.
int answer(const command_line& command, const program_text& program, std::ostream& out,
           std::ostream& err);

// What a program's main() needs of its command line: the options to run with, or the exit status
// to end with at once after answering --help, --version or a mistake on standard output or error.
struct startup {
    std::optional<int> exit_now;
    app::options options;
};
startup read_command_line(int argc, char** argv, const program_text& program);

// The exit statuses the programs use.
inline constexpr int exit_ok = 0;
inline constexpr int exit_cannot_serve = 1;
inline constexpr int exit_usage = 2;

}  // namespace app
