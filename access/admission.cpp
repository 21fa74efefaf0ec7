#include "access/admission.h"

#include "access/access_list.h"
#include "access/repeat_offenders.h"
#include "access/rule_matching.h"
#include "module/address_text.h"
#include "module/settings.h"

namespace {

// The access list's verdict for the address: the rules that look nothing up are tried first,
// and those that do only when with_lookups is set and none of the others admitted.
admission_verdict match_rules(platform::ipv4_address address, const char* address_text,
                              bool with_lookups) {
    access_rules_copy rules;
    if (!access_list_copy_rules(&rules))
        return admission_verdict::refused;
    bool lookups = false;
    for (size_t i = 0; i < rules.count(); ++i) {
        if (rule_needs_lookup(rules.text(i)))
            lookups = true;
        else if (match_access_rule(address, address_text, rules.text(i)))
            return admission_verdict::admitted;
    }
    if (!lookups)
        return admission_verdict::refused;
    if (!with_lookups)
        return admission_verdict::look_up;
    for (size_t i = 0; i < rules.count(); ++i) {
        if (rule_needs_lookup(rules.text(i)) &&
            match_access_rule(address, address_text, rules.text(i)))
            return admission_verdict::admitted;
    }
    return admission_verdict::refused;
}

admission_verdict admit(platform::ipv4_address address, bool with_lookups) {
    char address_text[ADDRESS_TEXT_SIZE];
    format_address_text(address, address_text);

    // Before allow_all: the last offender and repeat offenders stay refused even when
    // everyone is allowed.
    if (settings.disable_abuse_protection.load(std::memory_order_acquire) == 0 &&
        (abuse_block_refuses(address_text) || repeat_offenders_refuse(address))) {
        return admission_verdict::refused;
    }
    if (settings.allow_all.load(std::memory_order_acquire) != 0)
        return admission_verdict::admitted;
    return match_rules(address, address_text, with_lookups);
}

}  // namespace

admission_verdict admit_client_without_lookup(platform::ipv4_address address) {
    return admit(address, false);
}

int admit_client(platform::ipv4_address address) {
    return admit(address, true) == admission_verdict::admitted ? 1 : 0;
}
