// The learn dialog's texts on a fake control set: what it shows, what it consumes, and that
// texts replaced by another thread are never read released.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/learn_dialog_logic.h"
#include "tests/support/fake_controls.h"

namespace {

class LearnDialogTextsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        learn_texts_release();
        learn_dialog_slot().ended();  // drops a stored result
    }
    void store(const char* title, const char* prompt, const char* value) {
        learn_texts texts = learn_texts_copy(title, prompt, value);
        learn_texts_exchange(texts);
    }
    fake_controls controls;
};

TEST_F(LearnDialogTextsTest, shows_texts_and_consumes_the_value) {
    store("Title", "Prompt", "Current");
    learn_dialog_show_texts(controls);
    EXPECT_EQ(controls.caption, "Title");
    EXPECT_EQ(controls.texts[ID_LEARN_PROMPT], "Prompt");
    EXPECT_EQ(controls.texts[ID_LEARN_TEXT], "Current");
    // Shown again with nothing new (a refresh after the texts were shown): the title and
    // prompt stay, and so does what the field shows.
    controls.texts[ID_LEARN_TEXT] = "typed";
    learn_dialog_show_texts(controls);
    EXPECT_EQ(controls.caption, "Title");
    EXPECT_EQ(controls.texts[ID_LEARN_TEXT], "typed");
    // A new value, the empty one too, replaces it.
    store("Title", "Prompt", "");
    learn_dialog_show_texts(controls);
    EXPECT_EQ(controls.texts[ID_LEARN_TEXT], "");
}

TEST_F(LearnDialogTextsTest, texts_replaced_while_the_dialog_thread_reads_them) {
    std::atomic<bool> stop{false};
    std::thread dialog([&] {
        fake_controls own;
        while (!stop) {
            learn_dialog_show_texts(own);
            learn_dialog_store_result(own);
            // Whatever it read is one of the whole texts that were stored, or none.
            const std::string& title = own.caption;
            ASSERT_TRUE(title.empty() || title == "title " + std::to_string(std::atoi(&title[6])))
                << title;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::string n = std::to_string(i);
        store(("title " + n).c_str(), ("prompt " + n).c_str(), ("value " + n).c_str());
        if (i % 3 == 0)
            learn_texts_release();
    }
    stop = true;
    dialog.join();
}

}  // namespace
