// The two dialogs' threads, requests and hand-overs, natively: a stand-in for the window
// system runs each dialog's messages on its dialog thread and delivers the other threads'
// requests there synchronously, as USER32 does. Under ThreadSanitizer these runs check that
// the texts, the slots and the connection list are shared without races.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/learn_dialog.h"
#include "dialogs/posix/dialog_window_stand_in.h"
#include "dialogs/settings_dialog.h"
#include "dialogs/settings_dialog_logic.h"
#include "module/settings.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "plugin/entry_points.h"
#include "server/connection_table.h"
#include "tests/support/fake_controls.h"
#include "tests/support/recording_host.h"

namespace {

constexpr auto DEADLINE = std::chrono::seconds(20);

struct fake_window {
    dialog_kind kind;
    fake_controls controls;
    bool shown = false;  // initialised and recorded
    bool ended = false;  // asked to end
    bool gone = false;   // its run is over
};

// Runs the dialogs of the plug-in's threads. Windows are kept until the stand-in goes, so a
// late request to an ended dialog finds it gone rather than freed.
class window_system : public dialog_window_stand_in {
  public:
    std::function<void(dialog_kind)> before_initialise;
    std::function<void(dialog_kind)> before_destroy;  // the dialog ends, its window not yet gone

    void run(dialog_kind kind) override {
        fake_window* window;
        {
            std::lock_guard<std::mutex> hold(lock_);
            windows_.push_back(std::make_unique<fake_window>());
            window = windows_.back().get();
            window->kind = kind;
            ++runs_;
        }
        window->controls.sorted_lists = {ID_CONNECTION_LIST};
        if (before_initialise)
            before_initialise(kind);
        bool shown = kind == dialog_kind::settings
                         ? settings_dialog_initialise(window, window->controls)
                         : learn_dialog_initialise(window, window->controls);
        std::unique_lock<std::mutex> hold(lock_);
        window->shown = shown;
        changed_.notify_all();
        while (shown && !window->ended) {
            changed_.wait(hold, [&] { return !queue_.empty() && queue_.front().window == window; });
            request next = std::move(queue_.front());
            queue_.pop_front();
            hold.unlock();
            next.action(*window);
            hold.lock();
            *next.done = true;
            changed_.notify_all();
        }
        hold.unlock();
        // The dialog has asked to end; then its window is destroyed, which its procedure hears
        // of as of a close request.
        if (shown) {
            if (before_destroy)
                before_destroy(kind);
            ending_of(kind);
        }
        hold.lock();
        window->gone = true;
        // Requests that came too late are dropped, as a destroyed window's are.
        for (request& each : queue_) {
            if (each.window == window)
                *each.done = true;
        }
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                    [&](const request& each) { return each.window == window; }),
                     queue_.end());
        changed_.notify_all();
    }

    // Delivers an action to the dialog's thread and returns when it has run there (or the
    // dialog has gone).
    void deliver(void* target, std::function<void(fake_window&)> action) {
        auto* window = static_cast<fake_window*>(target);
        std::unique_lock<std::mutex> hold(lock_);
        if (window->gone)
            return;
        auto done = std::make_shared<bool>(false);
        queue_.push_back({window, std::move(action), done});
        changed_.notify_all();
        changed_.wait(hold, [&] { return *done; });
    }

    int to_front(void* target) override {
        std::lock_guard<std::mutex> hold(lock_);
        ++fronts_;
        return static_cast<fake_window*>(target)->gone ? 0 : 1;
    }
    void close(void* target) override {
        closes_.fetch_add(1);
        deliver(target, [](fake_window& window) {
            ending_of(window.kind);
            window.ended = true;
        });
    }
    void refresh(void* target) override {
        deliver(target, [this](fake_window& window) {
            learn_dialog_show_texts(window.controls);
            ++refreshes_;
        });
    }
    void list_replace(void* target, int control, const char* lines, size_t size) override {
        deliver(target, [control, lines, size](fake_window& window) {
            settings_dialog_show_lines(window.controls, control, lines, size);
        });
    }

    // What a user does in the dialog: runs on its thread.
    void user(fake_window* window, std::function<void(fake_window&)> action) {
        deliver(window, std::move(action));
    }
    // The dialog's procedure decides whether the button ends it.
    void press(fake_window* window, int button) {
        user(window, [button](fake_window& dialog) {
            dialog.ended =
                dialog.kind == dialog_kind::learn
                    ? learn_dialog_command(dialog.controls, button)
                    : settings_dialog_command(dialog.controls, button, 0).end != dialog_end::no;
        });
    }
    std::string read(fake_window* window, int control) {
        std::string text;
        user(window, [&](fake_window& dialog) {
            text = control == 0 ? dialog.controls.caption : dialog.controls.texts[control];
        });
        return text;
    }

    // The shown dialog of that kind, once there is one.
    fake_window* wait_shown(dialog_kind kind) {
        std::unique_lock<std::mutex> hold(lock_);
        fake_window* found = nullptr;
        changed_.wait_for(hold, DEADLINE, [&] {
            for (auto& window : windows_) {
                if (window->kind == kind && window->shown && !window->gone)
                    found = window.get();
            }
            return found != nullptr;
        });
        return found;
    }
    bool wait_gone(fake_window* window) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, DEADLINE, [&] { return window->gone; });
    }
    int refreshes() { return refreshes_.load(); }
    int closes() { return closes_.load(); }
    int runs() {
        std::lock_guard<std::mutex> hold(lock_);
        return runs_;
    }
    int shown_count() {
        std::lock_guard<std::mutex> hold(lock_);
        int count = 0;
        for (auto& window : windows_)
            count += window->shown && !window->gone ? 1 : 0;
        return count;
    }

  private:
    static void ending_of(dialog_kind kind) {
        if (kind == dialog_kind::settings)
            settings_dialog_ending();
        else
            learn_dialog_ending();
    }
    struct request {
        fake_window* window;
        std::function<void(fake_window&)> action;
        std::shared_ptr<bool> done;  // it has run, or its window has gone
    };
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<fake_window>> windows_;
    std::deque<request> queue_;
    int runs_ = 0;
    int fronts_ = 0;
    std::atomic<int> refreshes_{0};
    std::atomic<int> closes_{0};
};

std::atomic<int> g_boxes{0};
int count_box(const char*, const char*) {
    g_boxes.fetch_add(1);
    return 1;
}

bool eventually(const std::function<bool()>& condition) {
    auto end = std::chrono::steady_clock::now() + DEADLINE;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class DialogThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::registry_set_test_root("Software\\SendrelTests\\DialogThreads");
        recording_host_install();
        platform::message_box_set_hook(count_box);
        g_boxes = 0;
        dialog_window_install_stand_in(&windows);
    }
    void TearDown() override {
        settings_dialog_close();
        learn_dialog_close();
        EXPECT_EQ(windows.shown_count(), 0);
        EXPECT_EQ(settings_dialog_slot().window(), nullptr);
        EXPECT_EQ(learn_dialog_slot().window(), nullptr);
        // Every dialog thread has ended before the stand-in goes.
        EXPECT_TRUE(eventually([] { return !settings_dialog_slot().window(); }));
        platform::message_box_set_hook(nullptr);
        platform::registry_fake_clear();
        platform::registry_set_test_root(nullptr);
    }
    ~DialogThreadsTest() override {
        // Dialog threads still finishing (after their last request) must not outlive the
        // stand-in: a last close waits them out.
        settings_dialog_close();
        dialog_window_install_stand_in(nullptr);
    }

    window_system windows;
};

// A request on a thread of its own; its answer once it returns.
struct host_call {
    std::atomic<bool> done{false};
    std::string answer;
    std::thread thread;

    explicit host_call(std::function<std::string()> call)
        : thread([this, call] {
              answer = call();
              done = true;
          }) {}
    ~host_call() {
        if (thread.joinable())
            thread.join();
    }
    std::string wait() {
        thread.join();
        return answer;
    }
};

// learn_dialog_run: the text it returns, or "<none>".
struct learn_call : host_call {
    learn_call(const char* title, const char* prompt, const char* current)
        : host_call([t = std::string(title), p = std::string(prompt), c = std::string(current)] {
              learn_text result = learn_dialog_run(t.c_str(), p.c_str(), c.c_str());
              return result ? std::string(result.get()) : std::string("<none>");
          }) {}
};

TEST_F(DialogThreadsTest, settings_dialog_opens_once_comes_to_the_front_and_closes_unapplied) {
    settings.port = 1024;
    ASSERT_EQ(qvl_config(), 1);
    fake_window* dialog = windows.wait_shown(dialog_kind::settings);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(qvl_config(), 1);  // to the front; no second dialog
    EXPECT_EQ(windows.runs(), 1);
    windows.user(dialog, [](fake_window& window) { window.controls.set_text(ID_PORT, "99"); });
    EXPECT_EQ(qvl_info(4, 0, 0), 1);
    EXPECT_TRUE(windows.wait_gone(dialog));
    EXPECT_EQ(settings_dialog_slot().window(), nullptr);
    EXPECT_EQ(settings.port.load(), 1024);
    EXPECT_EQ(qvl_info(4, 0, 0), 1);  // nothing open: nothing to do
}

TEST_F(DialogThreadsTest, settings_dialog_ended_by_its_own_buttons_opens_again) {
    for (int round = 0; round < 50; ++round) {
        ASSERT_EQ(settings_dialog_open(), 1);
        fake_window* dialog = windows.wait_shown(dialog_kind::settings);
        ASSERT_NE(dialog, nullptr);
        windows.press(dialog, round % 2 ? ID_OK_BUTTON : ID_CANCEL_BUTTON);
        ASSERT_TRUE(windows.wait_gone(dialog));
        // An open request right after the window has gone, before the thread has cleared
        // the record, starts a new dialog rather than finding the dying one.
    }
    EXPECT_EQ(windows.runs(), 50);
}

// Holds the dialog threads at one point until opened.
struct gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    std::atomic<int> waiting{0};
    void pass() {
        waiting.fetch_add(1);
        std::unique_lock<std::mutex> hold(lock);
        changed.wait(hold, [&] { return open; });
    }
    void release() {
        {
            std::lock_guard<std::mutex> hold(lock);
            open = true;
        }
        changed.notify_all();
    }
};

// A close while the dialog starts, or once it has recorded its window: no dialog is left
// either way, and a learn caller gets nothing (0, its buffer untouched).
TEST_F(DialogThreadsTest, a_close_during_start_up_leaves_no_dialog_and_no_result) {
    for (dialog_kind kind : {dialog_kind::settings, dialog_kind::learn}) {
        for (bool close_first : {true, false}) {
            SCOPED_TRACE(std::string(kind == dialog_kind::learn ? "learn" : "settings") +
                         (close_first ? ", close first" : ", start-up first"));
            dialog_slot& slot =
                kind == dialog_kind::learn ? learn_dialog_slot() : settings_dialog_slot();
            auto close = kind == dialog_kind::learn ? learn_dialog_close : settings_dialog_close;
            gate start_up;
            windows.before_initialise = [&](dialog_kind) { start_up.pass(); };
            int runs = windows.runs();
            char out[8] = "keep";
            std::atomic<int32_t> answer{-1};
            std::thread host;
            if (kind == dialog_kind::learn) {
                host = std::thread([&] { answer = qvl_learn_event("Current", out, sizeof out); });
            } else {
                ASSERT_EQ(settings_dialog_open(), 1);
                EXPECT_EQ(settings_dialog_open(), 1);  // starting: shows nothing more
            }
            ASSERT_TRUE(eventually([&] { return start_up.waiting.load() == 1; }));
            std::thread closer;
            if (close_first) {
                closer = std::thread(close);
                ASSERT_TRUE(eventually([&] { return slot.start_up_closed(); }));
                start_up.release();
            } else {
                start_up.release();
                ASSERT_NE(windows.wait_shown(kind), nullptr);
                closer = std::thread(close);
            }
            closer.join();
            if (host.joinable())
                host.join();
            EXPECT_EQ(windows.runs(), runs + 1);
            EXPECT_TRUE(eventually([&] { return windows.shown_count() == 0; }));
            EXPECT_EQ(slot.window(), nullptr);
            if (kind == dialog_kind::learn) {
                EXPECT_EQ(answer.load(), 0);
                EXPECT_STREQ(out, "keep");
            }
            windows.before_initialise = nullptr;
        }
    }
}

TEST_F(DialogThreadsTest, learn_event_returns_the_confirmed_text_or_leaves_the_buffer) {
    char out[8];
    std::memset(out, 'x', sizeof out);
    std::atomic<int32_t> answer{-1};
    std::thread host([&] { answer = qvl_learn_event("Door", out, 6); });
    fake_window* dialog = windows.wait_shown(dialog_kind::learn);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(windows.read(dialog, 0), "Enter EventString");
    EXPECT_EQ(windows.read(dialog, ID_LEARN_PROMPT),
              "Enter the eventstring that you will send over the Internet");
    EXPECT_EQ(windows.read(dialog, ID_LEARN_TEXT), "Door");
    EXPECT_EQ(windows.read(dialog, ID_OK_BUTTON), "Ok");
    windows.user(dialog,
                 [](fake_window& window) { window.controls.texts[ID_LEARN_TEXT] = "Bell"; });
    windows.press(dialog, ID_OK_BUTTON);
    host.join();
    EXPECT_EQ(answer.load(), 1);
    EXPECT_EQ(std::string(out, sizeof out), std::string("Bell\0\0xx", 8));  // zero-filled to 6

    // Cut at the size, unterminated.
    host = std::thread([&] { answer = qvl_learn_event("Doorbell", out, 3); });
    dialog = windows.wait_shown(dialog_kind::learn);
    ASSERT_NE(dialog, nullptr);
    windows.press(dialog, ID_OK_BUTTON);
    host.join();
    EXPECT_EQ(std::string(out, sizeof out), std::string("Dool\0\0xx", 8));

    // Cancel and a close: 0, the buffer untouched.
    for (bool by_close : {false, true}) {
        std::memset(out, 'x', sizeof out);
        host = std::thread([&] { answer = qvl_learn_event("Door", out, 6); });
        dialog = windows.wait_shown(dialog_kind::learn);
        ASSERT_NE(dialog, nullptr);
        windows.user(dialog, [](fake_window& w) { w.controls.texts[ID_LEARN_TEXT] = "typed"; });
        if (by_close)
            learn_dialog_close();
        else
            windows.press(dialog, ID_CANCEL_BUTTON);
        host.join();
        EXPECT_EQ(answer.load(), 0);
        EXPECT_EQ(std::string(out, sizeof out), std::string(8, 'x'));
    }
}

TEST_F(DialogThreadsTest, learn_dialog_results_are_cut_and_empty_is_confirmed) {
    learn_call first("T", "P", "cur");
    fake_window* dialog = windows.wait_shown(dialog_kind::learn);
    ASSERT_NE(dialog, nullptr);
    windows.user(dialog,
                 [](fake_window& w) { w.controls.texts[ID_LEARN_TEXT] = std::string(250, 'e'); });
    windows.press(dialog, ID_OK_BUTTON);
    EXPECT_EQ(first.wait(), std::string(199, 'e'));

    learn_call second("T", "P", "cur");
    dialog = windows.wait_shown(dialog_kind::learn);
    ASSERT_NE(dialog, nullptr);
    windows.user(dialog, [](fake_window& w) { w.controls.texts[ID_LEARN_TEXT] = ""; });
    windows.press(dialog, ID_OK_BUTTON);
    EXPECT_EQ(second.wait(), "");
}

TEST_F(DialogThreadsTest, a_second_request_retargets_the_open_dialog_and_one_caller_gets_it) {
    learn_call first("First title", "First prompt", "first");
    fake_window* dialog = windows.wait_shown(dialog_kind::learn);
    ASSERT_NE(dialog, nullptr);
    // Several more requests from other threads while it is open: all re-target the one
    // dialog, replacing the texts it shows while it shows them.
    std::vector<std::unique_ptr<learn_call>> more;
    for (int i = 0; i < 4; ++i) {
        std::string n = std::to_string(i);
        more.push_back(std::make_unique<learn_call>(("Title " + n).c_str(), ("Prompt " + n).c_str(),
                                                    ("text " + n).c_str()));
    }
    // Each has shown its texts before it waits (so none comes after the dialog has ended and
    // opens another); the last title and prompt stored are shown together. (The current text
    // is consumed by whichever showing comes first after it was stored.)
    ASSERT_TRUE(eventually([&] { return windows.refreshes() == 4; }));
    std::string caption = windows.read(dialog, 0);
    std::string n = caption.substr(caption.size() - 1);
    EXPECT_TRUE(caption == "Title " + n && n >= "0" && n <= "3") << caption;
    EXPECT_EQ(windows.read(dialog, ID_LEARN_PROMPT), "Prompt " + n);
    EXPECT_EQ(windows.runs(), 1);
    EXPECT_EQ(windows.shown_count(), 1);
    windows.user(dialog, [](fake_window& w) { w.controls.texts[ID_LEARN_TEXT] = "chosen"; });
    windows.press(dialog, ID_OK_BUTTON);
    // The result goes to the caller that opened the dialog.
    EXPECT_EQ(first.wait(), "chosen");
    for (auto& call : more)
        EXPECT_EQ(call->wait(), "<none>");
}

// A request that comes while a dialog is ending (OK pressed, its window not yet destroyed)
// waits for that run and then gets a dialog of its own, with its own texts, while the first
// learn caller gets what its user confirmed; unless a close comes meanwhile, which ends the
// waiting request: no dialog appears after the close.
TEST_F(DialogThreadsTest, a_request_while_the_dialog_ends_opens_the_next_one_unless_closed) {
    for (dialog_kind kind : {dialog_kind::settings, dialog_kind::learn}) {
        for (bool closed : {false, true}) {
            bool learn = kind == dialog_kind::learn;
            SCOPED_TRACE(std::string(learn ? "learn" : "settings") + (closed ? ", closed" : ""));
            dialog_slot& slot = learn ? learn_dialog_slot() : settings_dialog_slot();
            auto request = [learn](std::string name) -> std::unique_ptr<host_call> {
                if (learn)
                    return std::make_unique<learn_call>(name.c_str(), (name + " prompt").c_str(),
                                                        ("text of " + name).c_str());
                return std::make_unique<host_call>([] { return std::to_string(qvl_config()); });
            };
            int runs = windows.runs();
            gate ending;
            windows.before_destroy = [&](dialog_kind) { ending.pass(); };
            std::unique_ptr<host_call> first = request("First");
            fake_window* dialog = windows.wait_shown(kind);
            ASSERT_NE(dialog, nullptr);
            windows.user(dialog, [](fake_window& w) { w.controls.texts[ID_LEARN_TEXT] = "ok"; });
            windows.press(dialog, ID_OK_BUTTON);
            ASSERT_TRUE(eventually([&] { return ending.waiting.load() == 1; }));
            std::unique_ptr<host_call> second = request("Second");
            // Not asserted: the ending dialog is let go whatever happened.
            EXPECT_TRUE(eventually([&] { return slot.requests_waiting_for_end() == 1; }));
            std::thread closer;
            if (closed) {
                int closes = windows.closes();
                closer = std::thread(learn ? learn_dialog_close : settings_dialog_close);
                EXPECT_TRUE(eventually([&] { return windows.closes() > closes; }));
            }
            ending.release();
            EXPECT_TRUE(windows.wait_gone(dialog));
            EXPECT_EQ(first->wait(), learn ? "ok" : "1");
            if (closed) {
                closer.join();
                EXPECT_TRUE(eventually([&] { return second->done.load(); }));
                // A dialog the request opened all the same ends, and is counted, by then.
                (learn ? learn_dialog_close : settings_dialog_close)();
                EXPECT_EQ(windows.runs(), runs + 1);
            } else {
                fake_window* next = windows.wait_shown(kind);
                ASSERT_NE(next, nullptr);
                EXPECT_NE(next, dialog);
                if (learn) {
                    EXPECT_EQ(windows.read(next, 0), "Second");
                    EXPECT_EQ(windows.read(next, ID_LEARN_PROMPT), "Second prompt");
                    EXPECT_EQ(windows.read(next, ID_LEARN_TEXT), "text of Second");
                }
                windows.press(next, ID_CANCEL_BUTTON);
                EXPECT_TRUE(windows.wait_gone(next));
            }
            EXPECT_EQ(second->wait(), learn ? "<none>" : "1");
            // Both runs have ended, or the last one is past its window: no thread is in it.
            windows.before_destroy = nullptr;
        }
    }
}

TEST_F(DialogThreadsTest, a_failed_dialog_thread_gives_the_caller_its_own_text) {
    platform::thread_start_fail_next(1);
    char out[16] = {};
    EXPECT_EQ(qvl_learn_event("Current", out, sizeof out), 1);
    EXPECT_STREQ(out, "Current");
    EXPECT_EQ(g_boxes.load(), 1);
    platform::thread_start_fail_next(1);
    EXPECT_EQ(qvl_config(), 1);  // the box's answer
    EXPECT_EQ(g_boxes.load(), 2);
    EXPECT_EQ(windows.runs(), 0);
}

TEST_F(DialogThreadsTest, without_a_window_system_dialogs_end_unshown) {
    // No window could be created: the learn caller gets nothing, its buffer untouched.
    dialog_window_install_stand_in(nullptr);
    char out[8] = "keep";
    EXPECT_EQ(qvl_learn_event("Current", out, sizeof out), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(qvl_config(), 1);
    qvl_info(4, 0, 0);
    dialog_window_install_stand_in(&windows);
}

TEST_F(DialogThreadsTest, the_connection_list_follows_the_table_while_the_dialog_is_edited) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    ASSERT_EQ(conn_table_add(*table, 1, 1, "9.8.7.6"), 1);  // before the dialog: not shown
    ASSERT_EQ(qvl_config(), 1);
    fake_window* dialog = windows.wait_shown(dialog_kind::settings);
    ASSERT_NE(dialog, nullptr);
    auto list = [&] {
        std::vector<std::string> lines;
        windows.user(dialog,
                     [&](fake_window& w) { lines = w.controls.list_texts(ID_CONNECTION_LIST); });
        return lines;
    };
    EXPECT_TRUE(list().empty());
    ASSERT_EQ(conn_table_add(*table, 2, 2, "10.0.0.5"), 1);
    EXPECT_EQ(list(), (std::vector<std::string>{"10.0.0.5", "9.8.7.6"}));

    // Connections come and go on many threads while the user edits and applies; the dialog
    // thread never waits for the table's lock, so nothing deadlocks.
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                platform::socket_handle socket = 100 + t * 100 + i;
                std::string address = "127.0." + std::to_string(t) + "." + std::to_string(i);
                conn_table_add(*table, socket, socket, address.c_str());
                if (i % 2 == 0)
                    conn_table_remove(*table, socket);
            }
        });
    }
    std::thread user([&] {
        for (int i = 0; !stop && i < 200; ++i) {
            windows.user(dialog, [i](fake_window& w) {
                w.controls.set_text(ID_RULE_TEXT, ("10.1.1." + std::to_string(i % 250)).c_str());
                settings_dialog_add_rule(w.controls);
                settings_dialog_apply(w.controls);
            });
        }
    });
    for (auto& client : clients)
        client.join();
    stop = true;
    user.join();
    ASSERT_FALSE(dialog->gone);
    EXPECT_EQ(conn_table_count(*table), 2u + 4 * 25);
    // The lines handed over are exactly the open connections: the two first ones and each
    // client's odd-numbered ones.
    std::vector<std::string> expected = {"10.0.0.5", "9.8.7.6"};
    for (int t = 0; t < 4; ++t) {
        for (int i = 1; i < 50; i += 2)
            expected.push_back("127.0." + std::to_string(t) + "." + std::to_string(i));
    }
    std::vector<std::string> lines = list();
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
    settings_dialog_close();
    conn_table_teardown(*table);
}

}  // namespace
#endif
