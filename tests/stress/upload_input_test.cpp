// Bad input to the firmware upload, through HTTP to the real route, with the simulated bootloader
// behind it: oversized, truncated and malformed bodies are refused, images of every size class
// that pass the rules reach the bootloader whole, and nothing reaches it otherwise.
// In-process, on port 5721.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "maintenance/firmware_route.h"
#include "sim/bootloader.h"
#include "tests/firmware/recorder.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;

constexpr int port = 5721;
const std::string accepted(firmware::accepted_body);
const std::string refused(firmware::refused_body);
const std::string multipart = "multipart/form-data; boundary=KB";

std::string image_of(std::size_t size) {
    std::string image(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    }
    const std::string marks = "Korvaline Talverin Acoustics";
    image.replace(size / 2 - marks.size() / 2, marks.size(), marks);
    return image;
}

std::string part(const std::string& name, const std::string& filename, const std::string& type,
                 const std::string& content) {
    return "--KB\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + filename +
           "\"\r\nContent-Type: " + type + "\r\n\r\n" + content + "\r\n";
}

std::string body_of(const std::string& content) {
    return part("firmware_file", "Korvaline.bin", "application/octet-stream", content) +
           "--KB--\r\n";
}

struct rig {
    rig()
        : uploads(firmware::link{[this](const std::string& command) {
                                     if (command == "/reset") {
                                         ++resets;
                                         // The module leaves and its bootloader arrives, empty.
                                         loader.detach();
                                         loader.attach();
                                     }
                                     return true;
                                 },
                                 [](std::string) {}},
                  loader, test::fast_pacing()) {
        uploads.register_route(server);
        running.emplace(server, port);
        client.set_read_timeout(60, 0);
        client.set_write_timeout(60, 0);
    }
    ~rig() { running.reset(); }

    // The upload's answer once any transfer it started has ended.
    std::string post(const std::string& body, const std::string& type = multipart) {
        const auto res = client.Post("/firmware", body, type.c_str());
        uploads.wait();
        return res ? res->body : "no answer: " + httplib::to_string(res.error());
    }

    std::atomic<int> resets{0};
    sim::bootloader loader;
    firmware::uploads uploads;
    httplib::Server server;
    std::optional<test::running_server> running;
    httplib::Client client{"127.0.0.1", port};
};

TEST(upload_input, every_size_class_that_passes_the_rules_reaches_the_bootloader_whole) {
    rig r;
    int images = 0;
    for (const std::size_t size :
         {std::size_t(28), std::size_t(1023), std::size_t(1024), std::size_t(1025),
          std::size_t(64 * 1024 + 17), std::size_t(1 << 20)}) {
        SCOPED_TRACE(size);
        const std::string image = image_of(size);
        EXPECT_EQ(r.post(body_of(image)), accepted);
        ASSERT_GE(r.loader.image().size(), size);
        EXPECT_EQ(r.loader.image().substr(0, size), image);
        // The rest of the last page is padding.
        EXPECT_EQ(r.loader.image().find_first_not_of('\0', size), std::string::npos);
        ++images;
    }
    EXPECT_EQ(r.resets, images);
}

TEST(upload_input, oversized_truncated_and_malformed_bodies_reach_nothing) {
    rig r;
    const std::string image = image_of(4096);
    const std::string good = body_of(image);
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"empty body", ""},
        {"truncated in the part", good.substr(0, good.size() / 2)},
        {"truncated in the headers", good.substr(0, 40)},
        {"no closing boundary", good.substr(0, good.size() - 8)},
        {"wrong boundary", "--XX" + good.substr(4)},
        {"no file name",
         "--KB\r\nContent-Disposition: form-data; name=\"firmware_file\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
             image + "\r\n--KB--\r\n"},
        {"other field",
         part("file", "Korvaline.bin", "application/octet-stream", image) + "--KB--\r\n"},
        {"file name with a path",
         part("firmware_file", "/tmp/Korvaline.bin", "application/octet-stream", image) +
             "--KB--\r\n"},
        {"image over the limit", body_of(image_of(firmware::max_image_size + 1))},
        {"garbage", std::string(3000, '\xff')},
    };
    for (const auto& [what, body] : bodies) {
        SCOPED_TRACE(what);
        EXPECT_EQ(r.post(body), refused);
    }
    EXPECT_EQ(r.post(good, "text/plain"), refused);
    EXPECT_EQ(r.post(good, "multipart/form-data"), refused);

    // Declared and chunked bodies over the limit are the upload route test's concern.
    // None of this reached the module or its bootloader, and a good image still does.
    EXPECT_EQ(r.resets, 0);
    EXPECT_EQ(r.loader.pages(), 0u);
    EXPECT_EQ(r.post(good), accepted);
    EXPECT_EQ(r.resets, 1);
    EXPECT_EQ(r.loader.image().substr(0, image.size()), image);
    std::printf("[figure] upload: %zu bad bodies refused, nothing written\n", bodies.size() + 2);
}

}  // namespace
