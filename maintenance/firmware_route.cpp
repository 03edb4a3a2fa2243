#include "maintenance/firmware_route.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "web/body_limit.h"

namespace firmware {
namespace {

constexpr std::string_view file_field = "firmware_file";
constexpr std::string_view json_type = "application/json";
// Counted against the body limit for every part, so that a body of many empty parts is bounded
// like one of a few large ones.
constexpr std::size_t part_overhead = 512;

void answer(httplib::Response& res, std::string_view body) {
    res.set_content(body.data(), body.size(), json_type.data());
}

// The first "firmware_file" part of the body, read up to max_body_size. Nothing when the body is
// larger or could not be read; an empty part when the body holds no such part.
std::optional<httplib::MultipartFormData> read_file_part(const httplib::Request& req,
                                                         const httplib::ContentReader& reader) {
    std::size_t total = 0;
    httplib::MultipartFormData found;
    bool have_found = false;
    bool in_found = false;
    bool read = false;
    if (req.is_multipart_form_data()) {
        read = reader(
            [&](const httplib::MultipartFormData& part) {
                total += part_overhead;
                in_found = !have_found && part.name == file_field;
                if (in_found) {
                    found = part;
                    have_found = true;
                }
                return total <= max_body_size;
            },
            [&](const char* data, std::size_t size) {
                total += size;
                if (total > max_body_size) {
                    return false;
                }
                if (in_found) {
                    found.content.append(data, size);
                }
                return true;
            });
    } else {
        read = reader([&](const char*, std::size_t size) {
            total += size;
            return total <= max_body_size;
        });
    }
    if (!read || total > max_body_size) {
        return std::nullopt;
    }
    return found;
}

}  // namespace

bool acceptable(std::string_view filename, std::string_view content_type,
                std::string_view content) {
    return (filename == "Korvaline.ino.bin" || filename == "Korvaline.bin") &&
           content_type == "application/octet-stream" && content.size() <= max_image_size &&
           content.find("Korvaline") != std::string_view::npos &&
           content.find("Talverin Acoustics") != std::string_view::npos;
}

bool acceptable(const httplib::MultipartFormData& file) {
    return acceptable(file.filename, file.content_type, file.content);
}

uploads::uploads(link link, hid::host& hid, pacing pace)
    : link_(std::move(link)), hid_(hid), pace_(pace) {}

uploads::~uploads() {
    wait();
}

void uploads::register_route(httplib::Server& server) {
    server.Post("/firmware",
                [this](const httplib::Request& req, httplib::Response& res,
                       const httplib::ContentReader& reader) { handle(req, res, reader); });
}

void uploads::handle(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader) {
    // A declared length over the limit is refused before a byte of the body is read.
    if (!http::declared_length_within(req, max_body_size)) {
        http::answer_and_close(res, 200, std::string(refused_body));
        return;
    }
    const auto file = read_file_part(req, reader);
    if (!file) {
        http::answer_and_close(res, 200, std::string(refused_body));
        return;
    }
    if (!acceptable(*file) || !start(std::move(*file))) {
        answer(res, refused_body);
        return;
    }
    answer(res, accepted_body);
}

bool uploads::start(httplib::MultipartFormData file) {
    std::lock_guard lock(mutex_);
    if (running_) {
        return false;
    }
    // The previous transfer has finished (it cleared running_ as its last step): collect it.
    if (worker_.joinable()) {
        worker_.join();
    }
    firmware_job job{std::move(file), link_, hid_, pace_};
    running_ = true;
    try {
        worker_ = std::thread([this, job = std::move(job)] {
            transfer(job);
            std::lock_guard done(mutex_);
            running_ = false;
            finished_.notify_all();
        });
    } catch (...) {
        running_ = false;
        throw;
    }
    return true;
}

bool uploads::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void uploads::wait() {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [this] { return !running_; });
    if (worker_.joinable()) {
        worker_.join();
    }
}

}  // namespace firmware
