// The window module's export: everything that maps GTK and WebKitGTK into the program enters here.
#include <signal.h>

#include <cstdlib>

#include "platform/window.h"

// Exported by WebKitGTK's JavaScript engine but left out of its installed headers. It chooses the
// signal the engine suspends its threads with; it must run before the engine starts, and answers
// false when that is too late.
extern "C" bool JSConfigureSignalForGC(int signal);

namespace {

// The window paints without hardware acceleration, yet GTK and WebKit would still open an OpenGL
// display in this process only to probe it: GDK for its visuals, WebKit for the DMA-BUF renderer
// and for the render device it hands to the web process. Each probe loads the system's OpenGL
// driver and, with Mesa, LLVM. Telling both there is nothing to probe keeps the driver out of this
// process (measured under Xvfb: 82 to 53 MB of proportional set size, the window with its engine
// 228 to 206 MB); all three are needed, as any probe left loads the driver. "/dev/null" is a
// render device that matches no GPU, what the probe finds without one. Set before GTK starts, so
// the engine's processes inherit them; a value the user has set wins. The web process opens its
// own OpenGL display in any case.
void keep_opengl_probes_out() {
    ::setenv("GDK_GL", "disable", 0);
    ::setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
    ::setenv("WEBKIT_WEB_RENDER_DEVICE_FILE", "/dev/null", 0);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::window_interface*
korvaline_create_window() {
    // The engine would suspend its threads with SIGUSR1, which the program keeps for itself (the
    // demo's plug switch): give it SIGUSR2, which nothing else uses. This covers this process
    // alone; the engine's own child processes keep their default, which is no concern of ours.
    // (The JSC_SIGNAL_FOR_GC variable would do the same, but every process of the engine then
    // prints "invalid option" about it.)
    JSConfigureSignalForGC(SIGUSR2);
    keep_opengl_probes_out();
    if (!platform::window::available()) {
        return nullptr;
    }
    return new platform::window();
}
