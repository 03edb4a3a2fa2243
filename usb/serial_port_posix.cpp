#include "usb/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

namespace usb {

namespace {

using clock = std::chrono::steady_clock;

// The largest number of bytes one read hands back.
constexpr std::size_t read_size = 4095;

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// Waits until fd is ready for `events` or the deadline passes. Returns the revents, or 0 when
// the deadline passed first.
short wait_for(int fd, short events, clock::time_point deadline) {
    for (;;) {
        auto now = clock::now();
        if (now >= deadline) {
            return 0;
        }
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
        pollfd pfd{fd, events, 0};
        int r = ::ppoll(&pfd, 1, &ts, nullptr);
        if (r > 0) {
            return pfd.revents;
        }
        if (r < 0 && errno != EINTR) {
            return POLLERR;
        }
    }
}

// A pty, and many USB serial drivers, have no modem lines or no exclusive mode: such an answer
// means "not applicable", not a broken port.
bool not_applicable(int error) {
    return error == ENOTTY || error == EINVAL || error == ENOSYS;
}

}  // namespace

struct SerialPort::impl {
    std::string path;
    serial_timing timing;
    int fd = -1;
    open_problem problem = open_problem::none;

    std::string read_burst(clock::time_point first_byte_deadline, clock::time_point end);
};

SerialPort::SerialPort(std::string_view name, serial_timing timing)
    : impl_(std::make_unique<impl>(impl{std::string(name), timing})) {}

SerialPort::~SerialPort() {
    close();
}

const std::string& SerialPort::name() const {
    return impl_->path;
}

void SerialPort::open() {
    if (impl_->fd >= 0) {
        return;
    }
    const std::string& path = impl_->path;
    // Every return before the end of a successful configuration is a failure of some kind; the
    // cases the user can repair say so below.
    impl_->problem = open_problem::other;
    // Non-blocking, so that neither the open (which may wait for a carrier) nor any read blocks
    // beyond the deadlines this class keeps itself.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENODEV || error == ENXIO) {
            say("Serial port doesn't exist.");
        } else {
            say("Unknown error...");
            if (error == EACCES || error == EPERM) {
                impl_->problem = open_problem::permission;
                say("Permission denied on " + path +
                    ": install the udev rule packaging/70-korvaline.rules (or add your user to "
                    "the dialout group) and replug the module.");
            } else if (error == EBUSY) {
                impl_->problem = open_problem::busy;
                say("The serial port " + path +
                    " is in use by another program (perhaps another running copy of this "
                    "program).");
            }
        }
        return;
    }

    // The port is ours alone: an advisory lock that other well-behaved programs honour (and that
    // root cannot bypass), and the driver's exclusive mode where it has one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        say("Unknown error...");
        if (error == EWOULDBLOCK) {
            impl_->problem = open_problem::busy;
            say("The serial port " + path +
                " is in use by another program (perhaps another running copy of this program).");
        }
        return;
    }
    if (::ioctl(fd, TIOCEXCL) != 0 && !not_applicable(errno)) {
        ::close(fd);
        say("Unknown error...");
        return;
    }

    auto fail = [&](const char* message) {
        say(message);
        ::close(fd);
    };

    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return fail("Failed to get serial port state.");
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Reads never wait inside the driver (the descriptor is non-blocking; the burst framing is
    // done with poll and deadlines). VMIN 1 makes an empty buffer read as EAGAIN, so that end of
    // file (0) means the line has hung up; with VMIN 0 both would read as 0.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B115200) != 0 || ::cfsetospeed(&tio, B115200) != 0 ||
        ::tcsetattr(fd, TCSANOW, &tio) != 0) {
        return fail("Failed to set serial port state.");
    }
    // tcsetattr succeeds when any one setting was taken: check the ones that matter.
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0 || ::cfgetospeed(&applied) != B115200 ||
        (applied.c_cflag & CSIZE) != CS8 || (applied.c_cflag & (PARENB | CRTSCTS)) != 0) {
        return fail("Failed to set serial port state.");
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIS, &lines) != 0 && !not_applicable(errno)) {
        return fail("Failed to set serial port state.");
    }
    // The time-outs live in this class; the driver only has to stay non-blocking.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail("Failed to set serial port timeouts.");
    }
    impl_->fd = fd;
    impl_->problem = open_problem::none;
}

void SerialPort::close() {
    if (impl_->fd >= 0) {
        // Leave the tty open to others again (the driver keeps the flag while anyone holds it).
        ::ioctl(impl_->fd, TIOCNXCL);
        ::close(impl_->fd);
        impl_->fd = -1;
    }
}

bool SerialPort::isOpen() const {
    return impl_->fd >= 0;
}

open_problem SerialPort::problem() const {
    return impl_->problem;
}

std::string SerialPort::read() {
    auto end = clock::now() + impl_->timing.read_limit;
    return impl_->read_burst(end, end);
}

std::string SerialPort::read(clock::time_point first_byte_deadline) {
    auto end = std::min(clock::now() + impl_->timing.read_limit,
                        first_byte_deadline + impl_->timing.burst_limit);
    return impl_->read_burst(std::min(first_byte_deadline, end), end);
}

std::string SerialPort::impl::read_burst(clock::time_point first_byte_deadline,
                                         clock::time_point end) {
    std::string data;
    if (fd < 0) {
        return data;
    }
    char buffer[read_size];
    clock::time_point last_byte{};
    for (;;) {
        ssize_t n = ::read(fd, buffer, read_size - data.size());
        if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
            last_byte = clock::now();
            if (data.size() >= read_size) {
                return data;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            // End of file or an I/O error: the device has gone (a hang-up reads as either).
            return data;
        }
        auto until =
            data.empty() ? first_byte_deadline : std::min(last_byte + timing.burst_gap, end);
        short revents = wait_for(fd, POLLIN, until);
        if (revents == 0) {
            return data;
        }
        if ((revents & POLLIN) == 0) {
            // Hang-up or error without data: one more read reports it, so as not to spin.
            n = ::read(fd, buffer, read_size - data.size());
            if (n > 0) {
                data.append(buffer, static_cast<std::size_t>(n));
            }
            return data;
        }
    }
}

void SerialPort::write(std::string_view data) {
    int fd = impl_->fd;
    if (fd < 0) {
        return;
    }
    auto deadline = clock::now() + impl_->timing.write_per_byte * static_cast<long>(data.size()) +
                    impl_->timing.write_constant;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return;
        }
        short revents = wait_for(fd, POLLOUT, deadline);
        if ((revents & POLLOUT) == 0) {
            return;
        }
    }
}

std::optional<std::string> serial_port_presence(std::string_view name) {
    // stat() follows a link (such as /dev/serial/by-id/...) to the node itself, which is never
    // resolved into a path of its own: device paths are not canonicalised.
    struct stat node {};
    if (::stat(std::string(name).c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
        return std::nullopt;
    }
    // A tty that comes back after an unplug is a new node: the driver may give it another number,
    // and the device file system another inode.
    return std::string(name) + " " + std::to_string(major(node.st_rdev)) + ":" +
           std::to_string(minor(node.st_rdev)) + " inode " + std::to_string(node.st_ino);
}

}  // namespace usb
