// Reading a Windows binary's version resource as Windows shows it in the file's properties
// (GetFileVersionInfo and VerQueryValue of version.dll), for programs that check what was
// shipped. Natively there are no version resources: file_version_read returns false.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct file_version_info {
    // The fixed part: major, minor, patch, build of the file version.
    uint16_t fixed[4] = {0, 0, 0, 0};
    // The texts of the first language the resource lists; empty where a text is missing.
    std::string product_name;
    std::string product_version;
    std::string file_description;
    std::string file_version;
    std::string original_filename;
};

// False when the file cannot be read or has no version resource.
bool file_version_read(const char* path, file_version_info* info);

}  // namespace platform
