// The window module's export: everything that maps GTK and WebKitGTK into the program enters here.
#include <malloc.h>
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
// render device that matches no GPU, what the probe finds without one. The web process opens its
// own OpenGL display in any case.
void keep_opengl_probes_out() {
    ::setenv("GDK_GL", "disable", 0);
    ::setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
    ::setenv("WEBKIT_WEB_RENDER_DEVICE_FILE", "/dev/null", 0);
}

// The engine is built for browsing the web; the window shows one small page of our own, whose
// scripts do little more than redraw a noise graph a few times a second. Three engine-wide
// settings fit it to that (measured under Xvfb with the noise logger running, the program and the
// engine's processes together: 209 to 212 MB proportional set size before, 197 to 199 after, and
// the CPU they use together a little lower, 6.4 to 6.9% of one core against 7.1 to 8.5%):
// - No JIT compilers: the interpreter is quick enough for these scripts, and the compilers'
//   code, threads and buffers cost the web process 6 MB.
// - The system allocator in place of the engine's own, which keeps freed memory for reuse and
//   hardens the engine against hostile pages; the fence in the window lets only our pages in.
//   This saves 1.5 MB and some CPU.
// - glibc's allocator with two arenas at most and large blocks returned at once: threads that
//   allocated briefly otherwise keep an arena each. 4 to 5 MB over the three processes. The
//   engine's processes take the tunables from the environment at start; this process, already
//   running, takes them through mallopt().
void fit_engine_to_one_page() {
    ::setenv("JSC_useJIT", "false", 0);
    ::setenv("Malloc", "1", 0);
    ::setenv("GLIBC_TUNABLES",
             "glibc.malloc.arena_max=2:glibc.malloc.trim_threshold=65536:"
             "glibc.malloc.mmap_threshold=65536",
             0);
    ::mallopt(M_ARENA_MAX, 2);
    ::mallopt(M_TRIM_THRESHOLD, 64 * 1024);
    ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
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
    // Both set the environment before GTK starts, so the engine's processes inherit it; a value
    // the user has set wins.
    keep_opengl_probes_out();
    fit_engine_to_one_page();
    if (!platform::window::available()) {
        return nullptr;
    }
    return new platform::window();
}
