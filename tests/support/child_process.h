#pragma once

// Starts one of the programs as a child process with its standard output captured, for tests that
// treat the program as a user would: signals, exit status, what it prints.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test {

class child_process {
  public:
    // Runs `path` with no arguments. `env` entries ("NAME=value") are added to this process's
    // environment; names listed in `unset` are removed. XDG folders point at a fresh temporary
    // folder, so nothing of the user's profile is read or written.
    child_process(const std::string& path, std::vector<std::string> env = {},
                  std::vector<std::string> unset = {}) {
        char tmpl[] = "/tmp/korvaline-test-XXXXXX";
        home_ = ::mkdtemp(tmpl);
        for (const char* sub : {"config", "data", "cache", "runtime"}) {
            std::filesystem::create_directories(home_ + "/" + sub);
        }
        ::chmod((home_ + "/runtime").c_str(), 0700);
        env.push_back("XDG_CONFIG_HOME=" + home_ + "/config");
        env.push_back("XDG_DATA_HOME=" + home_ + "/data");
        env.push_back("XDG_CACHE_HOME=" + home_ + "/cache");
        env.push_back("XDG_RUNTIME_DIR=" + home_ + "/runtime");

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            for (const auto& name : unset) {
                ::unsetenv(name.c_str());
            }
            for (auto& entry : env) {
                ::putenv(entry.data());
            }
            ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
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
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }

    pid_t pid() const { return pid_; }
    void signal(int sig) { ::kill(pid_, sig); }

    // Everything printed so far.
    const std::string& output() {
        drain(0);
        return output_;
    }

    // Waits until the output contains `text`.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (output_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end || !drain(20)) {
                return output_.find(text) != std::string::npos;
            }
        }
        return true;
    }

    // The exit status once the process has ended within the limit; -signal when killed by one.
    std::optional<int> wait_exit(std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= end) {
                break;
            }
            drain(10);
        }
        drain(0);
        return status_;
    }

  private:
    // Reads what is available; false at end of output.
    bool drain(int timeout_ms) {
        pollfd p{out_, POLLIN, 0};
        while (::poll(&p, 1, timeout_ms) > 0) {
            char buf[4096];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            output_.append(buf, static_cast<std::size_t>(n));
            timeout_ms = 0;
        }
        return true;
    }

    std::string home_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    std::optional<int> status_;
};

}  // namespace test
