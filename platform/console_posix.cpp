#include "platform/console.h"

namespace platform {

// A Linux program has the standard streams of whatever started it.
void attach_console() {}

}  // namespace platform
