#pragma once

// One of the programs as a user starts it without a display, its XDG folders in a temporary folder
// and its output captured: signals, exit status and what it prints, as a shell sees them.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test {

using steady = std::chrono::steady_clock;

class child_process {
  public:
    // `env` entries ("NAME=value") are added to this process's environment; `args` follow the
    // program's name.
    explicit child_process(const std::string& path, std::vector<std::string> env = {},
                           std::vector<std::string> args = {}) {
        char home[] = "/tmp/korvaline-test-XXXXXX";
        home_ = ::mkdtemp(home);
        for (const char* name :
             {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
            env.push_back(name + ("=" + home_));
        }
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) {
            throw std::runtime_error("cannot start " + path);
        }
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            for (auto& entry : env) {
                ::putenv(entry.data());
            }
            std::vector<char*> argv{const_cast<char*>(path.c_str())};
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    ~child_process() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        std::filesystem::remove_all(home_);
    }

    void signal(int sig) { ::kill(pid_, sig); }
    // Everything printed so far. The demo logs every command: a pipe nobody reads would stall it.
    const std::string& output() {
        drain(0);
        return output_;
    }
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
        for (auto end = steady::now() + limit; output_.find(text) == std::string::npos;) {
            if (steady::now() >= end || !drain(20)) {
                return output_.find(text) != std::string::npos;
            }
        }
        return true;
    }
    // The exit status once the process has ended within the limit; -signal when killed by one.
    std::optional<int> wait_exit(std::chrono::milliseconds limit) {
        for (auto end = steady::now() + limit; !status_ && steady::now() < end; drain(10)) {
            if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
        }
        drain(0);
        return status_;
    }

  private:
    // Reads what is available; false at the end of the output.
    bool drain(int timeout_ms) {
        pollfd p{out_, POLLIN, 0};
        for (char buf[4096]; ::poll(&p, 1, timeout_ms) > 0; timeout_ms = 0) {
            const ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            output_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    std::string home_, output_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::optional<int> status_;
};

}  // namespace test
