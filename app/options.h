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
    // The module's serial port as the user named it (COM5, /dev/ttyACM0): used as it is, instead
    // of finding the module by its USB ids.
    std::optional<std::string> port;
};

// What the command line asks for. Both programs take the same options but --port, which only the
// real program takes.
struct command_line {
    enum class request { run, help, version, usage_error };
    request what = request::run;
    app::options options;
    std::string mistake;  // for a usage error: what is wrong, such as "unrecognised argument 'x'"
};

// Reads the arguments after the program's name; --port NAME (or --port=NAME) only where the
// program takes it. Pure: prints nothing, reads nothing else.
command_line parse_command_line(const std::vector<std::string_view>& arguments, bool takes_port);

// The program's name and one paragraph on what it does, for --help and --version, and whether it
// takes --port (the demo's module is simulated: it has no port to name).
struct program_text {
    std::string_view name;
    std::string_view summary;
    bool takes_port = false;
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
