#include "settings/kits.h"

#include <algorithm>
#include <cctype>

#include "settings/private_files.h"

namespace settings {

namespace {

// The characters of a UTF-8 text, or nothing when the text is no valid UTF-8.
std::optional<std::vector<char32_t>> characters(std::string_view text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80       ? 1
                           : lead >> 5 == 6  ? 2
                           : lead >> 4 == 14 ? 3
                           : lead >> 3 == 30 ? 4
                                             : 0;
        if (length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        char32_t c = length == 1 ? lead : lead & (0x7f >> length);
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next >> 6 != 2) {
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and values past Unicode's end are no characters.
        constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < smallest[length] || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff) {
            return std::nullopt;
        }
        out.push_back(c);
        i += length;
    }
    return out;
}

bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// A file name for the kit: its name's letters and digits as far as they are ASCII, in lower case,
// with the rest as single dashes. Only a hint for someone looking into the folder.
std::string file_stem(const std::string& name) {
    std::string stem;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80) {
            stem += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!stem.empty() && stem.back() != '-') {
            stem += '-';
        }
        if (stem.size() >= 40) {
            break;
        }
    }
    while (!stem.empty() && stem.back() == '-') {
        stem.pop_back();
    }
    return stem.empty() ? "kit" : stem;
}

}  // namespace

std::filesystem::path kits::default_folder() {
    return files::data_folder() / "kits";
}

std::string kits::name_problem(std::string_view name) {
    const auto chars = characters(name);
    const bool fits =
        chars && !chars->empty() && chars->size() <= longest_name &&
        std::none_of(chars->begin(), chars->end(), is_control) &&
        !std::all_of(chars->begin(), chars->end(), [](char32_t c) { return c == ' '; });
    return fits ? std::string()
                : "A kit's name has 1 to 60 characters, not all spaces, and no control characters.";
}

std::string kits::notes_problem(std::string_view notes) {
    const auto chars = characters(notes);
    const bool fits = chars && chars->size() <= longest_notes &&
                      std::none_of(chars->begin(), chars->end(), [](char32_t c) {
                          return is_control(c) && c != '\n' && c != '\t';
                      });
    return fits ? std::string()
                : "A kit's notes have at most 500 characters and no control characters but line "
                  "breaks.";
}

std::optional<kits::kit> kits::parse(std::string_view text) {
    auto settings = unwrap(text);
    if (!settings) {
        return std::nullopt;
    }
    const json file = *parse_object(text);
    kit out{{}, {}, {}, std::move(*settings), {}};
    const auto text_member = [&file](const char* key, std::string& into) {
        const auto found = file.find(key);
        if (found == file.end()) {
            return true;
        }
        if (!found->is_string()) {
            return false;
        }
        into = found->get<std::string>();
        return true;
    };
    if (!text_member("created", out.created) || !text_member("name", out.name) ||
        !text_member("notes", out.notes) || !notes_problem(out.notes).empty() ||
        (file.contains("name") && !name_problem(out.name).empty())) {
        return std::nullopt;
    }
    return out;
}

std::vector<kits::kit> kits::scan() const {
    std::vector<kit> out;
    auto items = files::regular_files(folder_);
    // The same folder lists the same way, so a duplicate name always yields to the same file.
    std::sort(
        items.begin(), items.end(),
        [](const files::listed_file& a, const files::listed_file& b) { return a.name < b.name; });
    for (const files::listed_file& item : items) {
        const auto text = files::read_file(folder_, item.name, largest_file);
        auto found = text ? parse(*text) : std::nullopt;
        if (!found || found->name.empty() || std::any_of(out.begin(), out.end(), [&](const kit& k) {
                return k.name == found->name;
            })) {
            continue;
        }
        found->file = item.name;
        out.push_back(std::move(*found));
    }
    std::sort(out.begin(), out.end(), [](const kit& a, const kit& b) { return a.name < b.name; });
    return out;
}

std::vector<kits::kit> kits::list() const {
    std::lock_guard lock(mutex_);
    return scan();
}

std::optional<kits::kit> kits::find(std::string_view name) const {
    for (kit& k : list()) {
        if (k.name == name) {
            return std::move(k);
        }
    }
    return std::nullopt;
}

std::optional<std::string> kits::text(std::string_view name) const {
    const auto found = find(name);
    // The file's name came from the folder's own listing, so the path stays inside it.
    return found ? files::read_file(folder_, found->file, largest_file) : std::nullopt;
}

std::optional<std::string> kits::write_new(const std::string& name, const std::string& text) const {
    if (!files::make_private_folder(folder_)) {
        return std::nullopt;
    }
    const auto temporary = files::write_temporary(folder_, text);
    if (!temporary) {
        return std::nullopt;
    }
    // A file name already taken (by a kit of a similar name) is never replaced.
    std::optional<std::string> stored;
    const std::string stem = file_stem(name);
    for (int n = 1; n <= 1000 && !stored; ++n) {
        const std::string file = stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".json";
        const files::placed outcome =
            files::place_new(*temporary, folder_ / files::utf8_path(file));
        if (outcome == files::placed::done) {
            stored = file;
        } else if (outcome == files::placed::failed) {
            break;
        }
    }
    if (!stored) {
        files::remove(*temporary);
    }
    return stored;
}

bool kits::write_over(const std::string& file, const std::string& text) const {
    const auto temporary = files::write_temporary(folder_, text);
    return temporary && files::replace(*temporary, folder_ / files::utf8_path(file));
}

kits::outcome kits::save(const std::string& name, const std::string& notes, const json& settings,
                         bool replace, wall_clock::time_point when) {
    std::lock_guard lock(mutex_);
    const std::string text = wrap(settings, when, {{"name", name}, {"notes", notes}});
    const auto items = scan();
    const auto same =
        std::find_if(items.begin(), items.end(), [&](const kit& k) { return k.name == name; });
    if (same == items.end()) {
        return write_new(name, text) ? outcome::done : outcome::failed;
    }
    if (!replace) {
        return outcome::exists;
    }
    return write_over(same->file, text) ? outcome::done : outcome::failed;
}

kits::outcome kits::rename(std::string_view from, const std::string& to) {
    std::lock_guard lock(mutex_);
    const auto items = scan();
    const auto named = [&items](std::string_view name) {
        return std::find_if(items.begin(), items.end(),
                            [&](const kit& k) { return k.name == name; });
    };
    const auto old = named(from);
    if (old == items.end()) {
        return outcome::missing;
    }
    if (from == to) {
        return outcome::done;
    }
    if (named(to) != items.end()) {
        return outcome::exists;
    }
    const auto text = files::read_file(folder_, old->file, largest_file);
    auto file = text ? parse_object(*text) : std::nullopt;
    if (!file) {
        return outcome::failed;
    }
    (*file)["name"] = to;
    if (!write_new(to, file_text(*file))) {
        return outcome::failed;
    }
    files::remove(folder_ / files::utf8_path(old->file));
    return outcome::done;
}

kits::outcome kits::set_notes(std::string_view name, const std::string& notes) {
    std::lock_guard lock(mutex_);
    for (const kit& k : scan()) {
        if (k.name == name) {
            const auto text = files::read_file(folder_, k.file, largest_file);
            auto file = text ? parse_object(*text) : std::nullopt;
            if (!file) {
                return outcome::failed;
            }
            (*file)["notes"] = notes;
            return write_over(k.file, file_text(*file)) ? outcome::done : outcome::failed;
        }
    }
    return outcome::missing;
}

kits::outcome kits::remove(std::string_view name) {
    std::lock_guard lock(mutex_);
    for (const kit& k : scan()) {
        if (k.name == name) {
            return files::remove(folder_ / files::utf8_path(k.file)) ? outcome::done
                                                                     : outcome::failed;
        }
    }
    return outcome::missing;
}

}  // namespace settings
