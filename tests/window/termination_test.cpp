// Catching SIGINT/SIGTERM while other threads run, as the program does from its first line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/termination.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> earlier_handler_calls{0};
void earlier_handler(int) {
    earlier_handler_calls.fetch_add(1);
}

// Installs a counting handler for the signal, so a signal that reaches it is counted instead of
// ending the test process, and restores the default afterwards.
class TerminationTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = earlier_handler;
        sigemptyset(&action.sa_mask);
        sigaction(GetParam(), &action, nullptr);
    }
    void TearDown() override { signal(GetParam(), SIG_DFL); }

    // Waits, boundedly, for the earlier handler to count one more call: a sanitizer runtime may
    // hold a signal back until a safe point.
    static bool earlier_handler_called_since(int before) {
        for (int i = 0; i < 100 && earlier_handler_calls.load() == before; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        return earlier_handler_calls.load() > before;
    }
};

TEST_P(TerminationTest, SignalBeforeTheWaitIsKeptAndTheEarlierHandlerComesBack) {
    const int signal_number = GetParam();
    const int before = earlier_handler_calls.load();
    {
        platform::termination_signals signals;
        // The program may still be starting when the signal comes; the wait must see it later.
        kill(getpid(), signal_number);
        EXPECT_TRUE(signals.wait());
    }
    EXPECT_EQ(earlier_handler_calls.load(), before) << "the signal went past the guard";

    struct sigaction now {};
    sigaction(signal_number, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &earlier_handler);
    kill(getpid(), signal_number);
    EXPECT_TRUE(earlier_handler_called_since(before));
}

TEST_P(TerminationTest, SignalFromAnotherThreadEndsAWaitInProgress) {
    platform::termination_signals signals;
    std::thread sender([&] {
        std::this_thread::sleep_for(100ms);
        kill(getpid(), GetParam());
    });
    EXPECT_TRUE(signals.wait());
    sender.join();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationTest, ::testing::Values(SIGINT, SIGTERM));

TEST(Termination, ARequestEndsOneWaitAndIsToldApartFromASignal) {
    platform::termination_signals signals;
    signals.request();
    EXPECT_FALSE(signals.wait());  // returns at once: the request came first

    // The request was used up: a new wait needs a new one.
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        signals.wait();
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned);
    signals.request();
    waiter.join();
    EXPECT_TRUE(returned);
}

}  // namespace
