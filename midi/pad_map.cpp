#include "midi/pad_map.h"

namespace midi {

pad_map::pad_map(const settings::json& settings) {
    if (!settings.is_object()) {
        return;
    }
    for (const auto& [name, value] : settings.items()) {
        if (!value.is_object()) {
            continue;
        }
        const auto note = value.find("note");
        if (note == value.end() || !note->is_number_integer()) {
            continue;
        }
        const auto number = note->get<std::int64_t>();
        if (number < 0 || number > 127) {
            continue;
        }
        order_.emplace(name, order_.size());
        pad_note_[name] = static_cast<int>(number);
    }
}

std::optional<std::string> pad_map::pad_of(int note) const {
    std::optional<std::string> found;
    std::size_t place = 0;
    for (const auto& [name, played] : pad_note_) {
        const std::size_t here = order_.at(name);
        if (played == note && (!found || here < place)) {
            found = name;
            place = here;
        }
    }
    return found;
}

void pad_map::set_note(const std::string& pad, int note) {
    // Only pads the settings named: "/set" also reaches the hi-hat controller, which plays no note.
    if (const auto it = pad_note_.find(pad); it != pad_note_.end() && note >= 0 && note <= 127) {
        it->second = note;
    }
}

}  // namespace midi
