// The window module's export: everything that maps GTK and WebKitGTK into the program enters here.
#include <signal.h>

#include "platform/window.h"

// Exported by WebKitGTK's JavaScript engine but left out of its installed headers. It chooses the
// signal the engine suspends its threads with; it must run before the engine starts, and answers
// false when that is too late.
extern "C" bool JSConfigureSignalForGC(int signal);

extern "C" __attribute__((visibility("default"))) platform::window_interface*
korvaline_create_window() {
    // The engine would suspend its threads with SIGUSR1, which the program keeps for itself (the
    // demo's plug switch): give it SIGUSR2, which nothing else uses. This covers this process
    // alone; the engine's own child processes keep their default, which is no concern of ours.
    // (The JSC_SIGNAL_FOR_GC variable would do the same, but every process of the engine then
    // prints "invalid option" about it.)
    JSConfigureSignalForGC(SIGUSR2);
    if (!platform::window::available()) {
        return nullptr;
    }
    return new platform::window();
}
