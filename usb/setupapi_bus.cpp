#include "usb/setupapi_bus.h"

// clang-format off: windows.h comes before the SetupAPI headers, and initguid.h before devguid.h,
// which then defines the class GUIDs in this file.
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "usb/hardware_id.h"
#include "usb/system_bus.h"
#include "usb/wide_text_win32.h"

namespace usb {

namespace {

// The system's own sentence for an error code, without its line end.
std::string system_message(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length != 0 ? wide_text::to_utf8(std::wstring_view(text, length))
                                      : "error " + std::to_string(error);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

bus_error list_error(DWORD error) {
    return bus_error("The list of serial ports cannot be read (" + system_message(error) + ").");
}

struct device_list_deleter {
    void operator()(HDEVINFO list) const { ::SetupDiDestroyDeviceInfoList(list); }
};
using device_list = std::unique_ptr<void, device_list_deleter>;

// One present port of the list.
struct port_entry {
    std::string instance_id;
    std::vector<std::string> hardware_ids;
    std::optional<std::string> port_name;  // the registry's PortName, if it has one
};

std::vector<std::string> hardware_ids(HDEVINFO list, SP_DEVINFO_DATA& info) {
    DWORD type = 0, needed = 0;
    ::SetupDiGetDeviceRegistryPropertyW(list, &info, SPDRP_HARDWAREID, &type, nullptr, 0, &needed);
    if (needed == 0) {
        return {};
    }
    std::vector<wchar_t> ids(needed / sizeof(wchar_t) + 1, L'\0');
    if (!::SetupDiGetDeviceRegistryPropertyW(
            list, &info, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids.data()),
            static_cast<DWORD>(ids.size() * sizeof(wchar_t)), nullptr) ||
        type != REG_MULTI_SZ) {
        return {};
    }
    return split_multi_string(wide_text::to_utf8(std::wstring_view(ids.data(), ids.size())));
}

std::string instance_id(HDEVINFO list, SP_DEVINFO_DATA& info) {
    DWORD needed = 0;
    ::SetupDiGetDeviceInstanceIdW(list, &info, nullptr, 0, &needed);
    std::wstring id(needed + 1, L'\0');
    if (!::SetupDiGetDeviceInstanceIdW(list, &info, id.data(), static_cast<DWORD>(id.size()),
                                       nullptr)) {
        return {};
    }
    return wide_text::to_utf8(id.c_str());
}

std::optional<std::string> port_name(HDEVINFO list, SP_DEVINFO_DATA& info) {
    HKEY key = ::SetupDiOpenDevRegKey(list, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    wchar_t name[256] = {};
    DWORD size = sizeof name;
    const LSTATUS status =
        ::RegGetValueW(key, nullptr, L"PortName", RRF_RT_REG_SZ, nullptr, name, &size);
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return wide_text::to_utf8(name);
}

// Calls `visit` for every present port, in the order SetupAPI lists them, until it returns true.
void each_port(const std::function<bool(port_entry)>& visit) {
    HDEVINFO ports = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (ports == INVALID_HANDLE_VALUE) {
        throw list_error(::GetLastError());
    }
    const device_list list(ports);
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!::SetupDiEnumDeviceInfo(list.get(), index, &info)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_NO_MORE_ITEMS) {
                return;
            }
            throw list_error(error);
        }
        port_entry entry{instance_id(list.get(), info), hardware_ids(list.get(), info), {}};
        entry.port_name = port_name(list.get(), info);
        if (visit(std::move(entry))) {
            return;
        }
    }
}

bool named_by_a_com_name(const port_entry& entry) {
    return entry.port_name && is_com_port_name(*entry.port_name);
}

}  // namespace

std::optional<found_device> setupapi_bus::find_device(std::uint16_t vendor, std::uint16_t product) {
    // A port is most useful with its COM name, so such a port comes first; otherwise any port with
    // the ids: it is present, and asking for its name will say what is missing.
    std::optional<found_device> first;
    each_port([&](port_entry entry) {
        const bool ours = std::any_of(
            entry.hardware_ids.begin(), entry.hardware_ids.end(),
            [&](const std::string& id) { return hardware_id_matches(id, vendor, product, 0); });
        if (!ours || entry.instance_id.empty()) {
            return false;
        }
        if (named_by_a_com_name(entry)) {
            first = found_device{entry.instance_id};
            return true;
        }
        if (!first) {
            first = found_device{entry.instance_id};
        }
        return false;
    });
    return first;
}

std::string setupapi_bus::serial_port_name(const found_device& device) {
    std::optional<port_entry> found;
    each_port([&](port_entry entry) {
        if (entry.instance_id != device.id) {
            return false;
        }
        found = std::move(entry);
        return true;
    });
    if (!found) {
        throw bus_error("The module has left the USB bus.");
    }
    if (!found->port_name) {
        throw bus_error("The serial port of the module has no COM name.");
    }
    if (!named_by_a_com_name(*found)) {
        throw bus_error("The serial port of the module has a name that is no COM port's (" +
                        *found->port_name + ").");
    }
    return *found->port_name;
}

std::unique_ptr<bus> system_bus() {
    return std::make_unique<setupapi_bus>();
}

}  // namespace usb
