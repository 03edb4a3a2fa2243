#include "app/options.h"

#include <iostream>

namespace app {

namespace {

struct option_entry {
    std::string_view name;
    command_line::request what;
    std::string_view help;
};

constexpr std::string_view port_option = "--port";

// The one list of options: parsing and the usage text both read it. A help text's lines are
// indented under the first.
constexpr option_entry option_table[] = {
    {"--headless", command_line::request::run,
     "serve the pages without opening a window, even when a display exists"},
    {"--port NAME", command_line::request::run,
     "use this serial port (such as COM5 or /dev/ttyACM0) instead of\n"
     "finding the module by its USB ids, for a module that they do not\n"
     "find; the port is watched for going and coming back"},
    {"--help", command_line::request::help, "print this help and exit"},
    {"--version", command_line::request::version, "print the version and exit"},
};

bool is_port_entry(const option_entry& entry) {
    return entry.name.substr(0, port_option.size()) == port_option;
}

command_line usage_error(std::string mistake) {
    return {command_line::request::usage_error, {}, std::move(mistake)};
}

}  // namespace

command_line parse_command_line(const std::vector<std::string_view>& arguments, bool takes_port) {
    command_line result;
    for (auto at = arguments.begin(); at != arguments.end(); ++at) {
        const std::string_view argument = *at;
        if (takes_port && argument.substr(0, port_option.size()) == port_option) {
            std::optional<std::string_view> name;
            if (argument.size() > port_option.size() && argument[port_option.size()] == '=') {
                name = argument.substr(port_option.size() + 1);
            } else if (argument.size() == port_option.size() && at + 1 != arguments.end()) {
                name = *++at;
            } else if (argument.size() != port_option.size()) {
                return usage_error("unrecognised argument '" + std::string(argument) + "'");
            }
            // An option in the name's place means the name was left out.
            if (!name || name->empty() || name->front() == '-') {
                return usage_error(
                    "--port needs the name of a serial port, such as COM5 or "
                    "/dev/ttyACM0");
            }
            result.options.port = std::string(*name);
            continue;
        }
        const option_entry* found = nullptr;
        for (const option_entry& entry : option_table) {
            if (entry.name == argument || (argument == "-h" && entry.name == "--help")) {
                found = &entry;
            }
        }
        if (found == nullptr) {
            // The first word we do not understand decides, whatever follows it.
            return usage_error("unrecognised argument '" + std::string(argument) + "'");
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
            err << program.name << ": " << command.mistake << "; try --help\n";
            return exit_usage;
        case command_line::request::help:
            break;
    }
    out << "Usage: " << program.name << " [--headless]"
        << (program.takes_port ? " [--port NAME]" : "") << "\n"
        << "       " << program.name << " --help | --version\n\n"
        << program.summary << "\n\nOptions:\n";
    for (const option_entry& entry : option_table) {
        if (!program.takes_port && is_port_entry(entry)) {
            continue;
        }
        out << "  " << entry.name << std::string(12 - entry.name.size(), ' ');
        for (const char c : entry.help) {
            out << c << (c == '\n' ? std::string(14, ' ') : "");
        }
        out << "\n";
    }
    out << "\nExit status:\n"
        << "  " << exit_ok << "  ended normally: the window was closed, or Ctrl+C or SIGTERM\n"
        << "  " << exit_cannot_serve
        << "  could not serve: the address 127.0.0.1:5000 is in use by another program\n"
        << "  " << exit_usage << "  the command line was not understood\n";
    return exit_ok;
}

startup read_command_line(int argc, char** argv, const program_text& program) {
    const command_line command = parse_command_line(
        std::vector<std::string_view>(argv + 1, argv + argc), program.takes_port);
    if (command.what != command_line::request::run) {
        return {answer(command, program, std::cout, std::cerr), {}};
    }
    return {std::nullopt, command.options};
}

}  // namespace app
