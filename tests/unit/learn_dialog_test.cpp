// The learn dialog's texts on a fake control set: what it shows, what it consumes, what it
// stores, and that texts replaced by another thread are never read released.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "dialogs/dialog_ids.h"
#include "dialogs/learn_dialog_logic.h"
#include "tests/support/fake_controls.h"

namespace {

class LearnDialogTextsTest : public ::testing::Test {
  protected:
    void TearDown() override {
        learn_texts_release_title_prompt();
        learn_value_take();
    }
    fake_controls controls;
};

TEST_F(LearnDialogTextsTest, shows_texts_and_consumes_the_value) {
    learn_texts_store("Title", "Prompt", "Current");
    learn_dialog_show_texts(controls);
    EXPECT_EQ(controls.caption, "Title");
    EXPECT_EQ(controls.texts[ID_LEARN_PROMPT], "Prompt");
    EXPECT_EQ(controls.texts[ID_LEARN_TEXT], "Current");
    EXPECT_EQ(learn_value_take(), nullptr);  // consumed by the showing
    // Shown again (a refresh with nothing new): the title and prompt stay, the field empties.
    learn_dialog_show_texts(controls);
    EXPECT_EQ(controls.caption, "Title");
    EXPECT_EQ(controls.texts[ID_LEARN_TEXT], "");
}

TEST_F(LearnDialogTextsTest, stores_at_most_199_characters_and_empty_as_a_text) {
    controls.texts[ID_LEARN_TEXT] = std::string(250, 'a');
    learn_dialog_store_result(controls);
    learn_text result = learn_value_take();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::string(result.get()), std::string(199, 'a'));

    controls.texts[ID_LEARN_TEXT] = "";
    learn_dialog_store_result(controls);
    result = learn_value_take();
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result.get(), "");
}

TEST_F(LearnDialogTextsTest, texts_replaced_while_the_dialog_thread_reads_them) {
    std::atomic<bool> stop{false};
    std::thread dialog([&] {
        fake_controls own;
        while (!stop) {
            learn_dialog_show_texts(own);
            learn_dialog_store_result(own);
            // Whatever it read is one of the whole texts that were stored.
            ASSERT_TRUE(own.caption.empty() || own.caption.rfind("title ", 0) == 0);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        std::string n = std::to_string(i);
        learn_texts_store(("title " + n).c_str(), ("prompt " + n).c_str(), ("value " + n).c_str());
        if (i % 3 == 0)
            learn_texts_release_title_prompt();
        if (i % 5 == 0)
            learn_value_take();
    }
    stop = true;
    dialog.join();
}

}  // namespace
