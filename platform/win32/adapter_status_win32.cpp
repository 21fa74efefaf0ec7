#include <windows.h>

#include <nb30.h>

#include <cstring>

#include "platform/adapter_status.h"

namespace platform::detail {

namespace {

constexpr UCHAR STATUS_LANA = 0;
constexpr WORD STATUS_BUFFER_SIZE = 600;
constexpr size_t ADDRESS_TEXT_MAX = NCBNAMSZ - 1;  // 15 characters of a dotted address

// The remote name of the status query: the dotted address, padded with spaces through its
// 15th byte. The 16th byte is 0 for every address, 15-character ones included, so every
// query names its machine the same way whatever the length of its address; the address
// parsers of the NetBIOS-over-TCP layer stop at the first space or 0 either way.
void fill_call_name(UCHAR call_name[NCBNAMSZ], const char* address_text, size_t length) {
    std::memset(call_name, ' ', ADDRESS_TEXT_MAX);
    std::memcpy(call_name, address_text, length);
    call_name[NCBNAMSZ - 1] = 0;
}

}  // namespace

int system_adapter_status_query(const char* address_text, uint8_t adapter_address[6]) {
    size_t length = std::strlen(address_text);
    if (length > ADDRESS_TEXT_MAX)
        return 0;  // no dotted address is that long

    NCB reset;
    std::memset(&reset, 0, sizeof reset);
    reset.ncb_command = NCBRESET;
    reset.ncb_lana_num = STATUS_LANA;
    Netbios(&reset);  // a failed reset shows in the status query that follows

    // Zeroed so that an answer that claims success without filling the buffer (as Wine
    // gives for a machine that does not answer) is seen as what it is: no status at all.
    UCHAR status[STATUS_BUFFER_SIZE];
    std::memset(status, 0, sizeof status);
    NCB query;
    std::memset(&query, 0, sizeof query);
    query.ncb_command = NCBASTAT;
    query.ncb_lana_num = STATUS_LANA;
    query.ncb_buffer = status;
    query.ncb_length = STATUS_BUFFER_SIZE;
    query.ncb_name[0] = 0;
    fill_call_name(query.ncb_callname, address_text, length);
    if (Netbios(&query) != NRC_GOODRET || query.ncb_retcode != NRC_GOODRET)
        return 0;
    if (query.ncb_length < 6)
        return 0;

    // The adapter's hardware address leads the status; all zeros is no adapter's address.
    static const uint8_t no_address[6] = {0, 0, 0, 0, 0, 0};
    if (std::memcmp(status, no_address, 6) == 0)
        return 0;
    std::memcpy(adapter_address, status, 6);
    return 1;
}

}  // namespace platform::detail
