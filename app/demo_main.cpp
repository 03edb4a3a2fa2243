// The demo program: the same composition as the real one, with a simulated module on a pty
// instead of USB. SIGUSR1 unplugs or replugs the module, to show the disconnect dialog and the
// reconnect.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "app/application.h"
#include "sim/bootloader.h"
#include "sim/bus.h"
#include "sim/groove.h"
#include "sim/module.h"
#include "sim/reset_flow.h"

namespace {

// The demo plays the same groove on every run.
constexpr std::uint64_t groove_seed = 2026;

// The write end of the self-pipe of SIGUSR1. A signal handler can reach nothing else, so this one
// file-local descriptor is the exception to keeping state in objects.
std::atomic<int> usr1_pipe{-1};

extern "C" void on_usr1(int) {
    const int saved_errno = errno;
    const char byte = 1;
    [[maybe_unused]] auto written = ::write(usr1_pipe.load(), &byte, 1);
    errno = saved_errno;
}

// Toggles the module on every SIGUSR1, on a thread of its own. Libraries start threads of their
// own (the web engine does), so the signal cannot be kept to one thread by masks alone:
// a handler that only writes a byte to a pipe is safe on whichever thread the kernel picks. The
// program's own threads block the signal, so it never interrupts their work. SIGINT and SIGTERM
// stay untouched for app::run.
class plug_switch {
  public:
    explicit plug_switch(sim::module& module) : module_(module) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        read_fd_ = fds[0];
        write_fd_ = fds[1];
        usr1_pipe = write_fd_;
        struct sigaction action {};
        action.sa_handler = on_usr1;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGUSR1, &action, &previous_);
        thread_ = std::thread([this] { serve(); });
    }
    ~plug_switch() {
        if (thread_.joinable()) {
            stopping_ = true;
            const char byte = 0;
            [[maybe_unused]] auto written = ::write(write_fd_, &byte, 1);
            thread_.join();
        }
        if (write_fd_ >= 0) {
            ::sigaction(SIGUSR1, &previous_, nullptr);
            usr1_pipe = -1;
            ::close(write_fd_);
            ::close(read_fd_);
        }
    }
    plug_switch(const plug_switch&) = delete;
    plug_switch& operator=(const plug_switch&) = delete;

  private:
    void serve() {
        // Every other thread of the program blocks SIGUSR1, and the library threads that happened
        // to leave it unblocked at start-up end after a few seconds; a signal that no thread takes
        // stays pending for good. This thread only waits on the pipe, so it takes the signal.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
        while (!stopping_) {
            pollfd in{read_fd_, POLLIN, 0};
            if (::poll(&in, 1, -1) <= 0) {
                continue;
            }
            char bytes[16];
            const ssize_t got = ::read(read_fd_, bytes, sizeof bytes);
            for (ssize_t i = 0; i < got && !stopping_; ++i) {
                const bool plugged = module_.toggle();
                std::cout << (plugged ? "Simulated module plugged in."
                                      : "Simulated module unplugged.")
                          << std::endl;
            }
        }
    }

    sim::module& module_;
    int read_fd_ = -1;
    int write_fd_ = -1;
    struct sigaction previous_ {};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Hooks for the tests that watch the simulated module from outside the process. The real program
// reads no environment; the demo reads these three, and each is off when unset:
//   KORVALINE_SIM_MODE=normal|silent|garbage|late  how the module answers queries
//   KORVALINE_SIM_REPLY_DELAY_MS=<n>                 its delay before each reply
//   KORVALINE_SIM_COMMAND_LOG=<file>                 every command it receives, appended one per
//                                                    line with "\n" and "\\" escaped
sim::module_options options_from_environment() {
    // A new user's first look at the editor: settings of a kit that somebody has set up.
    sim::module_options options{.start = sim::starting_settings::lifelike};
    if (const char* mode = std::getenv("KORVALINE_SIM_MODE")) {
        const std::string m = mode;
        options.mode = m == "silent"    ? sim::answer_mode::silent
                       : m == "garbage" ? sim::answer_mode::garbage
                       : m == "late"    ? sim::answer_mode::late
                                        : sim::answer_mode::normal;
    }
    if (const char* delay = std::getenv("KORVALINE_SIM_REPLY_DELAY_MS")) {
        options.reply_delay = std::chrono::milliseconds(std::atol(delay));
    }
    return options;
}

// Writes the module's commands to KORVALINE_SIM_COMMAND_LOG from a thread of its own, in the
// order the module received them, and catches up with the last ones when the program ends.
class command_log {
  public:
    explicit command_log(const sim::module& module) : module_(module) {
        const char* path = std::getenv("KORVALINE_SIM_COMMAND_LOG");
        if (path == nullptr || *path == '\0') {
            return;
        }
        out_.open(path, std::ios::app | std::ios::binary);
        if (out_) {
            thread_ = std::thread([this] { record(); });
        }
    }
    ~command_log() {
        if (thread_.joinable()) {
            stopping_ = true;
            thread_.join();
        }
    }
    command_log(const command_log&) = delete;
    command_log& operator=(const command_log&) = delete;

  private:
    void record() {
        std::size_t written = 0;
        for (bool last_round = false; !last_round;) {
            last_round = stopping_;
            module_.wait_for_commands(written + 1, std::chrono::milliseconds(50));
            const std::vector<std::string> all = module_.commands();
            for (; written < all.size(); ++written) {
                std::string line;
                for (const char c : all[written]) {
                    if (c == '\n') {
                        line += "\\n";
                    } else if (c == '\\') {
                        line += "\\\\";
                    } else {
                        line += c;
                    }
                }
                out_ << line << '\n';
            }
            out_.flush();
        }
    }

    const sim::module& module_;
    std::ofstream out_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const app::startup start = app::read_command_line(
        argc, argv,
        {"korvaline-demo",
         "The Korvaline companion with a simulated module instead of one on USB: serves\n"
         "the editor at http://127.0.0.1:5000/ and shows it in a window (without a\n"
         "display, or with --headless, for a browser on this machine). Send SIGUSR1 to\n"
         "unplug the simulated module, and again to plug it back in."});
    if (start.exit_now) {
        return *start.exit_now;
    }
    // The window's web engine would take SIGUSR1 for itself; the window module gives it another
    // signal before the engine starts.
    // Blocked before any of the program's own threads starts, so they all inherit the mask.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);

    sim::module module(options_from_environment());
    command_log recorder(module);
    sim::bus bus(module);
    // On "/reset" the module leaves the bus and its bootloader takes its place until the update
    // is done, as the real module does.
    sim::bootloader hid;
    sim::reset_flow flow(module, hid);
    plug_switch plug(module);
    // A drummer on the simulated kit: the demo's MIDI input, played through the module's settings.
    sim::groove_input drums(module, groove_seed);
    if (const auto where = module.attached()) {
        std::cout << "Simulated module on " << where->tty << "; send SIGUSR1 (kill -USR1 "
                  << ::getpid() << ") to unplug or replug it." << std::endl;
    }
    // The demo remembers its own choice: an input chosen in the real program would leave the
    // demo without its groove.
    return app::run(app::seams{bus, hid, drums, "demo_midi_input"}, start.options);
}
