#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "settings/backup.h"

namespace midi {

// The MIDI input the user chose, kept across runs in the program's configuration file. Written
// whole or not at all (a private temporary file, flushed, then renamed over the old one) and
// readable by the user alone; members written by others are kept. A file that is not a JSON
// object is set aside under a new name, with one line on standard output, and the program goes on
// as if nothing had been chosen.
class remembered {
  public:
    // What the file says: nothing chosen yet (the program may take an input by itself), no input
    // at all, or the name of one.
    struct choice {
        bool made = false;
        std::optional<std::string> name;
    };

    // The choice is the file's member `key`.
    explicit remembered(std::filesystem::path file, std::string key = "midi_input");

    // $XDG_CONFIG_HOME/korvaline/config.json, or ~/.config/korvaline/config.json when
    // XDG_CONFIG_HOME is unset or not an absolute path; %APPDATA%\Korvaline\config.json on
    // Windows.
    static std::filesystem::path default_file();

    choice current() const;

    // Remembers the input by name, or no input; true when the file was written.
    bool save(const std::optional<std::string>& name);

  private:
    settings::json load();

    std::filesystem::path file_;
    const std::string key_;
    mutable std::mutex mutex_;
    settings::json content_;
};

}  // namespace midi
