#include "access/admission.h"

#include "access/access_list.h"
#include "access/repeat_offenders.h"
#include "access/rule_matching.h"
#include "module/address_text.h"
#include "module/settings.h"

int admit_client(platform::ipv4_address address) {
    char address_text[ADDRESS_TEXT_SIZE];
    format_address_text(address, address_text);

    // Before allow_all: the last offender and repeat offenders stay refused even when
    // everyone is allowed.
    if (settings.disable_abuse_protection.load(std::memory_order_acquire) == 0 &&
        (abuse_block_refuses(address_text) || repeat_offenders_refuse(address))) {
        return 0;
    }
    if (settings.allow_all.load(std::memory_order_acquire) != 0)
        return 1;

    access_rules_copy rules;
    if (!access_list_copy_rules(&rules))
        return 0;
    for (size_t i = 0; i < rules.count(); ++i) {
        if (match_access_rule(address, address_text, rules.text(i)))
            return 1;
    }
    return 0;
}
