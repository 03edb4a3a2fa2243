#pragma once

namespace platform {

// Lets the program's output reach the console it was started from. A Windows program of the GUI
// subsystem starts without standard output unless it was redirected (cmd.exe does not even wait
// for such a program): this attaches it to its parent's console, when there is one, so that
// Ctrl+C and the console's closing reach it, and writes standard output and standard error there
// unless they were redirected to a file or a pipe, which are kept. Call it first thing in main().
// Nothing to do on Linux.
void attach_console();

}  // namespace platform
