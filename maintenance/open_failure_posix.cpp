#include "maintenance/open_failure.h"

#include <unistd.h>

#include <cerrno>

namespace hid {

// hidraw paths are device nodes: the node itself tells whether the user may open it.
open_status open_failure(const std::string& path) {
    if (::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        return open_status::no_permission;
    }
    return open_status::failed;
}

}  // namespace hid
