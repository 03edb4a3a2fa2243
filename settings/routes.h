#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace httplib {
class Server;
}
namespace usb {
class device;
}

namespace settings {

class store;
class unsaved;
class kits;
class current_kit;

// The routes of the settings page beyond the editor's: the module's state, a backup to download,
// a restore with its preview, and the stored copies.
class routes {
  public:
    routes(usb::device& device, store& store, unsaved& unsaved)
        : device_(device), store_(store), unsaved_(unsaved) {}

    // The pad the editor selected last, to be selected again after a restore that selected others.
    void editor_selected(std::int32_t pad) { editor_pad_ = pad; }

    // Called after a restore sent its commands to the module.
    void on_restore(std::function<void()> applied) { applied_ = std::move(applied); }
    // A restore may name a kit of the library ("kit"), and tells which kit the module holds.
    void attach_kits(kits& library, current_kit& current) {
        library_ = &library;
        current_ = &current;
    }

    // Registers GET /state, GET /backup, POST /restore, GET /backups and GET /backups/<name>.
    void register_routes(httplib::Server& server);

  private:
    usb::device& device_;
    store& store_;
    unsaved& unsaved_;
    kits* library_ = nullptr;
    current_kit* current_ = nullptr;
    // One restore at a time: two interleaved restores would each judge the other's commands.
    std::mutex restoring_;
    std::function<void()> applied_;
    std::atomic<std::int64_t> editor_pad_{no_pad};
    static constexpr std::int64_t no_pad = INT64_MIN;
};

}  // namespace settings
