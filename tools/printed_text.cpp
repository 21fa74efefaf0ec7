#include "tools/printed_text.h"

#include <cstring>

namespace {

// The length of the well-formed UTF-8 sequence of a printable character at text (2 to 4
// bytes), or 0: a lone or stray byte, an overlong form, a surrogate, a value beyond U+10FFFF,
// a sequence cut short, or a C1 control character (U+0080 to U+009F).
size_t printable_sequence_length(const unsigned char* text, size_t left) {
    unsigned char lead = text[0];
    size_t length;
    unsigned long value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    static const unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    if (value <= 0x9F)
        return 0;
    return length;
}

}  // namespace

std::string quoted(const char* text, size_t length) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    std::string result = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = bytes[i];
        switch (c) {
            case '"':
                result += "\\\"";
                continue;
            case '\\':
                result += "\\\\";
                continue;
            case '\n':
                result += "\\n";
                continue;
            case '\r':
                result += "\\r";
                continue;
            case '\t':
                result += "\\t";
                continue;
        }
        if (c >= 0x20 && c < 0x7F) {
            result += static_cast<char>(c);
            continue;
        }
        size_t sequence = c >= 0x80 ? printable_sequence_length(bytes + i, length - i) : 0;
        if (sequence > 0) {
            result.append(text + i, sequence);
            i += sequence - 1;
            continue;
        }
        result += "\\x";
        result += digits[c >> 4];
        result += digits[c & 0xF];
    }
    return result + "\"";
}

std::string quoted(const char* text) {
    return quoted(text, std::strlen(text));
}
