#include "bench/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace bench {

process::process(const std::vector<std::string>& argv, const std::vector<std::string>& unset,
                 const std::map<std::string, std::string>& set) {
    // The environment and argument arrays are built before the fork: the child may only exec.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool dropped = set.count(name) > 0;
        for (const auto& u : unset) {
            dropped = dropped || name == u;
        }
        if (!dropped) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : set) {
        env.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        closed_ = true;
        return;
    }
    started_ = clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        closed_ = true;
        return;
    }
    reader_ = std::thread([this, fd = fds[0]] { read_output(fd); });
}

process::~process() {
    if (pid_ > 0 && !reaped_) {
        stop();
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void process::read_output(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        partial.append(buf, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            std::lock_guard lock(mutex_);
            lines_.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
            changed_.notify_all();
        }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    if (!partial.empty()) {
        lines_.push_back(partial);
    }
    closed_ = true;
    changed_.notify_all();
}

bool process::running() {
    if (pid_ <= 0 || reaped_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

bool process::wait_for_line(const std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        for (const auto& line : lines_) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return closed_;
    }) && std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
               return line.find(text) != std::string::npos;
           });
}

bool process::printed(const std::string& text) const {
    return count_lines(text) > 0;
}

std::size_t process::count_lines(const std::string& text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) {
        n += line.find(text) != std::string::npos;
    }
    return n;
}

std::vector<std::string> process::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void process::signal(int sig) const {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, sig);
    }
}

int process::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return -1;
    }
    if (reaped_) {
        return status_;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = clock::now() + grace;
    while (clock::now() < deadline) {
        if (!running()) {
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    status_ = -1;
    return status_;
}

double process::cpu_seconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses; the fields start after the last ')'.
    const auto close = all.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    // Fields 3.. of the record: state is field 3, utime field 14, stime field 15.
    for (int index = 3; index <= 15 && (fields >> field); ++index) {
        if (index == 14) {
            utime = std::stod(field);
        } else if (index == 15) {
            stime = std::stod(field);
        }
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double process::rss_mb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

}  // namespace bench
