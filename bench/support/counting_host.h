// The host for benchmarks of the real server: its trigger_event counts the event lines that
// the load clients send (their texts begin with BENCH_EVENT_MARK) in the arrival counter and
// ignores the server's own life-cycle events ("Incoming connection", "Disconnect", ...), whose
// texts begin with an upper-case letter. It keeps nothing else, so it costs the server as
// little as a host can.
//
// counting_host_install() stores the host record (host_record_store); 1 when stored. Call
// it on the benchmark's main thread before the server starts.
#pragma once

constexpr char BENCH_EVENT_MARK = 'e';

int counting_host_install();
