#pragma once

#include <map>
#include <optional>
#include <string>

#include "settings/backup.h"

namespace midi {

// Which pad plays which note, as the module's settings say: every member of the settings that is
// an object with a whole "note" between 0 and 127 is a pad of that name. When two pads share a
// note, the first one in the settings keeps it.
class pad_map {
  public:
    pad_map() = default;
    explicit pad_map(const settings::json& settings);

    // The pad that plays this note, or nothing when no pad does.
    std::optional<std::string> pad_of(int note) const;

    // One pad's note changed (a set the module answered): the pad plays this note from now on.
    void set_note(const std::string& pad, int note);

    bool empty() const { return pad_note_.empty(); }

  private:
    std::map<std::string, int> pad_note_;
    std::map<std::string, std::size_t> order_;  // the pad's place in the settings
};

}  // namespace midi
