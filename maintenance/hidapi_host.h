#pragma once

#include "maintenance/hid.h"

namespace hid {

// The HID seam on hidapi (its hidraw back end on Linux, its Windows one on Windows). Construct it
// once, on the main thread, before any transfer runs: the constructor initialises hidapi so that no
// two threads race to do it.
class hidapi_host final : public host {
  public:
    hidapi_host();
    hidapi_host(const hidapi_host&) = delete;
    hidapi_host& operator=(const hidapi_host&) = delete;

    std::vector<device_info> enumerate(std::uint16_t vendor, std::uint16_t product) override;
    open_result open(const device_info& device) override;
};

}  // namespace hid
