#include "settings/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

namespace settings {

namespace {

constexpr std::string_view automatic_prefix = "auto-";
// A stored copy is a small text; a larger file in the folder is not ours to serve.
constexpr off_t largest_copy = 16 << 20;
// Copies of one second beyond this many are refused rather than searched for a free name.
constexpr int max_suffix = 1000;

struct listed {
    store::entry entry;
    timespec modified;
};

std::vector<listed> scan(const std::filesystem::path& folder) {
    std::vector<listed> out;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        return out;
    }
    while (const dirent* item = ::readdir(dir.get())) {
        const std::string name = item->d_name;
        struct stat info {};
        // Hidden names are temporary files in the making; links and folders are not copies.
        if (name.empty() || name[0] == '.' ||
            ::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        out.push_back({{name, iso_time(wall_clock::from_time_t(info.st_mtim.tv_sec)),
                        static_cast<std::uintmax_t>(info.st_size)},
                       info.st_mtim});
    }
    std::sort(out.begin(), out.end(), [](const listed& a, const listed& b) {
        if (a.modified.tv_sec != b.modified.tv_sec) {
            return a.modified.tv_sec > b.modified.tv_sec;
        }
        if (a.modified.tv_nsec != b.modified.tv_nsec) {
            return a.modified.tv_nsec > b.modified.tv_nsec;
        }
        // Copies of one moment differ by their numbered suffix: the longer name is the later.
        if (a.entry.name.size() != b.entry.name.size()) {
            return a.entry.name.size() > b.entry.name.size();
        }
        return a.entry.name > b.entry.name;
    });
    return out;
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void sync_folder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

std::filesystem::path store::default_folder() {
    std::filesystem::path data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        data = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            const passwd* user = ::getpwuid(::getuid());
            home = user != nullptr ? user->pw_dir : "/";
        }
        data = std::filesystem::path(home) / ".local" / "share";
    }
    return data / "korvaline" / "backups";
}

bool store::make_folder() const {
    // Every folder made on the way is private, as the data folder of a user should be; the
    // copies' own folder is made private even when it existed.
    std::filesystem::path path;
    for (const auto& part : folder_) {
        path /= part;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::lstat(folder_.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::chmod(folder_.c_str(), 0700) == 0;
}

std::optional<std::string> store::save_automatic(std::string_view text,
                                                 wall_clock::time_point when) {
    std::lock_guard lock(mutex_);
    if (!make_folder()) {
        return std::nullopt;
    }
    std::string temporary = (folder_ / ".incoming-XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    const bool written = ::fchmod(fd, 0600) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    std::optional<std::string> stored;
    if (written && closed) {
        // A name already taken is never replaced, and a name this store gave out before is never
        // given again, even once pruning has freed it: a page that still lists the older copy
        // would otherwise restore the newer one under its name.
        const std::string base = std::string(automatic_prefix) + download_name(when);
        const std::string stem = base.substr(0, base.size() - 5);
        for (int n = 1; n <= max_suffix && !stored; ++n) {
            const std::string name = n == 1 ? base : stem + "-" + std::to_string(n) + ".json";
            if (given_.contains(name)) {
                continue;
            }
            if (::link(temporary.c_str(), (folder_ / name).c_str()) == 0) {
                stored = name;
                given_.insert(name);
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    ::unlink(temporary.c_str());
    sync_folder(folder_);
    if (stored) {
        prune();
    }
    return stored;
}

void store::prune() const {
    std::size_t kept = 0;
    for (const listed& item : scan(folder_)) {
        if (item.entry.name.starts_with(automatic_prefix) && ++kept > automatic_copies_kept) {
            ::unlink((folder_ / item.entry.name).c_str());
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
    const int fd = ::open((folder_ / found->entry.name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 &&
           content.size() < static_cast<std::size_t>(largest_copy)) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (n < 0) {
        return std::nullopt;
    }
    return content;
}

}  // namespace settings
