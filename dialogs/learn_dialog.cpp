#include "dialogs/learn_dialog.h"

#include "dialogs/dialog_slot.h"
#include "dialogs/dialog_window.h"
#include "module/module_state.h"
#include "platform/message_box.h"

namespace {

constexpr uint32_t CLOSE_WAIT_MS = 4000;

dialog_slot g_slot;

}  // namespace

dialog_slot& learn_dialog_slot() {
    return g_slot;
}

namespace {
// Once the slot has decided which run the request joins: its texts replace the stored ones.
void store_texts(void* texts) {
    learn_texts_exchange(*static_cast<learn_texts*>(texts));
}
}  // namespace

learn_text learn_dialog_run(const char* title, const char* prompt, const char* current) {
    // Copied before, stored under the slot's lock; the replaced texts go with `texts`.
    learn_texts texts = learn_texts_copy(title, prompt, current);
    dialog_slot::waiter caller;
    dialog_slot::open_claim claim =
        g_slot.open({learn_dialog_thread, module_instance(), &caller, store_texts, &texts});
    switch (claim.state) {
        case dialog_slot::open_state::open:
            dialog_window_to_front(claim.window);
            dialog_window_refresh(claim.window);
            break;
        case dialog_slot::open_state::failed:
            // No dialog could be started: the caller keeps its own text, as confirmed.
            platform::message_box("Cannot create dialogthread.", "Error");
            return learn_text_copy(current);
        case dialog_slot::open_state::starting:
        case dialog_slot::open_state::started:
        case dialog_slot::open_state::closed:  // not registered: none
            break;
    }
    return g_slot.wait_result(caller);
}

unsigned learn_dialog_thread(void* /*argument*/) {
    dialog_window_run(dialog_kind::learn);
    // Before the run ends: the next run's texts are stored only after it has.
    learn_texts_release();
    g_slot.ended();
    return 0;
}

void learn_dialog_close() {
    dialog_slot::close_claim claim = g_slot.begin_close(false);
    if (claim.window)
        dialog_window_close(claim.window);
    if (claim.active)
        g_slot.wait_ended(claim.run, CLOSE_WAIT_MS);
}
