#include "midi/remembered.h"
#include "settings/private_files.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace midi {

std::filesystem::path remembered::default_file() {
    return settings::files::config_folder() / "config.json";
}

remembered::remembered(std::filesystem::path file, std::string key)
    : file_(std::move(file)), key_(std::move(key)) {
    content_ = load();
}

settings::json remembered::load() {
    std::ostringstream text;
    {
        // Closed before a damaged file is set aside: Windows renames no file that is open.
        std::ifstream in(file_, std::ios::binary);
        if (!in) {
            return settings::json::object();
        }
        text << in.rdbuf();
    }
    if (auto object = settings::parse_object(text.str())) {
        return std::move(*object);
    }
    // Kept for whoever wants to look at it, under a name that no later start takes for the file.
    std::filesystem::path aside = file_;
    aside +=
        settings::files::utf8_path(".damaged-" + settings::file_stamp(settings::wall_clock::now()));
    std::error_code error;
    std::filesystem::rename(file_, aside, error);
    std::cout << "The configuration file " << settings::files::utf8_name(file_) << " is damaged"
              << (error ? "" : "; it was set aside as " + settings::files::utf8_name(aside))
              << ", and the program goes on with its defaults." << std::endl;
    return settings::json::object();
}

remembered::choice remembered::current() const {
    std::lock_guard lock(mutex_);
    const auto it = content_.find(key_);
    if (it == content_.end()) {
        return {};
    }
    if (it->is_string()) {
        return {true, it->get<std::string>()};
    }
    return {true, std::nullopt};
}

bool remembered::save(const std::optional<std::string>& name) {
    std::lock_guard lock(mutex_);
    // Read again first: the demo and the program keep their choices in the same file, and the
    // other one may have written its own since.
    content_ = load();
    content_[key_] = name ? settings::json(*name) : settings::json(nullptr);
    const auto folder = file_.parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const auto temporary = settings::files::write_temporary(folder, content_.dump(2) + "\n");
    return temporary && settings::files::replace(*temporary, file_);
}

}  // namespace midi
