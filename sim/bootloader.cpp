#include "sim/bootloader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

namespace sim {
namespace {

constexpr std::size_t report_size = 65;
constexpr std::size_t page_size = 1024;
constexpr std::size_t input_report_size = 64;

// An acknowledgement to deliver, or a read that is to fail.
struct reply {
    std::uint8_t code;
    bool fail;
};

}  // namespace

struct bootloader::state {
    bootloader_options options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool attached = false;
    std::uint64_t attachment = 0;
    std::string image;
    std::uint8_t checksum = 0;
    std::vector<std::uint8_t> commands;
    std::deque<reply> replies;
    bool finished = false;
    std::function<void()> on_finished;
};

namespace {

class sim_connection final : public hid::connection {
  public:
    sim_connection(std::shared_ptr<bootloader::state> state, std::uint64_t attachment)
        : state_(std::move(state)), attachment_(attachment) {}

    int write(std::span<const std::uint8_t> report) override {
        std::function<void()> finished;
        {
            std::lock_guard lock(state_->mutex);
            if (!present() || report.size() != report_size || report[0] != 0) {
                return -1;
            }
            if (std::memcmp(report.data() + 1, "BTLDCMD", 7) == 0) {
                command(report[8], finished);
            } else {
                data(report.subspan(1));
            }
        }
        state_->changed.notify_all();
        if (finished) {
            finished();
        }
        return static_cast<int>(report.size());
    }

    int read(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_for(lock, timeout,
                                 [this] { return !present() || !state_->replies.empty(); });
        if (!present()) {
            return -1;
        }
        if (state_->replies.empty()) {
            return 0;
        }
        const reply next = state_->replies.front();
        state_->replies.pop_front();
        if (next.fail) {
            return -1;
        }
        std::array<std::uint8_t, input_report_size> input{};
        input[0] = next.code;
        input[7] = next.code;
        const std::size_t size = std::min(buffer.size(), input.size());
        std::copy_n(input.begin(), size, buffer.begin());
        return static_cast<int>(size);
    }

  private:
    bool present() const { return state_->attached && state_->attachment == attachment_; }

    void acknowledge(std::uint8_t code) {
        if (state_->options.fault != bootloader_fault::silent) {
            state_->replies.push_back({code, false});
        }
    }

    void command(std::uint8_t code, std::function<void()>& finished) {
        state_->commands.push_back(code);
        if (code == 0) {
            acknowledge(2);
        } else if (code == 1) {
            acknowledge(1);
            state_->finished = true;
            finished = state_->on_finished;
        }
    }

    void data(std::span<const std::uint8_t> chunk) {
        state_->image.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
        for (const std::uint8_t byte : chunk) {
            state_->checksum ^= byte;
        }
        if (state_->image.size() % page_size == 0) {
            const std::size_t page = state_->image.size() / page_size - 1;
            if (state_->options.fault == bootloader_fault::fail_on_page &&
                page == state_->options.fail_page) {
                state_->replies.push_back({0, true});
            } else {
                acknowledge(2);
            }
        }
    }

    std::shared_ptr<bootloader::state> state_;
    std::uint64_t attachment_;
};

}  // namespace

bootloader::bootloader(bootloader_options options) : state_(std::make_shared<state>()) {
    state_->options = options;
}

bootloader::~bootloader() {
    detach();
}

void bootloader::attach() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->options.fault == bootloader_fault::absent || state_->attached) {
            return;
        }
        state_->attached = true;
        ++state_->attachment;
        state_->image.clear();
        state_->checksum = 0;
        state_->commands.clear();
        state_->replies.clear();
        state_->finished = false;
    }
    state_->changed.notify_all();
}

void bootloader::detach() {
    {
        std::lock_guard lock(state_->mutex);
        state_->attached = false;
    }
    state_->changed.notify_all();
}

bool bootloader::attached() const {
    std::lock_guard lock(state_->mutex);
    return state_->attached;
}

void bootloader::on_finished(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->on_finished = std::move(handler);
}

bool bootloader::wait_finished(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [this] { return state_->finished; });
}

std::string bootloader::image() const {
    std::lock_guard lock(state_->mutex);
    return state_->image;
}

std::uint8_t bootloader::checksum() const {
    std::lock_guard lock(state_->mutex);
    return state_->checksum;
}

std::vector<std::uint8_t> bootloader::commands() const {
    std::lock_guard lock(state_->mutex);
    return state_->commands;
}

std::size_t bootloader::pages() const {
    std::lock_guard lock(state_->mutex);
    return state_->image.size() / page_size;
}

std::vector<hid::device_info> bootloader::enumerate(std::uint16_t vendor, std::uint16_t product) {
    std::lock_guard lock(state_->mutex);
    if (!state_->attached || vendor != 0x1209 || product != 0xBEBA) {
        return {};
    }
    return {{node, vendor, product}};
}

hid::open_result bootloader::open(const hid::device_info& device) {
    std::lock_guard lock(state_->mutex);
    if (!state_->attached || device.path != node) {
        return {nullptr, hid::open_status::failed};
    }
    return {std::make_unique<sim_connection>(state_, state_->attachment), hid::open_status::opened};
}

}  // namespace sim
