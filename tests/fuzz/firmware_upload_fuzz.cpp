// The firmware upload under arbitrary input, in three ways chosen by the first byte:
//  - 0: the acceptance rules alone, over a file part made of the input (file name, a line feed,
//       content type, a line feed, the content);
//  - 1: the rest is the body of POST /firmware (multipart, boundary "KB") to the real route;
//  - 2: the same, but the input's first line is the request's Content-Type header.
// Over HTTP, every request must get one of the route's two answers, and the module must be told
// to reset exactly once per accepted image and never otherwise.
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "maintenance/firmware_route.h"
#include "tests/support/test_server.h"

namespace {

constexpr int port = 5790;

// A HID bus without a bootloader: the transfer never gets that far, as the module is "absent".
struct empty_host final : hid::host {
    std::vector<hid::device_info> enumerate(std::uint16_t, std::uint16_t) override { return {}; }
    hid::open_result open(const hid::device_info&) override { return {}; }
};

struct upload_server {
    upload_server()
        : uploads(firmware::link{[this](const std::string& command) {
                                     resets += command == "/reset";
                                     return false;  // no module: the transfer ends at once
                                 },
                                 [](std::string) {}},
                  hid, firmware::pacing{std::chrono::milliseconds(0), {}}) {
        uploads.register_route(server);
        running.emplace(server, port);
    }

    std::atomic<int> resets{0};
    int accepted = 0;
    empty_host hid;
    firmware::uploads uploads;
    httplib::Server server;
    std::optional<test::running_server> running;
};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

void check_rules(std::string_view input) {
    const auto first = input.find('\n');
    const auto second = first == std::string_view::npos ? first : input.find('\n', first + 1);
    if (second == std::string_view::npos) {
        return;
    }
    const std::string_view name = input.substr(0, first);
    const std::string_view type = input.substr(first + 1, second - first - 1);
    const std::string_view content = input.substr(second + 1);

    const bool expected = (name == "Korvaline.ino.bin" || name == "Korvaline.bin") &&
                          type == "application/octet-stream" && contains(content, "Korvaline") &&
                          contains(content, "Talverin Acoustics");
    const httplib::MultipartFormData part{"firmware_file", std::string(content), std::string(name),
                                          std::string(type)};
    if (firmware::acceptable(name, type, content) != expected ||
        firmware::acceptable(part) != expected) {
        std::abort();
    }
}

void check_upload(std::string_view body, std::string content_type) {
    static upload_server server;
    static httplib::Client client("127.0.0.1", port);
    client.set_keep_alive(true);
    client.set_read_timeout(10, 0);

    const auto res = client.Post("/firmware", std::string(body), content_type.c_str());
    if (!res) {
        // The server may drop a request it cannot read; it must still answer the next one.
        if (!client.Get("/firmware")) {
            std::abort();
        }
        return;
    }
    // A body the library cannot parse as multipart gets its status 400, with the refusal body.
    const bool accepted = res->status == 200 && res->body == firmware::accepted_body;
    const bool refused =
        (res->status == 200 || res->status == 400) && res->body == firmware::refused_body;
    if (!accepted && !refused) {
        std::fprintf(stderr, "unexpected answer: %d [%s]\n", res->status, res->body.c_str());
        std::abort();
    }
    server.accepted += accepted;
    if (accepted &&
        (!contains(body, "firmware_file") || !contains(body, "Korvaline") ||
         !contains(body, "Talverin Acoustics") || !contains(body, "application/octet-stream"))) {
        std::abort();
    }
    // The transfer, if one was started, has told the module to reset before it ends.
    server.uploads.wait();
    if (server.resets.load() != server.accepted) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3) {
        case 0:
            check_rules(input);
            break;
        case 1:
            check_upload(input, "multipart/form-data; boundary=KB");
            break;
        default: {
            const auto eol = input.find('\n');
            const std::string type(input.substr(0, eol));
            // Header values cannot carry line breaks or NULs: the client would refuse them.
            if (eol != std::string_view::npos &&
                type.find_first_of(std::string("\r\0", 2)) == std::string::npos) {
                check_upload(input.substr(eol + 1), type);
            }
        }
    }
    return 0;
}
