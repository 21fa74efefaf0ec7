#include <windows.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/argument_encoding.h"

// The C runtime's own split of the wide command line, by the rules that made argv.
struct runtime_startup_info {
    int new_mode;
};
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                              int expand_wildcards, runtime_startup_info* info);

namespace platform {

namespace {

std::string lower(const char* text) {
    std::string result;
    for (; *text; ++text)
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
    return result;
}

// The number after prefix in name ("cp1252" -> 1252), or 0.
UINT number_after(const std::string& name, const char* prefix) {
    size_t length = std::strlen(prefix);
    if (name.compare(0, length, prefix) != 0 || name.size() == length)
        return 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(name.c_str() + length, &end, 10);
    return *end == '\0' && value < 65536 ? static_cast<UINT>(value) : 0;
}

// The code page an encoding name stands for, or 0 when it names none this system has.
UINT code_page_of(const char* encoding) {
    std::string name = lower(encoding);
    UINT page = 0;
    if (name == "utf-8" || name == "utf8") {
        page = CP_UTF8;
    } else if (name == "mbcs" || name == "ansi") {
        page = GetACP();
    } else if (name == "ascii" || name == "us-ascii") {
        page = 20127;
    } else if (name == "latin1" || name == "latin-1") {
        page = 28591;
    } else if (UINT part = number_after(name, "iso-8859-")) {
        page = 28590 + part;
    } else if (!(page = number_after(name, "cp"))) {
        page = number_after(name, "windows-");
    }
    return page != 0 && IsValidCodePage(page) ? page : 0;
}

const wchar_t* wide_argument(int index) {
    static int count = 0;
    static wchar_t** arguments = nullptr;
    static bool asked = false;
    if (!asked) {
        asked = true;
        wchar_t** environment = nullptr;
        runtime_startup_info info{0};
        if (__wgetmainargs(&count, &arguments, &environment, 0, &info) != 0)
            count = 0;
    }
    return index >= 0 && index < count ? arguments[index] : nullptr;
}

}  // namespace

std::string default_argument_encoding() {
    return "cp" + std::to_string(GetACP());
}

encoding_result encode_argument(int index, const char* argument, const char* encoding,
                                std::string* bytes) {
    UINT page = code_page_of(encoding);
    if (page == 0)
        return encoding_result::unknown_encoding;
    // A text that is not an argument (a default) is in the ANSI code page.
    std::wstring widened;
    const wchar_t* text = index >= 0 ? wide_argument(index) : nullptr;
    if (index < 0) {
        int length = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
        widened.assign(static_cast<size_t>(length > 0 ? length : 1), L'\0');
        if (length > 0 && MultiByteToWideChar(CP_ACP, 0, argument, -1, &widened[0], length) > 0)
            text = widened.c_str();
    }
    if (!text)
        return encoding_result::not_writable;
    // Strict: UTF-8 refuses broken surrogates, a code page a character it has no byte for.
    BOOL substituted = FALSE;
    DWORD flags = page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL* substitution = page == CP_UTF8 ? nullptr : &substituted;
    int size = WideCharToMultiByte(page, flags, text, -1, nullptr, 0, nullptr, substitution);
    if (size == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        // Code pages such as the ISO-2022 ones take no flags and tell of no substitutes.
        flags = 0;
        substitution = nullptr;
        size = WideCharToMultiByte(page, flags, text, -1, nullptr, 0, nullptr, nullptr);
    }
    if (size <= 0 || substituted)
        return encoding_result::not_writable;
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(page, flags, text, -1, &result[0], size, nullptr, substitution);
    result.resize(static_cast<size_t>(size) - 1);  // without the terminator
    *bytes = result;
    return substituted ? encoding_result::not_writable : encoding_result::written;
}

}  // namespace platform
