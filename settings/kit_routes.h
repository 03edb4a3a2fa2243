#pragma once

namespace httplib {
class Server;
}
namespace usb {
class device;
}

namespace settings {

class kits;
class current_kit;

// The routes of the kit library. A kit is loaded through POST /restore (its "kit" source), with
// the same preview and apply as a backup.
class kit_routes {
  public:
    kit_routes(usb::device& device, kits& library, current_kit& current)
        : device_(device), library_(library), current_(current) {}

    // Registers GET /kit (the kit the module holds), GET /kits, POST /kits, POST /kits/import,
    // GET /kits/<name>, POST /kits/<name>/rename and POST /kits/<name>/delete.
    void register_routes(httplib::Server& server);

  private:
    usb::device& device_;
    kits& library_;
    current_kit& current_;
};

}  // namespace settings
