// Catching SIGINT/SIGTERM while other threads run, as the program does from its first line.
#include "platform/termination.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
std::atomic<int> earlier_handler_calls{0};

TEST(termination, a_signal_before_or_during_the_wait_ends_it_and_the_earlier_handler_returns) {
    for (const int number : {SIGINT, SIGTERM}) {
        struct sigaction earlier {};
        earlier.sa_handler = [](int) { ++earlier_handler_calls; };
        sigaction(number, &earlier, nullptr);
        {
            platform::termination_signals signals;
            // The program may still be starting when the signal comes; the wait must see it later.
            kill(getpid(), number);
            EXPECT_TRUE(signals.wait());
            std::thread sender([number] {
                std::this_thread::sleep_for(100ms);
                kill(getpid(), number);
            });
            EXPECT_TRUE(signals.wait());
            sender.join();
        }
        EXPECT_EQ(earlier_handler_calls, 0) << "a signal went past the guard";
        kill(getpid(), number);
        // A sanitizer runtime may hold a signal back until a safe point.
        test::eventually([] { return earlier_handler_calls > 0; }, 5s);
        EXPECT_EQ(earlier_handler_calls.exchange(0), 1) << "the earlier handler is back";
        signal(number, SIG_DFL);
    }
}

}  // namespace
