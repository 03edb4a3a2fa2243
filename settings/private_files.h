#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The user's files, on both systems: where they live, how a file is written whole or not at all,
// and how a folder is listed and read without following links. Names are UTF-8 throughout; only
// the implementation of each system turns them into its own kind of path.
namespace settings::files {

// A path from a UTF-8 name. A path built from a plain std::string would be read in the ANSI code
// page on Windows, which mangles every name outside it ("Bühne" in a folder of "Jörg").
inline std::filesystem::path utf8_path(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A path's name as UTF-8, for messages and for comparing with names the program made.
inline std::string utf8_name(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The program's folder for the user's data (stored copies in backups/, kits in kits/ and
// current-kit.json): $XDG_DATA_HOME/korvaline or ~/.local/share/korvaline on Linux,
// %LOCALAPPDATA%\Korvaline on Windows.
std::filesystem::path data_folder();

// The program's folder for its configuration (config.json): $XDG_CONFIG_HOME/korvaline or
// ~/.config/korvaline on Linux, %APPDATA%\Korvaline (the roaming one) on Windows.
std::filesystem::path config_folder();

// Makes every missing folder on the way to `folder`, and `folder` itself private to the user. False
// when it is no folder (a link to one is not ours) or cannot be made.
bool make_private_folder(const std::filesystem::path& folder);

// Writes text whole to a new hidden file in `folder`, readable by the user alone and flushed to
// disk, to be given its final name by `replace` or `place_new`. Nothing when it could not be
// written.
std::optional<std::filesystem::path> write_temporary(const std::filesystem::path& folder,
                                                     std::string_view text);

// Moves a written temporary file over `target` in the same folder, replacing a file of that name
// in one step and durably. On failure the temporary file is removed.
bool replace(const std::filesystem::path& temporary, const std::filesystem::path& target);

enum class placed { done, taken, failed };

// Gives a written temporary file the name `target` in the same folder, durably, unless a file has
// that name already, which is never replaced. Once placed the temporary name is gone; otherwise
// the temporary file stays, for another name or for `remove`.
placed place_new(const std::filesystem::path& temporary, const std::filesystem::path& target);

// Removes a file durably; false when it could not be removed.
bool remove(const std::filesystem::path& file);

struct listed_file {
    std::string name;  // UTF-8
    std::uintmax_t bytes = 0;
    std::chrono::system_clock::time_point modified;
};

// The regular files of the folder. Hidden names are temporary files in the making; links and
// folders are not ours.
std::vector<listed_file> regular_files(const std::filesystem::path& folder);

// The content of a file of the folder, its name in UTF-8, read without following links; nothing
// when it cannot be read or is larger than `limit`.
std::optional<std::string> read_file(const std::filesystem::path& folder, std::string_view name,
                                     std::size_t limit);

}  // namespace settings::files
