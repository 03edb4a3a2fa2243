#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "settings/backup.h"

namespace settings {

// The folder of stored settings copies. Files are written whole or not at all (a temporary file,
// flushed, then given its final name), readable by the user alone, and looked up only by
// a name read back from the folder itself, never by joining a requested name to a path.
class store {
  public:
    struct entry {
        std::string name;
        std::string created;  // the file's modification time, ISO 8601 UTC
        std::uintmax_t bytes;
    };

    static constexpr std::size_t automatic_copies_kept = 20;

    explicit store(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // backups/ in the program's data folder: $XDG_DATA_HOME/korvaline/backups (by default
    // ~/.local/share/korvaline/backups) on Linux, %LOCALAPPDATA%\Korvaline\backups on Windows.
    static std::filesystem::path default_folder();

    // Stores text as a new automatic copy and keeps only the newest automatic copies. Returns the
    // file's name, never one returned before while the program runs, or nothing when it could not
    // be written.
    std::optional<std::string> save_automatic(std::string_view text, wall_clock::time_point when);

    // Every stored copy, newest first.
    std::vector<entry> list() const;

    // The content of the stored copy with exactly this name; nothing when there is none.
    std::optional<std::string> read(std::string_view name) const;

    const std::filesystem::path& folder() const { return folder_; }

  private:
    bool make_folder() const;
    void prune() const;

    std::filesystem::path folder_;
    std::mutex mutex_;             // one writer at a time, so names and pruning never race
    std::set<std::string> given_;  // every name saved while the program runs, under mutex_
};

}  // namespace settings
