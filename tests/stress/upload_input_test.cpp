// Bad input to the firmware upload, through HTTP to the real route, with the simulated bootloader
// behind it: oversized, truncated and malformed bodies are refused, images of every size class
// that pass the rules reach the bootloader whole, and nothing reaches it otherwise.
// In-process, on port 5721.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>

#include "maintenance/firmware_route.h"
#include "sim/bootloader.h"
#include "tests/support/test_server.h"

namespace {

using namespace std::chrono_literals;

// The library binds with SO_REUSEPORT alone, which a connection of the previous run still in
// TIME_WAIT blocks: take the port with SO_REUSEADDR, so that runs can follow each other at once.
void reuse_address(httplib::Server& server) {
    server.set_socket_options([](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

constexpr int port = 5721;
const std::string accepted(firmware::accepted_body);
const std::string refused(firmware::refused_body);
const std::string multipart = "multipart/form-data; boundary=KB";

firmware::pacing fast() {
    firmware::pacing p;
    p.step = 1ms;
    p.bootloader.retry_pause = 1ms;
    p.bootloader.report_pause = 0ms;
    p.bootloader.ack_timeout = 300ms;
    return p;
}

// A valid image of the given size: the two identifying strings and varied bytes.
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

// Sends raw bytes and returns whatever came back before the server closed or went quiet.
std::string exchange(const std::string& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            if (::poll(&p, 1, 3000) <= 0) {
                break;
            }
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return out;
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
                  loader, fast()) {
        uploads.register_route(server);
        reuse_address(server);
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

    // A declared length over the limit is refused before the body is read, and the connection
    // is closed rather than left to read the rest as a request.
    const std::string huge = exchange(
        "POST /firmware HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: " +
        multipart + "\r\nContent-Length: 30000000\r\n\r\n" + good.substr(0, 100));
    EXPECT_NE(huge.find(refused), std::string::npos) << huge.substr(0, 200);

    // A chunked body is not bounded by the declared length: it is refused once it grows past the
    // limit, without the whole of it being kept.
    std::size_t chunks_sent = 0;
    const std::string chunk(1 << 20, 'x');
    const auto res = r.client.Post(
        "/firmware",
        [&](std::size_t, httplib::DataSink& sink) {
            if (chunks_sent++ > 40) {
                sink.done();
                return true;
            }
            return sink.write(chunk.data(), chunk.size());
        },
        multipart.c_str());
    r.uploads.wait();
    if (res) {
        EXPECT_EQ(res->body, refused);
    }

    // None of this reached the module or its bootloader, and a good image still does.
    EXPECT_EQ(r.resets, 0);
    EXPECT_EQ(r.loader.pages(), 0u);
    EXPECT_EQ(r.post(good), accepted);
    EXPECT_EQ(r.resets, 1);
    EXPECT_EQ(r.loader.image().substr(0, image.size()), image);
    std::printf("[figure] upload: %zu bad bodies refused, nothing written\n", bodies.size() + 4);
}

}  // namespace
