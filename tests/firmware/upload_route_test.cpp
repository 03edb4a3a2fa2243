// POST "/firmware" on an in-process server (port 5710): the acceptance rules, one transfer at a
// time, and bodies over the limit refused without being read whole.

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <string>

#include "maintenance/firmware_route.h"
#include "sim/bootloader.h"
#include "tests/firmware/recorder.h"
#include "tests/support/test_server.h"

using namespace std::chrono_literals;

namespace {

constexpr int port = 5710;
const std::string accepted(firmware::accepted_body);
const std::string refused(firmware::refused_body);
const std::string good = "header Korvaline firmware by Talverin Acoustics";

TEST(FirmwareAcceptance, FollowsTheRulesByteForByte) {
    struct row {
        const char* why;
        std::string filename, type, content;
        bool ok;
    };
    const std::string octets = "application/octet-stream";
    const row rows[] = {
        {"long name", "Korvaline.ino.bin", octets, good, true},
        {"short name", "Korvaline.bin", octets, good, true},
        {"maker first", "Korvaline.ino.bin", octets, "Talverin Acoustics ... Korvaline", true},
        {"binary around", "Korvaline.bin", octets,
         std::string("\0\xff", 2) + "Korvaline" + std::string(3, '\0') + "Talverin Acoustics",
         true},
        {"lower-case first letter", "korvaline.bin", octets, good, false},
        {"path before the name", "fw/Korvaline.bin", octets, good, false},
        {"trailing blank", "Korvaline.bin ", octets, good, false},
        {"other extension", "Korvaline.hex", octets, good, false},
        {"maker missing", "Korvaline.bin", octets, "Korvaline only", false},
        {"product missing", "Korvaline.bin", octets, "Talverin Acoustics only", false},
        {"maker in other case", "Korvaline.bin", octets, "Korvaline talverin acoustics", false},
        {"other type", "Korvaline.bin", "application/x-binary", good, false},
        {"type with parameter", "Korvaline.bin", octets + "; x=1", good, false},
        {"empty file", "Korvaline.bin", octets, "", false},
        {"nothing at all", "", "", "", false},
        {"over 20 MiB", "Korvaline.bin", octets, good + std::string(20u << 20, 'x'), false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(firmware::acceptable(r.filename, r.type, r.content), r.ok) << r.why;
    }
    EXPECT_TRUE(firmware::acceptable("Korvaline.bin", "application/octet-stream",
                                     good + std::string((20u << 20) - good.size(), 'x')))
        << "exactly 20 MiB";
}

// The route with a transfer whose reset can be held, so that a transfer can be kept running.
struct route : testing::Test {
    route()
        : events([this] {
              held.wait();
              loader.attach();
              return true;
          }) {
        firmware::pacing pace;
        pace.step = 1ms;
        pace.bootloader.report_pause = 0ms;
        pace.bootloader.ack_timeout = 500ms;
        uploads.emplace(events.link(), loader, pace);
        uploads->register_route(server);
        running.emplace(server, port);
    }
    ~route() override {
        held.count_down();
        uploads->wait();
        running.reset();
    }

    httplib::Result post(const std::string& filename, const std::string& type,
                         const std::string& content) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30, 0);
        httplib::MultipartFormDataItems items{{"firmware_file", content, filename, type}};
        return client.Post("/firmware", items);
    }

    std::latch held{1};
    sim::bootloader loader;
    test::recorder events;
    httplib::Server server;
    std::optional<firmware::uploads> uploads;
    std::optional<test::running_server> running;
};

TEST_F(route, AcceptsAndStartsTheTransferAtOnce) {
    auto res = post("Korvaline.ino.bin", "application/octet-stream", good);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, accepted);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    // The answer came while the transfer is still held at its reset.
    EXPECT_TRUE(uploads->running());
    held.count_down();
    uploads->wait();
    EXPECT_EQ(events.events().back(), std::string(firmware::end_event));
    std::string padded = good;
    padded.resize(1024, '\0');
    EXPECT_EQ(loader.image(), padded);
}

TEST_F(route, RefusesWhatTheRulesRefuseAndStartsNothing) {
    auto res = post("korvaline.bin", "application/octet-stream", good);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, refused);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");

    httplib::Client client("127.0.0.1", port);
    res = client.Post("/firmware", good, "application/octet-stream");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, refused) << "no multipart body";
    res = client.Post("/firmware");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, refused) << "no body at all";
    httplib::MultipartFormDataItems other{
        {"image", good, "Korvaline.bin", "application/octet-stream"}};
    res = client.Post("/firmware", other);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, refused) << "another part name";

    EXPECT_FALSE(uploads->running());
    EXPECT_TRUE(events.events().empty());
}

TEST_F(route, OneTransferAtATime) {
    ASSERT_EQ(post("Korvaline.bin", "application/octet-stream", good)->body, accepted);
    auto second = post("Korvaline.bin", "application/octet-stream", good);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->body, refused);
    held.count_down();
    uploads->wait();
    EXPECT_EQ(events.commands(), (std::vector<std::string>{"/reset"}));
    // Once the first has ended, the next upload starts a transfer of its own.
    ASSERT_EQ(post("Korvaline.bin", "application/octet-stream", good)->body, accepted);
    uploads->wait();
    EXPECT_EQ(events.commands().size(), 2u);
}

// The answer to a raw upload, read until it has come (the server may keep the connection open).
std::string answer_to(test::raw_connection& up) {
    return up.read_all(30s, [](const std::string& all) {
        return all.find(refused) != std::string::npos || all.find(accepted) != std::string::npos;
    });
}

const std::string boundary = "----korvaline";

std::string part_head() {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"firmware_file\"; "
           "filename=\"Korvaline.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
           good;
}

TEST_F(route, DeclaredOversizedBodyIsRefusedUnread) {
    test::raw_connection up(port);
    const std::size_t declared = (21u << 20) + 1;
    up.send(
        "POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
        "boundary=" +
        boundary + "\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n" + part_head());
    const std::string answer = answer_to(up);
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    EXPECT_NE(answer.find(refused), std::string::npos);
    EXPECT_FALSE(uploads->running());
}

TEST_F(route, ChunkedOversizedBodyIsRefusedBeforeItEnds) {
    test::raw_connection up(port);
    up.send(
        "POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
        "boundary=" +
        boundary + "\r\nTransfer-Encoding: chunked\r\n\r\n");
    // 64 MiB of chunks on a thread of its own; the server must stop taking them near 21 MiB.
    const std::size_t total = 64u << 20;
    auto sender = std::async(std::launch::async, [&up, total] {
        std::string head = part_head();
        std::size_t sent = 0;
        auto chunk = [](const std::string& data) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", data.size());
            return size + data + "\r\n";
        };
        sent += up.send(chunk(head));
        const std::string block = chunk(std::string(1u << 16, 'x'));
        while (sent < total) {
            const std::size_t n = up.send(block);
            sent += n;
            if (n < block.size()) {
                break;
            }
        }
        return sent;
    });
    const std::string answer = answer_to(up);
    EXPECT_NE(answer.find(refused), std::string::npos);
    up.shut_down();
    EXPECT_LT(sender.get(), total) << "the server read the whole body";
    EXPECT_FALSE(uploads->running());
}

// Closing the program mid-transfer: the owner of the transfers outlives it, so the broadcaster and
// the device it uses are still there when it ends.
TEST(FirmwareUploads, DestructionWaitsForTheRunningTransfer) {
    sim::bootloader loader;
    std::atomic<bool> release{false};
    test::recorder events([&] {
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
        loader.attach();
        return true;
    });
    firmware::pacing pace;
    pace.step = 1ms;
    pace.bootloader.ack_timeout = 500ms;
    std::thread releaser;
    {
        firmware::uploads uploads(events.link(), loader, pace);
        ASSERT_TRUE(
            uploads.start({"firmware_file", good, "Korvaline.bin", "application/octet-stream"}));
        releaser = std::thread([&] {
            std::this_thread::sleep_for(200ms);
            release = true;
        });
    }
    EXPECT_EQ(events.events().back(), std::string(firmware::end_event));
    releaser.join();
}

}  // namespace
