#include <windows.h>

#include <cstdio>
#include <vector>

#include "platform/file_version.h"

namespace platform {

namespace {

std::string version_text(const std::vector<char>& data, const char* block, const char* name) {
    char path[128];
    std::snprintf(path, sizeof path, "\\StringFileInfo\\%s\\%s", block, name);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), path, &value, &length) || !value || length == 0)
        return std::string();
    // The length counts characters, the terminator included where there is one.
    const char* text = static_cast<const char*>(value);
    std::string result(text, length);
    return result.substr(0, result.find('\0'));
}

}  // namespace

bool file_version_read(const char* path, file_version_info* info) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0)
        return false;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path, 0, size, data.data()))
        return false;

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    info->fixed[0] = HIWORD(fixed->dwFileVersionMS);
    info->fixed[1] = LOWORD(fixed->dwFileVersionMS);
    info->fixed[2] = HIWORD(fixed->dwFileVersionLS);
    info->fixed[3] = LOWORD(fixed->dwFileVersionLS);

    // The texts live under "language code page" in hex, as the translation table lists them.
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        length < 2 * sizeof(WORD))
        return false;
    const auto* translation = static_cast<const WORD*>(value);
    char block[16];
    std::snprintf(block, sizeof block, "%04x%04x", translation[0], translation[1]);
    info->product_name = version_text(data, block, "ProductName");
    info->product_version = version_text(data, block, "ProductVersion");
    info->file_description = version_text(data, block, "FileDescription");
    info->file_version = version_text(data, block, "FileVersion");
    info->original_filename = version_text(data, block, "OriginalFilename");
    return true;
}

}  // namespace platform
