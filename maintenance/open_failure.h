#pragma once

#include <string>

#include "maintenance/hid.h"

namespace hid {

// Why the HID device at `path` (as hidapi names it) could not be opened, asked right after the
// open failed: no_permission where the system keeps the user from the device and says so,
// failed otherwise. hidapi keeps no error code of its own for this; each system answers in its
// own file.
open_status open_failure(const std::string& path);

}  // namespace hid
