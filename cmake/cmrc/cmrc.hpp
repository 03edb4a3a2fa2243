#pragma once

// Read access to files compiled into the executable by the resource compiler
// (cmake/resources.cmake). File bytes are constant data of the executable: nothing is copied, and
// every pointer handed out stays valid for the whole run.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace cmrc {

class file {
  public:
    using iterator = const char*;
    using const_iterator = const char*;

    file() = default;
    file(const char* begin, const char* end) : begin_(begin), end_(end) {}

    const char* begin() const noexcept { return begin_; }
    const char* end() const noexcept { return end_; }
    const char* cbegin() const noexcept { return begin_; }
    const char* cend() const noexcept { return end_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }

  private:
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
};

namespace detail {

struct file_record {
    const char* path;
    const char* begin;
    const char* end;
};

// One entry of the index: a file (its byte range) or a directory (its children in ascending byte
// order of their names, which std::map<std::string> gives).
struct node {
    bool directory = true;
    const char* begin = nullptr;
    const char* end = nullptr;
    std::map<std::string, const node*, std::less<>> children;
};

// Drops leading and trailing "/" and folds every run of "/" into one. Lookups are then exact and
// case-sensitive.
inline std::string normalize(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '/' && (out.empty() || out.back() == '/')) {
            continue;
        }
        out.push_back(c);
    }
    while (!out.empty() && out.back() == '/') {
        out.pop_back();
    }
    return out;
}

class index {
  public:
    index(const file_record* records, std::size_t count) {
        nodes_.push_back(std::make_unique<node>());
        by_path_.emplace("", nodes_.front().get());
        for (std::size_t i = 0; i < count; ++i) {
            add_file(records[i]);
        }
    }
    index(const index&) = delete;
    index& operator=(const index&) = delete;

    const node* find(std::string_view path) const {
        auto it = by_path_.find(normalize(path));
        return it == by_path_.end() ? nullptr : it->second;
    }

  private:
    node* directory_for(const std::string& path) {
        if (auto it = by_path_.find(path); it != by_path_.end()) {
            return const_cast<node*>(it->second);
        }
        auto slash = path.rfind('/');
        node* parent = directory_for(slash == std::string::npos ? "" : path.substr(0, slash));
        nodes_.push_back(std::make_unique<node>());
        node* dir = nodes_.back().get();
        parent->children.emplace(slash == std::string::npos ? path : path.substr(slash + 1), dir);
        by_path_.emplace(path, dir);
        return dir;
    }

    void add_file(const file_record& record) {
        std::string path = normalize(record.path);
        auto slash = path.rfind('/');
        node* parent = directory_for(slash == std::string::npos ? "" : path.substr(0, slash));
        nodes_.push_back(std::make_unique<node>());
        node* f = nodes_.back().get();
        f->directory = false;
        f->begin = record.begin;
        f->end = record.end;
        parent->children.emplace(slash == std::string::npos ? path : path.substr(slash + 1), f);
        by_path_.emplace(path, f);
    }

    std::vector<std::unique_ptr<node>> nodes_;
    std::map<std::string, const node*, std::less<>> by_path_;
};

}  // namespace detail

class directory_entry {
  public:
    directory_entry(std::string name, const detail::node& item)
        : name_(std::move(name)), item_(&item) {}

    const std::string& filename() const& noexcept { return name_; }
    std::string filename() && { return std::move(name_); }
    bool is_file() const noexcept { return !item_->directory; }
    bool is_directory() const noexcept { return item_->directory; }

  private:
    std::string name_;
    const detail::node* item_;
};

// The children of one directory, in ascending byte order of their names.
class directory_iterator {
  public:
    using iterator = std::vector<directory_entry>::const_iterator;

    explicit directory_iterator(const detail::node& dir) {
        entries_.reserve(dir.children.size());
        for (const auto& [name, child] : dir.children) {
            entries_.emplace_back(name, *child);
        }
    }
    iterator begin() const noexcept { return entries_.begin(); }
    iterator end() const noexcept { return entries_.end(); }

  private:
    std::vector<directory_entry> entries_;
};

class embedded_filesystem {
  public:
    explicit embedded_filesystem(const detail::index& index) : index_(&index) {}

    // The bytes of a file. Throws std::system_error (no_such_file_or_directory) for a path that
    // is not in the store or that names a directory.
    file open(const std::string& path) const {
        const detail::node* n = index_->find(path);
        if (n == nullptr || n->directory) {
            throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                    path);
        }
        return file(n->begin, n->end);
    }

    bool exists(const std::string& path) const noexcept { return index_->find(path) != nullptr; }
    bool is_file(const std::string& path) const noexcept {
        const detail::node* n = index_->find(path);
        return n != nullptr && !n->directory;
    }
    bool is_directory(const std::string& path) const noexcept {
        const detail::node* n = index_->find(path);
        return n != nullptr && n->directory;
    }

    // Throws std::system_error: no_such_file_or_directory for a missing path, not_a_directory for
    // a file.
    directory_iterator iterate_directory(const std::string& path) const {
        const detail::node* n = index_->find(path);
        if (n == nullptr) {
            throw std::system_error(std::make_error_code(std::errc::no_such_file_or_directory),
                                    path);
        }
        if (!n->directory) {
            throw std::system_error(std::make_error_code(std::errc::not_a_directory), path);
        }
        return directory_iterator(*n);
    }

  private:
    const detail::index* index_;
};

}  // namespace cmrc

#define CMRC_DECLARE(libid)                     \
    namespace cmrc::libid {                     \
    cmrc::embedded_filesystem get_filesystem(); \
    }

CMRC_DECLARE(app_resources)
