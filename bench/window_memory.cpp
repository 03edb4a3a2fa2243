#include "bench/window_memory.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace bench {

namespace {

// Each thread lists the children it started, and the web engine starts its processes from
// threads other than the main one.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> result;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t child; list >> child;) {
            result.push_back(child);
        }
    }
    return result;
}

double pss_kib(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::stod(line.substr(4));
        }
    }
    return 0;
}

}  // namespace

double tree_pss_mb(pid_t root) {
    double kib = 0;
    std::vector<pid_t> pending{root};
    while (!pending.empty()) {
        const pid_t pid = pending.back();
        pending.pop_back();
        kib += pss_kib(pid);
        for (pid_t child : children_of(pid)) {
            pending.push_back(child);
        }
    }
    return kib / 1024;
}

virtual_display::virtual_display() {
    // -displayfd: the server picks a free display and prints its number once it accepts clients.
    // The path is whole: the bench starts programs with execve, without a search of PATH.
    server_ = std::make_unique<process>(
        std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x720x24",
                                 "-noreset", "-nolisten", "tcp"},
        std::vector<std::string>{}, std::map<std::string, std::string>{});
    const auto deadline = clock::now() + std::chrono::seconds(30);
    while (display_.empty() && clock::now() < deadline && server_->running()) {
        for (const std::string& line : server_->lines()) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                display_ = ":" + line;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace bench
