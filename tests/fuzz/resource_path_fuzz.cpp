// Looks up arbitrary paths in the real embedded store: each finds the entry the path names once
// outer slashes are dropped and runs folded, or raises the documented std::system_error.
#include <algorithm>
#include <cmrc/cmrc.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <system_error>

namespace {

// Every path of the store, found by walking it from the root: the oracle's view of what exists.
// Directories map to no file.
using tree = std::map<std::string, std::optional<cmrc::file>>;
void walk(const cmrc::embedded_filesystem& fs, const std::string& dir, tree& all) {
    all.emplace(dir, std::nullopt);
    for (const auto& child : fs.iterate_directory(dir)) {
        const std::string path = dir.empty() ? child.filename() : dir + "/" + child.filename();
        child.is_directory() ? walk(fs, path, all) : void(all.emplace(path, fs.open(path)));
    }
}

// Written independently of the store's own normalisation: split on "/", drop empty parts.
std::string canonical(const std::string& path) {
    std::string out;
    for (std::size_t start = 0, slash; start <= path.size(); start = slash + 1) {
        slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            out += (out.empty() ? "" : "/") + path.substr(start, slash - start);
        }
    }
    return out;
}

std::error_code error_of(const std::function<void()>& f) {
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
    static const tree all = [] {
        tree t;
        walk(fs, "", t);
        return t;
    }();
    const std::string path(reinterpret_cast<const char*>(data), size);
    const auto found = all.find(canonical(path));
    const bool exists = found != all.end();
    const bool is_file = exists && found->second.has_value();
    const bool is_dir = exists && !is_file;
    if (fs.exists(path) != exists || fs.is_file(path) != is_file ||
        fs.is_directory(path) != is_dir) {
        std::abort();
    }

    cmrc::file opened;
    const auto open_error = error_of([&] { opened = fs.open(path); });
    if (is_file ? open_error || opened.begin() != found->second->begin() ||
                      opened.end() != found->second->end()
                : open_error != std::errc::no_such_file_or_directory) {
        std::abort();
    }

    std::size_t children = 0;
    const auto iterate_error = error_of([&] {
        for (const auto& child : fs.iterate_directory(path)) {
            // A child's name is one path component, and the child is where its name says.
            const auto c = all.find(found->first.empty() ? child.filename()
                                                         : found->first + "/" + child.filename());
            if (child.filename().empty() || child.filename().find('/') != std::string::npos ||
                c == all.end() || c->second.has_value() == child.is_directory()) {
                std::abort();
            }
            ++children;
        }
    });
    if (is_dir ? iterate_error || children == 0
               : iterate_error != (is_file ? std::errc::not_a_directory
                                           : std::errc::no_such_file_or_directory)) {
        std::abort();
    }
    return 0;
}
