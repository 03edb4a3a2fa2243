#include "maintenance/open_failure.h"

namespace hid {

// A HID path on Windows is a device interface that any user may open: Windows has no permission
// to grant for it (nothing like Linux's udev rules), so a failed open is only a failure, such as a
// device that has gone or that another program holds.
open_status open_failure(const std::string&) {
    return open_status::failed;
}

}  // namespace hid
