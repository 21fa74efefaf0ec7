// Matches a fuzzer-made rule text against a fuzzer-made client address, the adapter status
// and the host lookup answered from the input too (no real lookup ever runs), and checks the
// result against a plain model of the rules and against admission through the list.
//
// Input layout: 4 bytes client address; 1 byte flags (bit 0: the adapter query succeeds,
// bits 1-2: how many resolved addresses follow, 0 to 3); 6 bytes adapter address; 4 bytes for
// each resolved address; the rest is the rule text, up to its first zero byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "access/access_list.h"
#include "access/admission.h"
#include "access/rule_matching.h"
#include "module/address_text.h"
#include "module/settings.h"
#include "platform/adapter_status.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool g_adapter_answers = false;
uint8_t g_adapter[6];
int g_resolved_count = 0;
platform::ipv4_address g_resolved[3];
int g_lookups = 0;

int fuzz_adapter(const char*, uint8_t adapter[6]) {
    if (!g_adapter_answers)
        return 0;
    std::memcpy(adapter, g_adapter, 6);
    return 1;
}

int fuzz_lookup(const char*, platform::address_visitor found, void* context) {
    ++g_lookups;
    for (int i = 0; i < g_resolved_count; ++i) {
        if (found(g_resolved[i], context))
            return 1;
    }
    return 0;
}

std::string dotted(const uint8_t b[4]) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

bool cut_last(std::string* text, char c) {
    size_t at = text->rfind(c);
    if (at == std::string::npos)
        return false;
    text->resize(at);
    return true;
}

int model_subnet(std::string rule, std::string address) {
    if (rule.size() >= static_cast<size_t>(TEXT_FIELD_MAX))
        return 0;
    long prefix = std::strtol(rule.c_str() + rule.find('/') + 1, nullptr, 10);
    int parts;
    if (prefix == 0)
        return 1;
    if (prefix == 32)
        return cut_last(&rule, '/') && rule == address;
    if (prefix == 24) {
        parts = 1;
    } else if (prefix == 16) {
        parts = 2;
    } else if (prefix == 8) {
        parts = 3;
    } else {
        return 0;
    }
    for (int i = 0; i < parts; ++i) {
        if (!cut_last(&rule, '.'))
            return 0;
    }
    for (int i = 0; i < parts; ++i) {
        if (!cut_last(&address, '.'))
            return 0;
    }
    return rule == address;
}

int model_mac(const std::string& rule) {
    if (!g_adapter_answers)
        return 0;
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", g_adapter[0], g_adapter[1],
                  g_adapter[2], g_adapter[3], g_adapter[4], g_adapter[5]);
    if (rule.size() != std::strlen(text))
        return 0;
    for (size_t i = 0; i < rule.size(); ++i) {
        char c = rule[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != text[i])
            return 0;
    }
    return 1;
}

int model(const std::string& rule, const std::string& address) {
    if (rule.empty())
        return 0;
    if (rule[0] == '/') {
        for (int i = 0; i < g_resolved_count; ++i) {
            if (dotted(g_resolved[i].bytes) == address)
                return 1;
        }
        return 0;
    }
    if (rule.find(':') != std::string::npos)
        return model_mac(rule);
    if (rule.find('/') != std::string::npos)
        return model_subnet(rule, address);
    return rule == address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 11)
        return 0;
    platform::ipv4_address client;
    std::memcpy(client.bytes, data, 4);
    uint8_t flags = data[4];
    g_adapter_answers = flags & 1;
    std::memcpy(g_adapter, data + 5, 6);
    size_t at = 11;
    g_resolved_count = 0;
    for (int i = 0; i < ((flags >> 1) & 3) && at + 4 <= size; ++i, at += 4) {
        std::memcpy(g_resolved[g_resolved_count++].bytes, data + at, 4);
    }
    std::string rule(reinterpret_cast<const char*>(data + at), size - at);
    rule.resize(std::strlen(rule.c_str()));

    platform::adapter_status_set_override(fuzz_adapter);
    match_host_name_set_lookup(fuzz_lookup);
    g_lookups = 0;

    char address_text[ADDRESS_TEXT_SIZE];
    format_address_text(client, address_text);
    check(address_text == dotted(client.bytes));

    int result = match_access_entry(client, rule.c_str());
    check(result == 0 || result == 1);
    check(result == model(rule, address_text));
    check(g_lookups == (!rule.empty() && rule[0] == '/' ? 1 : 0));

    // The same rule through the list and admission, everything else out of the way.
    settings.allow_all = 0;
    settings.disable_abuse_protection = 0;
    abuse_state_reset();
    access_list_clear();
    check(access_list_append(rule.c_str()) != nullptr);
    check(admit_client(client) == result);
    access_list_clear();
    settings.allow_all = 1;
    return 0;
}
