// A command-line client whose output goes to a pipe that its reader has closed must go on with
// its conversation: what it prints is only a report. Natively a write to such a pipe would end
// the process (SIGPIPE) before the server has taken the end of its lines; after
// closed_output_ignore, the write fails quietly instead, as it does on Windows.
// Call once, from the main thread, before the first output.
#pragma once

namespace platform {

void closed_output_ignore();

}  // namespace platform
