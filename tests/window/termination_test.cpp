// Waiting for SIGINT/SIGTERM while other threads run, as the program does without a display.
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

// Installs a counting handler for the signal, so a signal that arrives before or after the wait
// is counted instead of ending the test process, and restores the default afterwards.
class TerminationTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = earlier_handler;
        sigemptyset(&action.sa_mask);
        sigaction(GetParam(), &action, nullptr);
    }
    void TearDown() override { signal(GetParam(), SIG_DFL); }
};

TEST_P(TerminationTest, SignalFromAnotherThreadEndsTheWaitAndRestoresTheHandler) {
    const int signal_number = GetParam();
    std::atomic<bool> returned{false};
    // Keeps signalling until the wait has returned: the first signals may arrive before the wait
    // has installed its handler, which the counting handler absorbs.
    std::thread sender([&] {
        while (!returned) {
            kill(getpid(), signal_number);
            std::this_thread::sleep_for(50ms);
        }
    });
    platform::wait_for_termination();
    returned = true;
    sender.join();

    struct sigaction now {};
    sigaction(signal_number, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &earlier_handler);

    // With the earlier handler back, a signal reaches it again.
    int before = earlier_handler_calls.load();
    kill(getpid(), signal_number);
    // A sanitizer runtime may hold the signal back until a safe point: wait for it, boundedly.
    for (int i = 0; i < 100 && earlier_handler_calls.load() == before; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GT(earlier_handler_calls.load(), before);
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationTest, ::testing::Values(SIGINT, SIGTERM));

TEST(Termination, RequestBeforeTheWaitIsNotLost) {
    platform::request_termination();
    platform::wait_for_termination();  // returns at once
    SUCCEED();
}

TEST(Termination, RequestFromAnotherThreadEndsTheWaitOnce) {
    std::thread requester([] {
        std::this_thread::sleep_for(100ms);
        platform::request_termination();
    });
    platform::wait_for_termination();
    requester.join();

    // The request was used up: a new wait needs a new request.
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        platform::wait_for_termination();
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned);
    platform::request_termination();
    waiter.join();
    EXPECT_TRUE(returned);
}

}  // namespace
