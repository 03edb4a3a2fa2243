#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/console.h"

namespace platform {

namespace {

// A handle the program was given: a file, a pipe or a console. A program of the GUI subsystem
// started from Explorer, or from cmd.exe without redirection, has none.
bool given(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

}  // namespace

void attach_console() {
    const bool output_given = given(STD_OUTPUT_HANDLE);
    const bool error_given = given(STD_ERROR_HANDLE);
    // Fails when the parent has no console (Explorer), which leaves the program as it was.
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return;
    }
    // The C runtime's streams (and std::cout and std::cerr, which write through them) reopened
    // on the console; the Win32 handles too, for anything that asks for them.
    if (!output_given && _wfreopen(L"CONOUT$", L"w", stdout) != nullptr) {
        SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    }
    if (!error_given && _wfreopen(L"CONOUT$", L"w", stderr) != nullptr) {
        SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))));
    }
}

}  // namespace platform
