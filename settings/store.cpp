#include "settings/store.h"

#include <algorithm>

#include "settings/private_files.h"

namespace settings {

namespace {

constexpr std::string_view automatic_prefix = "auto-";
// A stored copy is a small text; a larger file in the folder is not ours to serve.
constexpr std::size_t largest_copy = 16 << 20;
// Copies of one second beyond this many are refused rather than searched for a free name.
constexpr int max_suffix = 1000;

struct listed {
    store::entry entry;
    wall_clock::time_point modified;
};

std::vector<listed> scan(const std::filesystem::path& folder) {
    std::vector<listed> out;
    for (const files::listed_file& file : files::regular_files(folder)) {
        const auto second = std::chrono::floor<std::chrono::seconds>(file.modified);
        out.push_back({{file.name, iso_time(second), file.bytes}, file.modified});
    }
    std::sort(out.begin(), out.end(), [](const listed& a, const listed& b) {
        if (a.modified != b.modified) {
            return a.modified > b.modified;
        }
        // Copies of one moment differ by their numbered suffix: the longer name is the later.
        if (a.entry.name.size() != b.entry.name.size()) {
            return a.entry.name.size() > b.entry.name.size();
        }
        return a.entry.name > b.entry.name;
    });
    return out;
}

}  // namespace

std::filesystem::path store::default_folder() {
    return files::data_folder() / "backups";
}

bool store::make_folder() const {
    return files::make_private_folder(folder_);
}

std::optional<std::string> store::save_automatic(std::string_view text,
                                                 wall_clock::time_point when) {
    std::lock_guard lock(mutex_);
    if (!make_folder()) {
        return std::nullopt;
    }
    const auto temporary = files::write_temporary(folder_, text);
    if (!temporary) {
        return std::nullopt;
    }
    std::optional<std::string> stored;
    // A name already taken is never replaced, and a name this store gave out before is never
    // given again, even once pruning has freed it: a page that still lists the older copy would
    // otherwise restore the newer one under its name.
    const std::string base = std::string(automatic_prefix) + download_name(when);
    const std::string stem = base.substr(0, base.size() - 5);
    for (int n = 1; n <= max_suffix && !stored; ++n) {
        const std::string name = n == 1 ? base : stem + "-" + std::to_string(n) + ".json";
        if (given_.contains(name)) {
            continue;
        }
        const files::placed outcome =
            files::place_new(*temporary, folder_ / files::utf8_path(name));
        if (outcome == files::placed::done) {
            stored = name;
            given_.insert(name);
        } else if (outcome == files::placed::failed) {
            break;
        }
    }
    if (stored) {
        prune();
    } else {
        files::remove(*temporary);
    }
    return stored;
}

void store::prune() const {
    std::size_t kept = 0;
    for (const listed& item : scan(folder_)) {
        if (item.entry.name.starts_with(automatic_prefix) && ++kept > automatic_copies_kept) {
            files::remove(folder_ / files::utf8_path(item.entry.name));
        }
    }
}

std::vector<store::entry> store::list() const {
    std::vector<entry> out;
    for (listed& item : scan(folder_)) {
        out.push_back(std::move(item.entry));
    }
    return out;
}

std::optional<std::string> store::read(std::string_view name) const {
    const auto items = scan(folder_);
    const auto found = std::find_if(items.begin(), items.end(),
                                    [&](const listed& item) { return item.entry.name == name; });
    if (found == items.end()) {
        return std::nullopt;
    }
    // The name came from the folder's own listing, so the path stays inside it.
    return files::read_file(folder_, found->entry.name, largest_copy);
}

}  // namespace settings
