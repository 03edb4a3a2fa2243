#include "maintenance/hidapi_host.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <limits>

#include "maintenance/open_failure.h"

namespace hid {
namespace {

class hidapi_connection final : public connection {
  public:
    explicit hidapi_connection(hid_device* handle) : handle_(handle) {}
    ~hidapi_connection() override { hid_close(handle_); }
    hidapi_connection(const hidapi_connection&) = delete;
    hidapi_connection& operator=(const hidapi_connection&) = delete;

    int write(std::span<const std::uint8_t> report) override {
        return hid_write(handle_, report.data(), report.size());
    }

    int read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        // hidapi takes an int of milliseconds, where -1 would mean "forever": clamp so that a
        // bounded wait stays bounded.
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0,
                                                                   std::numeric_limits<int>::max());
        return hid_read_timeout(handle_, buffer.data(), buffer.size(), static_cast<int>(ms));
    }

  private:
    hid_device* handle_;
};

}  // namespace

hidapi_host::hidapi_host() {
    hid_init();
}

std::vector<device_info> hidapi_host::enumerate(std::uint16_t vendor, std::uint16_t product) {
    std::vector<device_info> found;
    hid_device_info* list = hid_enumerate(vendor, product);
    for (const hid_device_info* info = list; info != nullptr; info = info->next) {
        found.push_back(
            {info->path != nullptr ? info->path : "", info->vendor_id, info->product_id});
    }
    hid_free_enumeration(list);
    return found;
}

open_result hidapi_host::open(const device_info& device) {
    if (hid_device* handle = hid_open_path(device.path.c_str())) {
        return {std::make_unique<hidapi_connection>(handle), open_status::opened};
    }
    return {nullptr, open_failure(device.path)};
}

}  // namespace hid
