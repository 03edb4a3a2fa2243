#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/backup.h"

namespace settings {

// The kit library: named settings for each kit and room, one backup file per kit with a "name"
// and "notes" of its own. File names are made from the kit's name but never read back as one: a
// kit is found by reading the folder, so that no requested name ever becomes a path. Files are
// written whole or not at all and are readable by the user alone, like the stored copies.
class kits {
  public:
    static constexpr std::size_t longest_name = 60;    // characters
    static constexpr std::size_t longest_notes = 500;  // characters
    static constexpr std::size_t largest_file = 1u << 20;

    struct kit {
        std::string name;
        std::string notes;
        std::string created;  // ISO 8601 UTC, as the file says
        json settings;
        std::string file;  // the file's name in the folder; empty for a kit not stored
    };

    enum class outcome { done, exists, missing, failed };

    explicit kits(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Beside the stored copies: kits/ in the program's data folder.
    static std::filesystem::path default_folder();

    // Why a kit could not have this name or these notes; empty when it can.
    static std::string name_problem(std::string_view name);
    static std::string notes_problem(std::string_view notes);

    // The kit held by a file's text: a kit file, or a backup (then with an empty name and notes).
    // Nothing for any other text, or a kit file whose name or notes break the rules.
    static std::optional<kit> parse(std::string_view text);

    // Every kit in the folder, by name. Files that hold no kit are left out, and so is a second
    // file of a name already listed.
    std::vector<kit> list() const;
    std::optional<kit> find(std::string_view name) const;

    // The text of the kit's file, for a download.
    std::optional<std::string> text(std::string_view name) const;

    // Stores the settings under the name; a kit of that name is replaced only when asked.
    outcome save(const std::string& name, const std::string& notes, const json& settings,
                 bool replace, wall_clock::time_point when);
    outcome rename(std::string_view from, const std::string& to);
    // Writes the kit's file again with these notes, through a temporary file like every write.
    outcome set_notes(std::string_view name, const std::string& notes);
    outcome remove(std::string_view name);

    const std::filesystem::path& folder() const { return folder_; }

  private:
    std::vector<kit> scan() const;
    // Writes the text under a new file name made from the kit's name; its file name or nothing.
    std::optional<std::string> write_new(const std::string& name, const std::string& text) const;
    bool write_over(const std::string& file, const std::string& text) const;

    std::filesystem::path folder_;
    mutable std::mutex mutex_;  // one operation at a time, so a name is never taken twice
};

}  // namespace settings
