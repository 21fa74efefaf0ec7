#include <cstring>

#include "access/rule_matching.h"
#include "module/settings.h"

namespace {

// Copies text into a TEXT_FIELD_MAX buffer; false when it does not fit whole.
bool copy_field(char field[TEXT_FIELD_MAX], const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        if (++length == static_cast<size_t>(TEXT_FIELD_MAX))
            return false;
    }
    std::memcpy(field, text, length + 1);
    return true;
}

// The prefix length as atoi reads it: leading white space, an optional sign, then decimal
// digits up to the first other character; no digits give 0. Values far beyond any known
// length are held at a bound instead of overflowing, which keeps them unknown.
long read_prefix_length(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value < 1000000)
            value = value * 10 + (*text - '0');
    }
    return negative ? -value : value;
}

// Ends text just before the last occurrence of c; false when there is none.
bool cut_at_last(char* text, char c) {
    char* last = std::strrchr(text, c);
    if (!last)
        return false;
    *last = '\0';
    return true;
}

bool cut_parts(char* text, int parts) {
    for (int i = 0; i < parts; ++i) {
        if (!cut_at_last(text, '.'))
            return false;
    }
    return true;
}

}  // namespace

int match_subnet(const char* rule_text, const char* address_text) {
    char rule[TEXT_FIELD_MAX];
    char address[TEXT_FIELD_MAX];
    if (!copy_field(rule, rule_text) || !copy_field(address, address_text))
        return 0;
    const char* slash = std::strchr(rule, '/');
    if (!slash)
        return 0;

    int parts;
    switch (read_prefix_length(slash + 1)) {
        case 0:
            return 1;
        case 8:
            parts = 3;
            break;
        case 16:
            parts = 2;
            break;
        case 24:
            parts = 1;
            break;
        case 32:
            // Only the "/32" goes; the whole address is compared.
            if (!cut_at_last(rule, '/'))
                return 0;
            return std::strcmp(rule, address) == 0 ? 1 : 0;
        default:
            return 0;
    }
    if (!cut_parts(rule, parts) || !cut_parts(address, parts))
        return 0;
    return std::strcmp(rule, address) == 0 ? 1 : 0;
}
