// The Python client as a user runs it, against the real server on loopback: its exit codes
// tell every outcome apart, and its events arrive with their payloads.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "access/access_list.h"
#include "module/settings.h"
#include "tests/support/server_fixture.h"

namespace {

struct script_result {
    int code = -1;
    std::string output;
};

// Runs the script with the arguments (already quoted for the shell) against the port; a script
// that has not ended after 20 s is stopped (exit code 124), so a client that hangs fails the test.
script_result run_script(uint16_t port, const std::string& arguments, const std::string& name) {
    std::string output_file = name + ".out";
    std::string command = std::string("timeout 20 '") + SENDREL_PYTHON + "' '" +
                          SENDREL_SEND_SCRIPT + "' --port " + std::to_string(port) + " " +
                          arguments + " >" + output_file + " 2>&1 </dev/null";
    int status = std::system(command.c_str());
    std::ostringstream output;
    output << std::ifstream(output_file).rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output.str()};
}

struct script_case {
    const char* name;
    const char* rule;  // the access list's only rule, or nullptr for every address allowed
    const char* password;
    const char* arguments;
    int code;
    const char* said;  // a text of the script's output
    std::vector<std::string> events;
};

}  // namespace

class sendrel_send_test : public server_test {};

TEST_F(sendrel_send_test, exit_codes_tell_sent_blocked_and_wrong_password_apart_by_source) {
    const script_case cases[] = {
        {"sent",
         nullptr,
         TEST_PASSWORD,
         "-p kitchen -p '21.5 C' Temperature -p off Lights",
         0,
         "sent event \"Lights\" with 1 payload",
         {"Incoming connection|127.0.0.1", "Accepted connection|127.0.0.1",
          "Temperature|127.0.0.1|kitchen|21.5 C", "Lights|127.0.0.1|off", "Disconnect|127.0.0.1"}},
        {"wrong_password",
         nullptr,
         "wrong",
         "Lost",
         4,
         "wrong password",
         {"Incoming connection|127.0.0.1", "Incorrect Password|127.0.0.1", "Disconnect|127.0.0.1"}},
        // A list that admits only 127.0.0.5: the client's own address is refused, and the
        // same client connecting from 127.0.0.5 gets in.
        {"blocked",
         "127.0.0.5",
         TEST_PASSWORD,
         "Lost",
         3,
         "not admitted",
         {"Blocked connection|127.0.0.1"}},
        {"source",
         "127.0.0.5",
         TEST_PASSWORD,
         "--source 127.0.0.5 Admitted",
         0,
         "sent event \"Admitted\"",
         {"Incoming connection|127.0.0.5", "Accepted connection|127.0.0.5", "Admitted|127.0.0.5",
          "Disconnect|127.0.0.5"}},
    };
    for (const script_case& c : cases) {
        SCOPED_TRACE(c.name);
        access_list_clear();
        if (c.rule)
            access_list_append(c.rule);
        settings.allow_all = c.rule ? 0 : 1;
        recording_host_clear();
        script_result result = run_script(
            port(), std::string("--password '") + c.password + "' " + c.arguments, c.name);
        EXPECT_EQ(result.code, c.code) << result.output;
        EXPECT_NE(result.output.find(c.said), std::string::npos) << result.output;
        EXPECT_EQ(wait_event_lines(c.events.size()), c.events);
    }
    access_list_clear();
}

TEST_F(sendrel_send_test, the_close_notice_ends_a_staying_client_with_exit_5) {
    script_result result;
    std::thread client([&] {
        result =
            run_script(port(), std::string("--password ") + TEST_PASSWORD + " --stay Held", "stay");
    });
    bool held = poll_until(
        [&] {
            for (const std::string& line : event_lines()) {
                if (line == "Held|127.0.0.1")
                    return true;
            }
            return false;
        },
        TEST_READ_TIMEOUT_MS);
    stop_server();
    client.join();
    ASSERT_TRUE(held) << result.output;
    EXPECT_EQ(result.code, 5) << result.output;
    EXPECT_NE(result.output.find("close notice"), std::string::npos) << result.output;
}
