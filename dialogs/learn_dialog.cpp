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

learn_text learn_dialog_run(const char* title, const char* prompt, const char* current) {
    learn_texts_store(title, prompt, current);
    dialog_slot::open_claim claim = g_slot.open(learn_dialog_thread, module_instance());
    if (claim.state == dialog_slot::open_state::open) {
        dialog_window_to_front(claim.window);
        dialog_window_refresh(claim.window);
    }
    if (claim.state == dialog_slot::open_state::failed)
        platform::message_box("Cannot create dialogthread.", "Error");
    if (claim.waiter)
        claim.waiter.wait(platform::WAIT_FOREVER);
    if (!g_slot.claim_result(claim.run))
        return learn_text();
    return learn_value_take();
}

unsigned learn_dialog_thread(void* /*argument*/) {
    dialog_window_run(dialog_kind::learn);
    learn_texts_release_title_prompt();
    g_slot.ended();
    return 0;
}

void learn_dialog_close() {
    // A handle of the closer's own: the waiting run releases the slot's handle.
    dialog_slot::close_claim claim = g_slot.begin_close(false);
    if (claim.window)
        dialog_window_close(claim.window);
    if (claim.thread)
        claim.thread.wait(CLOSE_WAIT_MS);
}
