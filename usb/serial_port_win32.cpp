#include "usb/serial_port.h"

#include <windows.h>

#include <algorithm>
#include <iostream>

#include "usb/wide_text_win32.h"

namespace usb {

namespace {

using clock = std::chrono::steady_clock;

// The largest number of bytes one read hands back.
constexpr DWORD read_size = 4095;

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// The device path of a COM port: "COM5" is opened as \\.\COM5, which also reaches the ports from
// COM10 on, which have no plain DOS name.
std::wstring device_path(std::string_view name) {
    return L"\\\\.\\" + wide_text::from_utf8(name);
}

// Whole milliseconds from now until the deadline, rounded up so that a wait never ends early;
// 0 once it has passed.
DWORD millis_until(clock::time_point deadline) {
    const auto left = deadline - clock::now();
    if (left <= clock::duration::zero()) {
        return 0;
    }
    const auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<DWORD>(std::min<long long>(millis, MAXDWORD - 1));
}

}  // namespace

struct SerialPort::impl {
    std::string name;
    serial_timing timing;
    HANDLE handle = INVALID_HANDLE_VALUE;
    open_problem problem = open_problem::none;

    bool set_timeouts(DWORD read_interval, DWORD read_constant);
    std::string read_burst(clock::time_point first_byte_deadline, clock::time_point end);
};

SerialPort::SerialPort(std::string_view name, serial_timing timing)
    : impl_(std::make_unique<impl>(impl{std::string(name), timing})) {}

SerialPort::~SerialPort() {
    close();
}

const std::string& SerialPort::name() const {
    return impl_->name;
}

// Reads and writes are synchronous. A read's time-outs depend on what it waits for (see
// read_burst), so they are set before each wait; the write time-outs never change. The total
// read time-out never has a per-byte part: Wine counts it for every byte asked for, not only for
// the bytes still missing, so that a read of 4095 bytes would wait 41 s for a short reply.
bool SerialPort::impl::set_timeouts(DWORD read_interval, DWORD read_constant) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = read_interval;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_constant;
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(timing.write_per_byte.count());
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(timing.write_constant.count());
    return ::SetCommTimeouts(handle, &timeouts) != 0;
}

void SerialPort::open() {
    if (impl_->handle != INVALID_HANDLE_VALUE) {
        return;
    }
    // Every return before the end of a successful configuration is a failure of some kind; the
    // cases the user can repair say so below.
    impl_->problem = open_problem::other;
    // Share mode 0: the port is ours alone while it is open.
    HANDLE handle = ::CreateFileW(device_path(impl_->name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            say("Serial port doesn't exist.");
        } else {
            say("Unknown error...");
            // A COM port admits one user at a time and refuses access to every other: there is
            // no permission to grant, only a program to close.
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
                impl_->problem = open_problem::busy;
                say("The serial port " + impl_->name +
                    " is in use by another program (perhaps another running copy of this "
                    "program).");
            }
        }
        return;
    }

    auto fail = [&](const char* message) {
        say(message);
        ::CloseHandle(handle);
    };

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle, &dcb)) {
        return fail("Failed to get serial port state.");
    }
    // Every other field (parity checking, XON/XOFF limits and characters, EOF and event
    // characters) stays as the driver reports it.
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(handle, &dcb)) {
        return fail("Failed to set serial port state.");
    }
    impl_->handle = handle;
    // Until the first read sets its own, a read returns at once with what is waiting.
    if (!impl_->set_timeouts(MAXDWORD, 0)) {
        impl_->handle = INVALID_HANDLE_VALUE;
        return fail("Failed to set serial port timeouts.");
    }
    impl_->problem = open_problem::none;
}

void SerialPort::close() {
    if (impl_->handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(impl_->handle);
        impl_->handle = INVALID_HANDLE_VALUE;
    }
}

bool SerialPort::isOpen() const {
    return impl_->handle != INVALID_HANDLE_VALUE;
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

// The burst is framed here rather than by the driver's interval time-out, because that interval
// only runs once a read has received a byte: a read that goes on waiting after the last byte of a
// burst that it did not see begin waits for its whole total time-out. So each wait is a read of one
// byte whose total time-out ends at the current deadline (the first byte's, or the burst gap after
// the last byte), and the bytes that have arrived by then are taken by a read that returns at once.
// Under Wine against a pty a burst ended 1 to 3 ms after its gap. A port whose device has gone may
// fail the read, or (Wine) wait out the time-out and return nothing: either way nothing is read.
std::string SerialPort::impl::read_burst(clock::time_point first_byte_deadline,
                                         clock::time_point end) {
    std::string data;
    if (handle == INVALID_HANDLE_VALUE) {
        return data;
    }
    char buffer[read_size];
    clock::time_point last_byte{};
    for (;;) {
        const DWORD wait = millis_until(data.empty() ? first_byte_deadline
                                                     : std::min(last_byte + timing.burst_gap, end));
        if (wait == 0 && !data.empty()) {
            return data;
        }
        // Interval MAXDWORD with no total time-out returns at once: a first-byte deadline that
        // has passed still takes the bytes that are waiting. A total time-out of 0 with no
        // interval would instead wait for ever.
        DWORD got = 0;
        if (!set_timeouts(wait == 0 ? MAXDWORD : 0, wait) ||
            !::ReadFile(handle, buffer, 1, &got, nullptr) || got == 0) {
            // Silence until the deadline, or a port whose device has gone.
            return data;
        }
        const DWORD room = read_size - static_cast<DWORD>(data.size()) - 1;
        DWORD more = 0;
        if (room > 0 &&
            (!set_timeouts(MAXDWORD, 0) || !::ReadFile(handle, buffer + 1, room, &more, nullptr))) {
            more = 0;
        }
        data.append(buffer, 1 + more);
        last_byte = clock::now();
        if (data.size() >= read_size) {
            return data;
        }
    }
}

void SerialPort::write(std::string_view data) {
    if (impl_->handle == INVALID_HANDLE_VALUE || data.empty()) {
        return;
    }
    // The write time-outs (per byte and constant) bound the call; its outcome is not reported.
    DWORD written = 0;
    ::WriteFile(impl_->handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
}

std::optional<std::string> serial_port_presence(std::string_view name) {
    const std::wstring wide_name = wide_text::from_utf8(name);
    // A present COM port is a DOS device whose target names the device behind it (such as
    // \Device\USBSER000).
    std::wstring target(1024, L'\0');
    const DWORD length =
        ::QueryDosDeviceW(wide_name.c_str(), target.data(), static_cast<DWORD>(target.size()));
    if (length != 0) {
        return std::string(name) + " " + wide_text::to_utf8(target.c_str());
    }
    // Wine has no DOS device for a port that its prefix links to a Unix tty (dosdevices/com5):
    // such a port is found by opening it without asking for any access. A port that a program
    // holds (this one included) refuses even that on Windows, which also means it is there.
    HANDLE probe = ::CreateFileW(device_path(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return std::string(name);
        }
        return std::nullopt;
    }
    // Under Wine the final path is the tty behind the link (\\?\Z:\dev\pts\3), which tells a
    // port that came back on another tty apart.
    std::wstring final_path(1024, L'\0');
    const DWORD final_length = ::GetFinalPathNameByHandleW(
        probe, final_path.data(), static_cast<DWORD>(final_path.size()), FILE_NAME_NORMALIZED);
    ::CloseHandle(probe);
    if (final_length == 0 || final_length >= final_path.size()) {
        return std::string(name);
    }
    final_path.resize(final_length);
    return std::string(name) + " " + wide_text::to_utf8(final_path);
}

}  // namespace usb
