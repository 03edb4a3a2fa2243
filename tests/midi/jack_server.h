#pragma once

// A JACK server with the dummy driver, private to one test process: its own server name (so
// parallel runs cannot meet), started by fork/exec and tied to the test's life, ready once jack_lsp
// reaches it, stopped by pid.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/wait.h"

namespace test {

class jack_server {
  public:
    explicit jack_server(int period = 128)
        : name_("korvaline-test-" + std::to_string(::getpid())), period_(period) {
        // Every JACK client of this process, RtMidi's included, finds this server by the name.
        ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        // Synchronous: the server waits for every client's cycle. Asynchronous, a client slowed
        // by a sanitizer misses cycles, and its peers read its last buffer again (notes twice).
        pid_ = spawn({"jackd", "-n", name_, "--no-realtime", "-S", "-t", "2000", "-d", "dummy",
                      "-r", "48000", "-p", std::to_string(period_)});
        ready_ = eventually([this] { return run({"jack_lsp"}) == 0 || exited(); },
                            std::chrono::seconds(20)) &&
                 !exited();
    }
    ~jack_server() {
        if (pid_ > 0 && !exited()) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    jack_server(const jack_server&) = delete;
    jack_server& operator=(const jack_server&) = delete;

    bool ready() const { return ready_; }
    int period() const { return period_; }

  private:
    static pid_t spawn(const std::vector<std::string>& args) {
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // The server ends with the test, even one that crashed, rather than outliving it.
            // Killed: a server whose synchronous client died mid-cycle can hang in its shutdown.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            std::vector<char*> argv;
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }
    static int run(const std::vector<std::string>& args) {
        const pid_t pid = spawn(args);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool exited() {
        int status = 0;
        if (!gone_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            gone_ = true;
        }
        return gone_;
    }

    std::string name_;
    int period_;
    pid_t pid_ = -1;
    bool gone_ = false;
    bool ready_ = false;
};

}  // namespace test
