// The host's function record and the two host calls the plug-in makes.
//
// The record is 112 bytes that the host owns; host_record_store copies all of it when its
// first 32-bit field is 112 (else it returns 0 and stores nothing). The plug-in reads two
// slots: translate_text at offset 48 and trigger_event at offset 100, 32-bit addresses in the
// DLL. In a 64-bit native build the two slots hold native pointers at the same offsets.
//
// host_translate_text and host_trigger_event call the stored host functions; before a
// successful store they do nothing. Any thread may call them (the host copes with several
// trigger_event calls at once); a store replaces the record whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "module/calling_convention.h"

constexpr int32_t HOST_RECORD_SIZE = 112;
constexpr size_t HOST_RECORD_TRANSLATE_TEXT_OFFSET = 48;
constexpr size_t HOST_RECORD_TRIGGER_EVENT_OFFSET = 100;
constexpr int TRANSLATED_TEXT_MAX = 300;  // the plug-in always passes this buffer size

// translate_text(text, out, out_size): localises an English source text into out, which it
// leaves zero-terminated. The result is not used.
using translate_text_fn = int32_t(QVL_STDCALL*)(const char* text, char* out, int32_t out_size);
// trigger_event(event_text, block, block_length, device): raises an event in the host, which
// has consumed or copied the text and the block when it returns. The result is not used.
using trigger_event_fn = int32_t(QVL_STDCALL*)(const char* event_text, const uint8_t* block,
                                               int32_t block_length, int32_t device);

int host_record_store(const void* record);

// For programs that play host: fills a record as a host hands it over (size 112, the two
// functions in their slots, every other byte zero). Either function may be null.
void host_record_compose(uint8_t record[HOST_RECORD_SIZE], translate_text_fn translate,
                         trigger_event_fn trigger);

void host_translate_text(const char* text, char* out, int32_t out_size);
// A dialog's label: the host's translation of text in a TRANSLATED_TEXT_MAX buffer, always
// zero-terminated. While no host function is stored (a dialog opened before qvl_open), the
// source text itself, untranslated, so the dialog never shows empty labels.
void host_translate_label(const char* text, char out[TRANSLATED_TEXT_MAX]);
void host_trigger_event(const char* event_text, const uint8_t* block, int32_t block_length,
                        int32_t device);

// Forgets the stored record: the state before the first store. For tests.
void host_record_forget();
