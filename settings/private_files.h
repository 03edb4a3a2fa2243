#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace settings::files {

// The program's folder below an XDG base folder: `variable`'s value when it is an absolute path,
// else `below_home` in the user's home (e.g. ".config"), with "korvaline" added.
std::filesystem::path xdg_folder(const char* variable, const char* below_home);

// Makes every missing folder on the way to `folder` private (0700), and `folder` itself private
// even when it existed. False when it is no folder or cannot be made.
bool make_private_folder(const std::filesystem::path& folder);

// Writes text whole to a new hidden file in `folder`, readable by the user alone and flushed to
// disk, to be linked or renamed under its final name. Nothing when it could not be written.
std::optional<std::filesystem::path> write_temporary(const std::filesystem::path& folder,
                                                     std::string_view text);

// Flushes the folder's entries, so that a name just linked survives a power cut.
void sync_folder(const std::filesystem::path& folder);

struct listed_file {
    std::string name;
    struct stat info;
};

// The regular files of the folder. Hidden names are temporary files in the making; links and
// folders are not ours.
std::vector<listed_file> regular_files(const std::filesystem::path& folder);

// The content of a file of the folder, read without following links; nothing when it cannot be
// read or is larger than `limit`.
std::optional<std::string> read_file(const std::filesystem::path& folder, const std::string& name,
                                     std::size_t limit);

}  // namespace settings::files
