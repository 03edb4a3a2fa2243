#include "app/options.h"

#include <iostream>

namespace app {

namespace {

struct option_entry {
    std::string_view name;
    command_line::request what;
    std::string_view help;
};

// The one list of options: parsing and the usage text both read it.
constexpr option_entry option_table[] = {
    {"--headless", command_line::request::run,
     "serve the pages without opening a window, even when a display exists"},
    {"--help", command_line::request::help, "print this help and exit"},
    {"--version", command_line::request::version, "print the version and exit"},
};

}  // namespace

command_line parse_command_line(const std::vector<std::string_view>& arguments) {
    command_line result;
    for (std::string_view argument : arguments) {
        const option_entry* found = nullptr;
        for (const option_entry& entry : option_table) {
            if (entry.name == argument || (argument == "-h" && entry.name == "--help")) {
                found = &entry;
            }
        }
        if (found == nullptr) {
            // The first word we do not understand decides, whatever follows it.
            return {command_line::request::usage_error, {}, std::string(argument)};
        }
        if (found->what == command_line::request::run) {
            result.options.headless = true;
        } else if (result.what == command_line::request::run) {
            result.what = found->what;  // the first of --help and --version wins
        }
    }
    return result;
}

int answer(const command_line& command, const program_text& program, std::ostream& out,
           std::ostream& err) {
    switch (command.what) {
        case command_line::request::run:
            return exit_ok;
        case command_line::request::version:
            out << program.name << " " << KORVALINE_VERSION << "\n";
            return exit_ok;
        case command_line::request::usage_error:
            err << program.name << ": unrecognised argument '" << command.not_understood
                << "'; try --help\n";
            return exit_usage;
        case command_line::request::help:
            break;
    }
    out << "Usage: " << program.name << " [--headless]\n"
        << "       " << program.name << " --help | --version\n\n"
        << program.summary << "\n\nOptions:\n";
    for (const option_entry& entry : option_table) {
        out << "  " << entry.name << std::string(12 - entry.name.size(), ' ') << entry.help << "\n";
    }
    out << "\nExit status:\n"
        << "  " << exit_ok << "  ended normally: the window was closed, or Ctrl+C or SIGTERM\n"
        << "  " << exit_cannot_serve
        << "  could not serve: the address 127.0.0.1:5000 is in use by another program\n"
        << "  " << exit_usage << "  the command line was not understood\n";
    return exit_ok;
}

startup read_command_line(int argc, char** argv, const program_text& program) {
    const command_line command =
        parse_command_line(std::vector<std::string_view>(argv + 1, argv + argc));
    if (command.what != command_line::request::run) {
        return {answer(command, program, std::cout, std::cerr), {}};
    }
    return {std::nullopt, command.options};
}

}  // namespace app
