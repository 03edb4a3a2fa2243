// The outside view for scripts: "x11_probe wait TITLE SECONDS" prints WIDTHxHEIGHT of the window
// once it is viewable, "x11_probe close TITLE" sends it WM_DELETE_WINDOW. Exit status 1 when the
// window is not there.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/window/x11_probe.h"

int main(int argc, char** argv) {
    std::string command = argc > 2 ? argv[1] : "";
    if (command == "wait" && argc == 4) {
        auto window = x11_probe::wait_for_window(argv[2], std::chrono::seconds(std::atoi(argv[3])));
        if (!window) {
            return 1;
        }
        std::printf("%dx%d\n", window->width, window->height);
        return 0;
    }
    if (command == "close" && argc == 3) {
        return x11_probe::send_delete(argv[2]) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: x11_probe wait TITLE SECONDS | x11_probe close TITLE\n");
    return 2;
}
