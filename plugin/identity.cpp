// The identity entry points.
#include <cstring>

#include "module/module_state.h"
#include "plugin/entry_points.h"
#include "sendrel_version.h"

namespace {

// Only the low 8 bits of the size count; a shorter text is zero-filled to the size, a longer
// one cut there without a terminator (strncpy's rule, which hosts of this interface expect).
void copy_identity_text(const char* text, char* out, int32_t size) {
    size_t count = static_cast<uint8_t>(size);
    if (count == 0)
        return;
    std::strncpy(out, text, count);
}

}  // namespace

extern "C" {

void QVL_STDCALL qvl_name(char* out, int32_t size) {
    copy_identity_text("Sendrel", out, size);
}

void QVL_STDCALL qvl_description(char* out, int32_t size) {
    copy_identity_text("Sendrel, written by Tovrik", out, size);
}

void QVL_STDCALL qvl_version(char* out, int32_t size) {
    copy_identity_text(SENDREL_VERSION_TEXT, out, size);
}

int32_t QVL_STDCALL qvl_devicenum() {
    return DEVICE_NUMBER;
}

int32_t QVL_STDCALL qvl_requested_api(int32_t /*ignored*/) {
    return 1;
}

int32_t QVL_STDCALL qvl_compare(const char* first, const char* second) {
    return std::strcmp(first, second) == 0 ? 1 : 0;
}
}
