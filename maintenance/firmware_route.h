#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <thread>

#include "maintenance/hid.h"
#include "maintenance/transfer.h"
#include "usb/device.h"
#include "web/messaging.h"

namespace firmware {

inline constexpr std::string_view accepted_body = R"({"status": "done"})";
inline constexpr std::string_view refused_body = R"({"type": "error", "error": "Invalid file."})";

// The largest image the bootloader is given, and the largest request body read to find it (the
// image plus room for the multipart framing). Anything larger is refused before it is read whole.
inline constexpr std::size_t max_image_size = 20u << 20;
inline constexpr std::size_t max_body_size = 21u << 20;

// Whether an uploaded file part is a firmware image for this module: its file name, content type
// and the two identifying strings of its content, compared byte for byte.
bool acceptable(std::string_view filename, std::string_view content_type, std::string_view content);
bool acceptable(const httplib::MultipartFormData& file);

// The firmware transfers of the application, one at a time. Owned by the composition, which
// destroys it (or calls wait()) before the broadcaster and the device: a running transfer is
// joined, never left behind.
class uploads {
  public:
    uploads(async::messaging& events, usb::device& device, hid::host& hid, pacing pace = {})
        : uploads(bind(events, device), hid, pace) {}
    uploads(link link, hid::host& hid, pacing pace = {});
    ~uploads();
    uploads(const uploads&) = delete;
    uploads& operator=(const uploads&) = delete;

    // Registers POST "/firmware" on the server.
    void register_route(httplib::Server& server);

    // Starts the transfer of the file part's content on a thread of its own. False, and nothing
    // started, while another transfer runs. Throws std::system_error when no thread can be made.
    bool start(httplib::MultipartFormData file);

    bool running() const;

    // Returns once no transfer runs (at once when none does).
    void wait();

  private:
    void handle(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader& content_reader);

    link link_;
    hid::host& hid_;
    pacing pace_;
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool running_ = false;
    std::thread worker_;
};

}  // namespace firmware
