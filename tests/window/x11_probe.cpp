#include "tests/window/x11_probe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>
#include <thread>

namespace x11_probe {

namespace {

struct display_closer {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using display_ptr = std::unique_ptr<Display, display_closer>;

// Windows come and go while we walk the tree (GTK creates and drops helper windows at start-up),
// so a query may name a window that no longer exists. Xlib's default handler ends the process on
// that error; while probing, such errors only mean "not this window".
int ignore_error(Display*, XErrorEvent*) {
    return 0;
}

class errors_ignored {
  public:
    errors_ignored() : previous_(XSetErrorHandler(ignore_error)) {}
    ~errors_ignored() { XSetErrorHandler(previous_); }
    errors_ignored(const errors_ignored&) = delete;
    errors_ignored& operator=(const errors_ignored&) = delete;

  private:
    XErrorHandler previous_;
};

bool has_title(Display* display, Window window, const std::string& title) {
    XTextProperty property{};
    if (XGetWMName(display, window, &property) == 0 || property.value == nullptr) {
        return false;
    }
    bool same =
        std::string(reinterpret_cast<const char*>(property.value), property.nitems) == title;
    XFree(property.value);
    return same;
}

// Depth-first search from the root: without a window manager the toplevel is a child of the
// root, with one it sits one level deeper inside the frame.
std::optional<Window> find(Display* display, Window parent, const std::string& title) {
    if (has_title(display, parent, title)) {
        return parent;
    }
    Window root = 0;
    Window up = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, parent, &root, &up, &children, &count) == 0) {
        return std::nullopt;
    }
    std::optional<Window> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        found = find(display, children[i], title);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

}  // namespace

std::optional<toplevel> wait_for_window(const std::string& title, std::chrono::milliseconds limit) {
    errors_ignored guard;  // outlives the connection: closing it reports pending errors too
    auto deadline = std::chrono::steady_clock::now() + limit;
    // A server that is resetting refuses connections for a moment: keep trying until the limit.
    display_ptr display(XOpenDisplay(nullptr));
    while (!display && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        display.reset(XOpenDisplay(nullptr));
    }
    if (!display) {
        return std::nullopt;
    }
    do {
        if (auto window = find(display.get(), DefaultRootWindow(display.get()), title)) {
            XWindowAttributes attributes{};
            if (XGetWindowAttributes(display.get(), *window, &attributes) != 0 &&
                attributes.map_state == IsViewable) {
                return toplevel{*window, attributes.width, attributes.height, true};
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

long icon_pixels(const std::string& title) {
    errors_ignored guard;
    display_ptr display(XOpenDisplay(nullptr));
    if (!display) {
        return 0;
    }
    auto window = find(display.get(), DefaultRootWindow(display.get()), title);
    if (!window) {
        return 0;
    }
    // GTK publishes _NET_WM_ICON only to window managers that announce it; the ICCCM icon pixmap
    // in WM_HINTS is there with or without one, and it is what the test's bare X server shows.
    XWMHints* hints = XGetWMHints(display.get(), *window);
    if (hints == nullptr) {
        return 0;
    }
    long pixels = 0;
    if ((hints->flags & IconPixmapHint) != 0 && hints->icon_pixmap != None) {
        Window root = 0;
        int x = 0;
        int y = 0;
        unsigned int width = 0;
        unsigned int height = 0;
        unsigned int border = 0;
        unsigned int depth = 0;
        if (XGetGeometry(display.get(), hints->icon_pixmap, &root, &x, &y, &width, &height, &border,
                         &depth) != 0) {
            pixels = static_cast<long>(width) * height;
        }
    }
    XFree(hints);
    return pixels;
}

bool send_delete(const std::string& title) {
    errors_ignored guard;
    display_ptr display(XOpenDisplay(nullptr));
    if (!display) {
        return false;
    }
    auto window = find(display.get(), DefaultRootWindow(display.get()), title);
    if (!window) {
        return false;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = *window;
    event.xclient.message_type = XInternAtom(display.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] =
        static_cast<long>(XInternAtom(display.get(), "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display.get(), *window, False, NoEventMask, &event);
    XSync(display.get(), False);
    return true;
}

}  // namespace x11_probe
