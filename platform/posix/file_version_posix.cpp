#include "platform/file_version.h"

namespace platform {

bool file_version_read(const char*, file_version_info*) {
    return false;
}

}  // namespace platform
