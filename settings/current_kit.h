#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "settings/backup.h"

namespace settings {

// The kit the module holds as far as the program knows: the one last loaded or saved, and whether
// a value has changed since. It is remembered in a small file beside the kits with the module's
// settings of that moment, so that after a restart the name comes back only while the module
// still holds exactly those settings. Every change is published as
// {"event" : "kit", "name": "Stage", "changed": false} (the name null when none is known).
class current_kit {
  public:
    struct state {
        std::optional<std::string> name;
        bool changed = false;
        bool operator==(const state&) const = default;
    };

    // Reads what an earlier run remembered in `file`.
    current_kit(std::filesystem::path file, std::function<void(std::string)> publish);

    // The module's settings are those of this kit now (it was just loaded or saved).
    void held(const std::string& name, const json& module);
    // A value of the module changed in some other way.
    void touched();
    void renamed(const std::string& from, const std::string& to);
    void removed(const std::string& name);

    // The state, judged against the module's settings when they could be read: settings equal to
    // the kit's clear "changed"; other settings mark it, or forget a kit remembered from an
    // earlier run that this run has not yet seen the module hold.
    state check(const std::optional<json>& module);

    // Whether any kit is known, so that the module need not be read to check it.
    bool known();

    static std::string event(const state& s);

  private:
    void set(state next);  // under the lock
    void remember() const;
    void forget() const;

    std::filesystem::path file_;
    std::function<void(std::string)> publish_;
    std::mutex mutex_;
    state state_;
    json settings_;
    bool confirmed_ = false;  // this run has seen the module hold the kit, or made it so
};

}  // namespace settings
