#include "settings/private_files.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cwchar>
#include <memory>

namespace settings::files {

namespace {

// UTF-8 to the UTF-16 of Win32 calls; nothing for text that is no valid UTF-8.
std::optional<std::wstring> wide(std::string_view text) {
    if (text.size() > INT_MAX) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int length =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return text.empty() ? std::optional<std::wstring>(std::wstring()) : std::nullopt;
    }
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), length);
    return out;
}

// UTF-16 from a Win32 call to UTF-8; nothing for a lone surrogate, which no name of ours has.
std::optional<std::string> narrow(std::wstring_view text) {
    if (text.size() > INT_MAX) {
        return std::nullopt;
    }
    const int size = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                             nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return text.empty() ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, out.data(), length,
                          nullptr, nullptr);
    return out;
}

// A known folder of the user's profile with "Korvaline" added; the environment's word for it when
// the shell cannot say.
std::filesystem::path known_folder(const KNOWNFOLDERID& id, const wchar_t* variable) {
    std::filesystem::path folder;
    PWSTR found = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &found))) {
        folder = found;
    }
    ::CoTaskMemFree(found);
    if (folder.empty()) {
        if (const wchar_t* value = ::_wgetenv(variable); value != nullptr) {
            folder = value;
        }
    }
    return folder / L"Korvaline";
}

bool write_all(HANDLE file, std::string_view text) {
    while (!text.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, text.data(), chunk, &written, nullptr) || written == 0) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

// A name for a temporary file; the creation refuses a name that exists, and the next try differs.
std::wstring temporary_name(unsigned attempt) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    std::uint64_t mix = static_cast<std::uint64_t>(now.QuadPart) ^
                        (static_cast<std::uint64_t>(::GetCurrentThreadId()) << 32) ^
                        (attempt * 0x9e3779b97f4a7c15ull);
    mix = (mix ^ (mix >> 31)) * 0xbf58476d1ce4e5b9ull;
    std::wstring name = L".incoming-";
    constexpr wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 6; ++i) {
        name += letters[mix % 36];
        mix /= 36;
    }
    return name;
}

std::chrono::system_clock::time_point time_of(const FILETIME& t) {
    // FILETIME counts 100 ns steps since 1601-01-01; the system clock counts from 1970-01-01.
    constexpr std::int64_t from_1601_to_1970 = 116444736000000000;
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    using steps = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            steps(ticks - from_1601_to_1970)));
}

struct handle_closer {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};

}  // namespace

std::filesystem::path data_folder() {
    return known_folder(FOLDERID_LocalAppData, L"LOCALAPPDATA");
}

std::filesystem::path config_folder() {
    return known_folder(FOLDERID_RoamingAppData, L"APPDATA");
}

bool make_private_folder(const std::filesystem::path& folder) {
    // Folders below the user's profile inherit its access list, which lets in the user, the
    // system and administrators alone: the folders made here are private without more ado.
    std::filesystem::path path;
    for (const auto& part : folder) {
        path /= part;
        if (!path.has_relative_path() ||
            ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        if (!::CreateDirectoryW(path.c_str(), nullptr) &&
            ::GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

std::optional<std::filesystem::path> write_temporary(const std::filesystem::path& folder,
                                                     std::string_view text) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path temporary = folder / temporary_name(attempt);
        // Shared with nobody while it is written; it inherits the folder's private access list.
        HANDLE file = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_EXISTS) {
                continue;
            }
            return std::nullopt;
        }
        const bool written = write_all(file, text) && ::FlushFileBuffers(file);
        const bool closed = ::CloseHandle(file);
        if (!written || !closed) {
            ::DeleteFileW(temporary.c_str());
            return std::nullopt;
        }
        return temporary;
    }
    return std::nullopt;
}

// MOVEFILE_WRITE_THROUGH returns only once the move is on disk, as the folder's fsync does on
// Linux.
bool replace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    if (::MoveFileExW(temporary.c_str(), target.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    ::DeleteFileW(temporary.c_str());
    return false;
}

placed place_new(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that exists.
    if (::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        return placed::done;
    }
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? placed::taken
                                                                       : placed::failed;
}

bool remove(const std::filesystem::path& file) {
    // NTFS journals its folders' entries, so a removal needs no flush of the folder.
    return ::DeleteFileW(file.c_str()) != 0;
}

std::vector<listed_file> regular_files(const std::filesystem::path& folder) {
    std::vector<listed_file> out;
    WIN32_FIND_DATAW item{};
    HANDLE find = ::FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &item,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return out;
    }
    do {
        constexpr DWORD not_ours =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        auto name = narrow(item.cFileName);
        if ((item.dwFileAttributes & not_ours) != 0 || item.cFileName[0] == L'.' || !name ||
            name->empty()) {
            continue;
        }
        const std::uintmax_t bytes =
            (static_cast<std::uintmax_t>(item.nFileSizeHigh) << 32) | item.nFileSizeLow;
        out.push_back({std::move(*name), bytes, time_of(item.ftLastWriteTime)});
    } while (::FindNextFileW(find, &item));
    ::FindClose(find);
    return out;
}

std::optional<std::string> read_file(const std::filesystem::path& folder, std::string_view name,
                                     std::size_t limit) {
    const auto wide_name = wide(name);
    if (!wide_name || wide_name->empty()) {
        return std::nullopt;
    }
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what it points to, and the
    // attributes then tell it apart. The sharing lets a writer replace the file meanwhile.
    HANDLE opened = ::CreateFileW(
        (folder / *wide_name).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const std::unique_ptr<void, handle_closer> file(opened);
    BY_HANDLE_FILE_INFORMATION info{};
    // A device name (CON, NUL) opens a device in any folder: only a file on disk is read.
    if (::GetFileType(opened) != FILE_TYPE_DISK || !::GetFileInformationByHandle(opened, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return std::nullopt;
    }
    std::string content;
    char buffer[8192];
    DWORD n = 0;
    bool ok = true;
    while (content.size() <= limit &&
           (ok = ::ReadFile(opened, buffer, sizeof buffer, &n, nullptr)) && n > 0) {
        content.append(buffer, n);
    }
    if (!ok || content.size() > limit) {
        return std::nullopt;
    }
    return content;
}

}  // namespace settings::files
