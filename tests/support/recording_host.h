// A substitute for the host application, for tests: it records every event the plug-in
// raises and translates texts by copying them unchanged.
//
// recording_host_build_record fills a 112-byte host record: the size field 112, the
// recording translate_text at offset 48 and the recording trigger_event at offset 100 (both
// stdcall in the 32-bit build, placed with memcpy; the offsets are written as numbers, not
// taken from the plug-in's constants), every other byte zero. The caller owns the
// record; hand it to host_record_store or to qvl_open. recording_host_install does both
// steps at once and returns host_record_store's result (1 when stored).
//
// translate_text copies the source text into the output buffer, cut to out_size - 1 bytes and
// zero-terminated (nothing is written when out_size is 0 or less), and remembers the source.
// trigger_event stores a copy of the event text, the block bytes, the length and the device
// before it returns, as the real host does, so the plug-in may reuse its buffers at once.
//
// The recordings are process-wide and guarded by a lock: client threads may raise events
// while the test thread waits and reads. recording_host_events and recording_host_translations
// return copies. recording_host_wait_for_events waits until at least count events have been
// recorded since the last clear; it returns false when timeout_ms passes first.
// recording_host_clear forgets all recordings (the installed record stays in place).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "module/host_record.h"

struct recorded_event {
    std::string event_text;
    std::vector<uint8_t> block;  // block_length bytes, as the plug-in passed them
    int32_t block_length = 0;
    int32_t device = 0;

    // The payload texts of the block: the count byte says how many, each text runs to its
    // zero byte. A block that does not hold that many terminated texts yields what it holds.
    std::vector<std::string> payloads() const;
};

void recording_host_build_record(uint8_t record[HOST_RECORD_SIZE]);
int recording_host_install();

// Installs a host whose trigger_event is in_front, which may hold or watch the calling client
// thread and then passes the event on to recording_host_trigger_event, the recording one.
// recording_host_install puts the plain recording host back.
int recording_host_install_in_front(trigger_event_fn in_front);
int32_t QVL_STDCALL recording_host_trigger_event(const char* event_text, const uint8_t* block,
                                                 int32_t block_length, int32_t device);

std::vector<recorded_event> recording_host_events();
size_t recording_host_event_count();
bool recording_host_wait_for_events(size_t count, uint32_t timeout_ms);

// The source texts passed to translate_text, in call order.
std::vector<std::string> recording_host_translations();

void recording_host_clear();
