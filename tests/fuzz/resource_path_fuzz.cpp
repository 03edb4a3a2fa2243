// Looks up arbitrary paths in the real embedded store. Every lookup must either find the entry
// that the path names once leading and trailing slashes are dropped and runs of slashes folded,
// or raise the documented std::system_error; nothing else may happen.
#include <cmrc/cmrc.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <system_error>

namespace {

struct entry {
    bool directory;
    cmrc::file bytes;
};

// Every path of the store, found by walking it from the root: the oracle's view of what exists.
std::map<std::string, entry> walk(const cmrc::embedded_filesystem& fs) {
    std::map<std::string, entry> all{{"", entry{true, {}}}};
    std::map<std::string, bool> pending{{"", true}};
    while (!pending.empty()) {
        const std::string dir = pending.begin()->first;
        pending.erase(pending.begin());
        for (const auto& child : fs.iterate_directory(dir)) {
            const std::string path = dir.empty() ? child.filename() : dir + "/" + child.filename();
            if (child.is_directory()) {
                all.emplace(path, entry{true, {}});
                pending.emplace(path, true);
            } else {
                all.emplace(path, entry{false, fs.open(path)});
            }
        }
    }
    return all;
}

// Written independently of the store's own normalisation: split on "/", drop empty parts.
std::string canonical(std::string_view path) {
    std::string out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            slash = path.size();
        }
        if (slash > start) {
            if (!out.empty()) {
                out += '/';
            }
            out.append(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    return out;
}

template <typename F>
std::error_code error_of(F&& f) {
    try {
        f();
    } catch (const std::system_error& e) {
        return e.code();
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const cmrc::embedded_filesystem fs = cmrc::app_resources::get_filesystem();
    static const std::map<std::string, entry> all = walk(fs);

    const std::string path(reinterpret_cast<const char*>(data), size);
    const auto found = all.find(canonical(path));
    const bool exists = found != all.end();
    const bool is_dir = exists && found->second.directory;
    const bool is_file = exists && !is_dir;

    if (fs.exists(path) != exists || fs.is_file(path) != is_file ||
        fs.is_directory(path) != is_dir) {
        std::abort();
    }

    cmrc::file opened;
    const auto open_error = error_of([&] { opened = fs.open(path); });
    if (is_file) {
        if (open_error || opened.begin() != found->second.bytes.begin() ||
            opened.end() != found->second.bytes.end()) {
            std::abort();
        }
    } else if (open_error != std::errc::no_such_file_or_directory) {
        std::abort();
    }

    std::size_t children = 0;
    const auto iterate_error = error_of([&] {
        for (const auto& child : fs.iterate_directory(path)) {
            // A child's name is one path component, and the child is where its name says.
            if (child.filename().empty() || child.filename().find('/') != std::string::npos) {
                std::abort();
            }
            const std::string child_path =
                found->first.empty() ? child.filename() : found->first + "/" + child.filename();
            const auto c = all.find(child_path);
            if (c == all.end() || c->second.directory != child.is_directory()) {
                std::abort();
            }
            ++children;
        }
    });
    if (is_dir) {
        if (iterate_error || children == 0) {
            std::abort();
        }
    } else if (iterate_error !=
               (is_file ? std::errc::not_a_directory : std::errc::no_such_file_or_directory)) {
        std::abort();
    }
    return 0;
}
