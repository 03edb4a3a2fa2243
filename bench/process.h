#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using clock = std::chrono::steady_clock;

// A child program under measurement: started with a chosen environment, its standard output and
// error read line by line on a thread of its own (so it never blocks on a full pipe), and looked
// at from outside through /proc.
class process {
  public:
    // Starts argv[0] with the environment of the bench minus the names in unset, plus set.
    // started() is taken just before the fork, so it includes the exec.
    process(const std::vector<std::string>& argv, const std::vector<std::string>& unset,
            const std::map<std::string, std::string>& set);
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return pid_; }
    clock::time_point started() const { return started_; }
    bool running();

    // Waits until a line containing text has been printed; false on time-out or exit.
    bool wait_for_line(const std::string& text, std::chrono::milliseconds timeout);
    bool printed(const std::string& text) const;
    std::size_t count_lines(const std::string& text) const;
    std::vector<std::string> lines() const;

    void signal(int sig) const;
    // SIGTERM, then SIGKILL if it has not ended within grace. Returns the exit status (or -1).
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(10000));

    // user + system CPU time so far, in seconds (utime + stime of /proc/<pid>/stat).
    double cpu_seconds() const;
    // Resident set size, in MiB (VmRSS of /proc/<pid>/status).
    double rss_mb() const;

  private:
    void read_output(int fd);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
    clock::time_point started_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool closed_ = false;
    std::thread reader_;
};

}  // namespace bench
