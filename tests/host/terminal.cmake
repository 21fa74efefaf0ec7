# The main job at a terminal, as a person uses it: scripts/run-host.sh (what scripts/run.sh
# runs once it has built) in a tmux pane whose screen is already full, typed at with send-keys
# and read back with capture-pane. The host's lines must scroll like any program's, with
# nothing painted over older lines; an unknown command must show the control key typed;
# Ctrl+D, then in a second run Ctrl+C, must stop and close the plug-in and give the shell
# back, whose own output goes on below. The second run takes its port and password as
# options, over what the registry holds.
#   cmake -DHOST=... -DPLUGIN=... -DCLIENT=... -DEMULATOR=... -P terminal.cmake

cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../support/host_session.cmake)
get_filename_component(root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
get_filename_component(build "${PLUGIN}" DIRECTORY)
set(PASSWORD "ChgThisPw")
string(RANDOM LENGTH 8 socket)
set(socket "sendrel-terminal-${socket}")

find_program(TMUX tmux REQUIRED)
function(tmux)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TERM=xterm ${TMUX} -L ${socket} -f /dev/null
                          ${ARGN}
                  OUTPUT_VARIABLE output RESULT_VARIABLE result TIMEOUT 60)
  set(tmux_output "${output}" PARENT_SCOPE)
  set(tmux_result "${result}" PARENT_SCOPE)
endfunction()
# Types TEXT and Enter.
function(type_line text)
  tmux(send-keys -t run -l "${text}")
  tmux(send-keys -t run Enter)
endfunction()
# The screen as the person sees it, without the empty lines below the cursor.
function(screen out)
  tmux(capture-pane -p -t run)
  string(REGEX REPLACE "\n+$" "" text "${tmux_output}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(fail why)
  screen(text)
  tmux(kill-server)
  message(FATAL_ERROR "${why}\nThe screen:\n${text}")
endfunction()
# Each TEXT must be on the screen after the one before it.
function(expect_on_screen what)
  screen(text)
  set(rest "${text}")
  foreach(expected IN LISTS ARGN)
    string(FIND "${rest}" "${expected}" found)
    if(found EQUAL -1)
      fail("${what}: the screen does not show, in this order:\n  ${expected}")
    endif()
    string(LENGTH "${expected}" length)
    math(EXPR after "${found} + ${length}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
  endforeach()
endfunction()
# Waits until the screen matches REGEX, for at most TIMEOUT seconds; fails with WHY otherwise.
function(wait_for_screen regex timeout why)
  string(TIMESTAMP start "%s")
  while(TRUE)
    screen(text)
    if(text MATCHES "${regex}")
      return()
    endif()
    string(TIMESTAMP now "%s")
    math(EXPR elapsed "${now} - ${start}")
    if(elapsed GREATER timeout)
      fail("${why}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.2)
  endwhile()
endfunction()

# No semicolons in typed lines: CMake would split them into list items.
set(run_end "&& echo \"run ended: 0\" || echo \"run ended: $?\"")
set(run_line "bash ${root}/scripts/run-host.sh ${build} ${run_end}")
tmux(new-session -d -s run -x 100 -y 24 "env TERM=screen PS1='$ ' bash --norc --noprofile")
if(NOT tmux_result EQUAL 0)
  message(FATAL_ERROR "tmux did not start (${tmux_result})")
endif()
# A screen full of earlier lines, as a person's terminal is: the host starts at its bottom.
type_line("seq 1 30")

# The host on a free port: up to five random ones while the one chosen is taken.
foreach(attempt RANGE 1 5)
  random_port(PORT)
  configure_registry(${PORT} ${PASSWORD})
  type_line("clear && seq 1 30 && ${run_line}")
  wait_for_screen("listening on port ${PORT}(\n|$)|run ended: [0-9]+" 300
                  "the host did not start")
  screen(text)
  if(text MATCHES "listening on port ${PORT}(\n|$)")
    break()
  endif()
  if(NOT text MATCHES "qvl_start failed" OR attempt EQUAL 5)
    fail("the plug-in did not start on port ${PORT}")
  endif()
endforeach()

# Events enough to scroll the screen by more than its height while the host runs; each client
# waits for the server to close, so by then the host has printed its events.
foreach(n RANGE 1 7)
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} --payload kitchen "Event ${n}"
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
  if(NOT result EQUAL 0)
    fail("the client's event ${n} failed (${result})")
  endif()
endforeach()
wait_for_screen("event \"Event 7\"[^\n]*\nevent \"Disconnect\"" 60 "event 7 did not show")
type_line("restart")
wait_for_screen("restarted" 60 "the restart was not answered")

# Every line on the screen whole, in the order written: a console that repaints where it
# believes lines are writes the command over an older line ("restartDisconnect\" ...").
screen(text)
string(REGEX MATCHALL "[^\n]+" lines "${text}")
set(event_line "event \"[^\"]*\" payloads \\[[^]]*\\]")
set(restart_lines "restart|restarted, listening on port ${PORT} \\(the stop took [0-9]+ ms\\)")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^(${event_line}|${restart_lines})$")
    fail("a line on the screen is not one the host wrote: '${line}'")
  endif()
endforeach()
expect_on_screen("after the restart" "event \"Event 7\" payloads [\"127.0.0.1\", \"kitchen\"]\n"
                "event \"Disconnect\" payloads [\"127.0.0.1\"]\nrestart\n"
                "restarted, listening on port ${PORT} (")

# A control key typed by mistake shows in the answer; Ctrl+D then ends the input.
tmux(send-keys -t run -l "ab")
tmux(send-keys -t run C-a Enter)
wait_for_screen("unknown command \"ab\\\\x01\"" 60 "the unknown command was not named visibly")
tmux(send-keys -t run C-d)
wait_for_screen("run ended: [0-9]+" 120 "Ctrl+D did not stop the host")
type_line("echo after the host")
wait_for_screen("\\$ echo after the host\nafter the host\n\\$ *$" 60
                "the shell's own output did not follow")
expect_on_screen("after Ctrl+D" "stopping\nstopped\nrun ended: 0\n")

# The second run, on another port in the registry, listens where --port says and admits the
# --password, then stops on Ctrl+C as cleanly.
set(stored_port ${PORT})
while(stored_port EQUAL PORT)
  random_port(stored_port)
endwhile()
configure_registry(${stored_port} ${PASSWORD})
set(new_password "Terminal-pw-7")
type_line("clear && bash ${root}/scripts/run-host.sh ${build} --port ${PORT} --password ${new_password} ${run_end}")
wait_for_screen("listening on port ${PORT}\nthe password is not the default" 300
                "the host did not start again on the port and password given")
execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} --password ${new_password}
                "New password" RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET TIMEOUT 120)
if(NOT result EQUAL 0)
  fail("the client did not log in with the password given to run-host.sh (${result})")
endif()
wait_for_screen("event \"New password\"" 60 "the event sent with the new password did not show")
tmux(send-keys -t run C-c)
wait_for_screen("run ended: [0-9]+" 120 "Ctrl+C did not stop the host")
expect_on_screen("after Ctrl+C" "listening on port ${PORT}\n" "stopping\n"
                "stopped\nrun ended: 0\n")
tmux(kill-server)
