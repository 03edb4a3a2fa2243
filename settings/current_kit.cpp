#include "settings/current_kit.h"

#include "settings/plan.h"
#include "settings/private_files.h"

namespace settings {

namespace {

constexpr std::size_t largest_file = 1u << 20;

}  // namespace

current_kit::current_kit(std::filesystem::path file, std::function<void(std::string)> publish)
    : file_(std::move(file)), publish_(std::move(publish)) {
    const auto text =
        files::read_file(file_.parent_path(), files::utf8_name(file_.filename()), largest_file);
    const auto remembered = text ? parse_object(*text) : std::nullopt;
    if (remembered && remembered->contains("name") && (*remembered)["name"].is_string() &&
        remembered->contains("settings") && (*remembered)["settings"].is_object()) {
        state_.name = (*remembered)["name"].get<std::string>();
        settings_ = (*remembered)["settings"];
    }
}

std::string current_kit::event(const state& s) {
    const json message = {
        {"event", "kit"}, {"name", s.name ? json(*s.name) : json(nullptr)}, {"changed", s.changed}};
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

void current_kit::set(state next) {
    if (next != state_) {
        state_ = std::move(next);
        publish_(event(state_));
    }
}

void current_kit::remember() const {
    const json file = {{"name", *state_.name}, {"settings", settings_}};
    const auto folder = file_.parent_path();
    if (!files::make_private_folder(folder)) {
        return;
    }
    if (const auto temporary = files::write_temporary(folder, file_text(file))) {
        files::replace(*temporary, file_);
    }
}

void current_kit::forget() const {
    files::remove(file_);
}

void current_kit::held(const std::string& name, const json& module) {
    std::lock_guard lock(mutex_);
    settings_ = module;
    confirmed_ = true;
    set({name, false});
    remember();
}

void current_kit::touched() {
    std::lock_guard lock(mutex_);
    if (state_.name) {
        // Told on every change, not only the first: an open kit list counts the differences again.
        state_ = {state_.name, true};
        publish_(event(state_));
    }
}

void current_kit::renamed(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    if (state_.name == from) {
        set({to, state_.changed});
        remember();
    }
}

void current_kit::removed(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (state_.name == name) {
        set({});
        forget();
    }
}

bool current_kit::known() {
    std::lock_guard lock(mutex_);
    return state_.name.has_value();
}

current_kit::state current_kit::check(const std::optional<json>& module) {
    std::lock_guard lock(mutex_);
    if (!state_.name || !module) {
        return state_;
    }
    const plan difference = make_plan(settings_, *module);
    if (difference.changes.empty() && difference.skipped.empty()) {
        confirmed_ = true;
        set({state_.name, false});
    } else if (confirmed_) {
        set({state_.name, true});
    } else {
        set({});
        forget();
    }
    return state_;
}

}  // namespace settings
