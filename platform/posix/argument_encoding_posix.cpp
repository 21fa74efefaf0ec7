#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <cerrno>

#include "platform/argument_encoding.h"

namespace platform {

namespace {

// "UTF-8", "utf8" and "Utf_8" name the same encoding.
std::string comparable(const std::string& name) {
    std::string result;
    for (char c : name) {
        if (c != '-' && c != '_')
            result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

// The encoding of the arguments: the user's locale, read without changing the process's.
std::string locale_encoding() {
    locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    std::string name = user ? nl_langinfo_l(CODESET, user) : "";
    if (user)
        freelocale(user);
    // The C locale says ASCII; arguments beyond it are UTF-8 in practice.
    if (name.empty() || comparable(name) == "ansix3.41968")
        return "UTF-8";
    return name;
}

}  // namespace

std::string default_argument_encoding() {
    return "utf-8";
}

encoding_result encode_argument(int, const char* argument, const char* encoding,
                                std::string* bytes) {
    static const std::string source = locale_encoding();
    if (comparable(encoding) == comparable(source)) {
        *bytes = argument;
        return encoding_result::written;
    }
    iconv_t converter = iconv_open(encoding, source.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1))
        return encoding_result::unknown_encoding;
    std::string input = argument;
    char* in = &input[0];
    size_t in_left = input.size();
    std::string output(input.size() * 4 + 16, '\0');
    char* out = &output[0];
    size_t out_left = output.size();
    size_t converted = iconv(converter, &in, &in_left, &out, &out_left);
    // The end of a stateful encoding's text (a shift back to its initial state).
    if (converted != static_cast<size_t>(-1))
        converted = iconv(converter, nullptr, nullptr, &out, &out_left);
    iconv_close(converter);
    if (converted == static_cast<size_t>(-1))
        return encoding_result::not_writable;
    output.resize(output.size() - out_left);
    *bytes = output;
    return encoding_result::written;
}

}  // namespace platform
