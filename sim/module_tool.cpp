// korvaline-sim-module: the simulated module on its own, for a program that is not in this process
// (the Windows program under Wine, whose COM port is a link to the module's pty).
//
// It prints "tty PATH" each time the module is plugged in and "unplugged" when it is pulled out,
// keeps the link given with --link pointing at the current pty (and removes it while the module is
// unplugged, as Windows removes a COM port whose device has gone), and takes one command a line on
// standard input: "unplug", "plug", "commands" (prints every command the module received as
// "command TEXT", then "end") and "clear". It ends at the end of its input or on SIGTERM or SIGINT.
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "sim/module.h"

namespace {

struct tool_options {
    std::optional<std::filesystem::path> link;
    sim::starting_settings start = sim::starting_settings::sample_file;
};

// Points the link at the module's pty: a new link beside it, renamed over the old one, so that
// the program never sees the link missing while the module stays plugged.
void relink(const std::filesystem::path& link, const std::string& tty) {
    const std::filesystem::path incoming = link.string() + ".incoming";
    std::error_code ignored;
    std::filesystem::remove(incoming, ignored);
    std::filesystem::create_symlink(tty, incoming);
    std::filesystem::rename(incoming, link);
}

void announce(sim::module& module, const tool_options& options) {
    const auto where = module.attached();
    if (!where) {
        if (options.link) {
            std::error_code ignored;
            std::filesystem::remove(*options.link, ignored);
        }
        std::cout << "unplugged" << std::endl;
        return;
    }
    if (options.link) {
        relink(*options.link, where->tty);
    }
    std::cout << "tty " << where->tty << std::endl;
}

int usage(const char* why) {
    std::cerr << "korvaline-sim-module: " << why
              << "\nUsage: korvaline-sim-module [--link PATH] [--lifelike]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tool_options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--link" && i + 1 < argc) {
            options.link = argv[++i];
        } else if (argument == "--lifelike") {
            options.start = sim::starting_settings::lifelike;
        } else {
            return usage("unrecognised argument");
        }
    }
    // SIGTERM and SIGINT end the tool through the module's destructor (which closes the pty), as
    // the end of input does: the reading thread is this one, so a blocked read is interrupted.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    sim::module module({.start = options.start});
    announce(module, options);
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "unplug") {
            module.unplug();
            announce(module, options);
        } else if (line == "plug") {
            module.plug();
            announce(module, options);
        } else if (line == "commands") {
            for (const std::string& command : module.commands()) {
                std::cout << "command " << command << "\n";
            }
            std::cout << "end" << std::endl;
        } else if (line == "clear") {
            module.clear_commands();
            std::cout << "cleared" << std::endl;
        }
    }
    if (options.link) {
        std::error_code ignored;
        std::filesystem::remove(*options.link, ignored);
    }
    return 0;
}
