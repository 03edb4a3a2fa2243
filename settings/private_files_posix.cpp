#include "settings/private_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace settings::files {

namespace {

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

// Flushes the folder's entries, so that a name just linked, renamed or removed survives a power
// cut.
void sync_folder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The program's folder below an XDG base folder: `variable`'s value when it is an absolute path,
// else `below_home` in the user's home (e.g. ".config"), with "korvaline" added.
std::filesystem::path xdg_folder(const char* variable, const char* below_home) {
    if (const char* xdg = std::getenv(variable); xdg != nullptr && xdg[0] == '/') {
        return std::filesystem::path(xdg) / "korvaline";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = ::getpwuid(::getuid());
        home = user != nullptr ? user->pw_dir : "/";
    }
    return std::filesystem::path(home) / below_home / "korvaline";
}

std::chrono::system_clock::time_point time_of(const timespec& t) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec)));
}

}  // namespace

std::filesystem::path data_folder() {
    return xdg_folder("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path config_folder() {
    return xdg_folder("XDG_CONFIG_HOME", ".config");
}

bool make_private_folder(const std::filesystem::path& folder) {
    // Every folder made on the way is private, as the data folder of a user should be.
    std::filesystem::path path;
    for (const auto& part : folder) {
        path /= part;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::chmod(folder.c_str(), 0700) == 0;
}

std::optional<std::filesystem::path> write_temporary(const std::filesystem::path& folder,
                                                     std::string_view text) {
    std::string temporary = (folder / ".incoming-XXXXXX").native();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    const bool written = ::fchmod(fd, 0600) == 0 && write_all(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    return temporary;
}

bool replace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    const bool moved = ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!moved) {
        ::unlink(temporary.c_str());
    }
    sync_folder(target.parent_path());
    return moved;
}

placed place_new(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    // A hard link is made only where no name is, so a file of that name is never replaced.
    if (::link(temporary.c_str(), target.c_str()) != 0) {
        return errno == EEXIST ? placed::taken : placed::failed;
    }
    ::unlink(temporary.c_str());
    sync_folder(target.parent_path());
    return placed::done;
}

bool remove(const std::filesystem::path& file) {
    const bool removed = ::unlink(file.c_str()) == 0;
    sync_folder(file.parent_path());
    return removed;
}

std::vector<listed_file> regular_files(const std::filesystem::path& folder) {
    std::vector<listed_file> out;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) {
        return out;
    }
    while (const dirent* item = ::readdir(dir.get())) {
        const std::string name = item->d_name;
        struct stat info {};
        if (name.empty() || name[0] == '.' ||
            ::fstatat(::dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            continue;
        }
        out.push_back({name, static_cast<std::uintmax_t>(info.st_size), time_of(info.st_mtim)});
    }
    return out;
}

std::optional<std::string> read_file(const std::filesystem::path& folder, std::string_view name,
                                     std::size_t limit) {
    const int fd = ::open((folder / name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    ssize_t n = 0;
    while (content.size() <= limit && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (n < 0 || content.size() > limit) {
        return std::nullopt;
    }
    return content;
}

}  // namespace settings::files
