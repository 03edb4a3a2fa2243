// Waits for a request to end it, as the program does, and says what ended the wait: driven from
// Linux by ctrl_c_test.py, which sends Wine the signal that Wine turns into a console's Ctrl+C.
#include <iostream>

#include "platform/termination.h"

int main() {
    platform::termination_signals signals;
    std::cout << "waiting" << std::endl;
    const bool by_system = signals.wait();
    std::cout << (by_system ? "ended by the system" : "ended by a request") << std::endl;
    return by_system ? 0 : 1;
}
