#include "platform/window_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {

namespace {

bool names_a_display() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

// The module sits next to the program in the build tree, and in a folder of the program's own
// below the library folder once installed. The installed place is found relative to the
// program, so an installation under another prefix (a package, `cmake --install --prefix`) finds
// its own module.
std::filesystem::path module_path() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path folder = program.parent_path();
    if (folder == std::filesystem::path(KORVALINE_BUILD_DIR)) {
        return folder / KORVALINE_WINDOW_MODULE;
    }
    return (folder / KORVALINE_WINDOW_MODULE_FROM_BINDIR / KORVALINE_WINDOW_MODULE)
        .lexically_normal();
}

}  // namespace

window_choice open_window(bool headless) {
    if (headless) {
        return {nullptr, "Headless (--headless)"};
    }
    if (!names_a_display()) {
        return {nullptr, "No display found"};
    }
    const std::filesystem::path path = module_path();
    // Never closed: GTK and GLib register types and start threads that cannot be unloaded.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return {nullptr, std::string("Cannot load the window (") + dlerror() + ")"};
    }
    auto create = reinterpret_cast<window_factory>(dlsym(module, window_factory_name));
    if (create == nullptr) {
        return {nullptr,
                "Cannot load the window (" + path.string() + " lacks " + window_factory_name + ")"};
    }
    std::unique_ptr<window_interface> window(create());
    if (!window) {
        return {nullptr, "No display could be opened"};
    }
    return {std::move(window), ""};
}

}  // namespace platform
