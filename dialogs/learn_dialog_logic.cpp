#include "dialogs/learn_dialog_logic.h"

#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "module/host_record.h"

namespace {

std::mutex g_texts_lock;
learn_text g_title;
learn_text g_prompt;
learn_text g_value;

// The text under the lock, copied for a reader; an empty text when there is none (or no
// memory for the copy).
struct text_copy {
    learn_text text;
    const char* get() const { return text ? text.get() : ""; }
};

text_copy copy_under_lock(const learn_text& text) {
    return {text ? learn_text_copy(text.get()) : learn_text()};
}

void translate_onto(dialog_controls& controls, const char* source, int control) {
    char translated[TRANSLATED_TEXT_MAX];
    host_translate_label(source, translated);
    controls.set_text(control, translated);
}

}  // namespace

learn_text learn_text_copy(const char* text) {
    size_t size = std::strlen(text) + 1;
    learn_text copy(new (std::nothrow) char[size]);
    if (copy)
        std::memcpy(copy.get(), text, size);
    return copy;
}

learn_texts learn_texts_copy(const char* title, const char* prompt, const char* current) {
    return {learn_text_copy(title), learn_text_copy(prompt), learn_text_copy(current)};
}

void learn_texts_exchange(learn_texts& texts) {
    std::lock_guard<std::mutex> hold(g_texts_lock);
    std::swap(g_title, texts.title);
    std::swap(g_prompt, texts.prompt);
    std::swap(g_value, texts.value);
}

void learn_texts_release() {
    learn_texts gone;  // released after the lock
    learn_texts_exchange(gone);
}

bool learn_dialog_initialise(void* window, dialog_controls& controls) {
    if (!learn_dialog_slot().record_window(window))
        return false;
    translate_onto(controls, "Ok", ID_OK_BUTTON);
    translate_onto(controls, "Cancel", ID_CANCEL_BUTTON);
    learn_dialog_show_texts(controls);
    return true;
}

void learn_dialog_show_texts(dialog_controls& controls) {
    text_copy title, prompt, value;
    {
        std::lock_guard<std::mutex> hold(g_texts_lock);
        title = copy_under_lock(g_title);
        prompt = copy_under_lock(g_prompt);
        // The value is consumed: the shown text is this copy.
        value.text = std::move(g_value);
    }
    controls.set_text(ID_LEARN_PROMPT, prompt.get());
    if (value.text)
        controls.set_text(ID_LEARN_TEXT, value.get());
    controls.set_caption(title.get());
}

void learn_dialog_store_result(dialog_controls& controls) {
    char text[TEXT_FIELD_MAX];
    controls.read_text(ID_LEARN_TEXT, text);
    learn_dialog_slot().set_result(learn_text_copy(text));
}

bool learn_dialog_command(dialog_controls& controls, int control) {
    if (control != ID_OK_BUTTON && control != ID_CANCEL_BUTTON)
        return false;
    if (control == ID_OK_BUTTON)
        learn_dialog_store_result(controls);
    learn_dialog_ending();
    return true;
}

void learn_dialog_ending() {
    learn_dialog_slot().mark_ending();
}
