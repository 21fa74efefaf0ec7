// Lines per second through one line assembler, for short and medium lines received in
// 1024-byte chunks as the client thread receives them; long lines that grow over many chunks;
// and a stream without any line feed.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "server/line_assembler.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A stream of lines of line_length bytes (the line feed included), cut into chunks.
std::vector<std::string> make_chunks(size_t line_length, size_t total_bytes, size_t chunk) {
    std::string stream;
    for (size_t k = 0; stream.size() < total_bytes; ++k) {
        std::string line = "event " + std::to_string(k) + " ";
        line.resize(line_length - 1, 'x');
        stream += line + '\n';
    }
    std::vector<std::string> chunks;
    for (size_t at = 0; at < stream.size(); at += chunk)
        chunks.push_back(stream.substr(at, chunk));
    return chunks;
}

void bench_lines(size_t line_length) {
    const size_t total = 64u * 1024 * 1024;
    std::vector<std::string> chunks = make_chunks(line_length, total, 1024);
    line_assembler* assembler = line_assembler_create();
    size_t lines = 0, bytes = 0;
    clock_type::time_point start = clock_type::now();
    for (int round = 0; round < 2; ++round) {
        for (const std::string& chunk : chunks) {
            while (const char* line = line_assembler_next(assembler, chunk.c_str())) {
                ++lines;
                bytes += line[0] == 'e';
            }
        }
    }
    double elapsed = seconds_since(start);
    line_assembler_destroy(assembler);
    std::printf("%3zu-byte lines, 1024-byte chunks: %10.0f lines/s  %7.1f MB/s  (%zu lines)\n",
                line_length, lines / elapsed, 2.0 * total / elapsed / 1e6, lines);
    if (bytes != lines)
        std::printf("  unexpected line contents\n");
}

// Lines of 60 KiB, just under the cap, received in 1024-byte chunks: each line grows over
// sixty chunks before it comes out. Growth must stay linear, so the rate stays close to that
// of plain copying.
void bench_long_lines() {
    const size_t line_length = 60 * 1024;
    std::vector<std::string> chunks = make_chunks(line_length, 256u * 1024 * 1024, 1024);
    line_assembler* assembler = line_assembler_create();
    size_t lines = 0;
    clock_type::time_point start = clock_type::now();
    for (const std::string& chunk : chunks) {
        while (line_assembler_next(assembler, chunk.c_str()))
            ++lines;
    }
    double elapsed = seconds_since(start);
    line_assembler_destroy(assembler);
    std::printf("60 KiB lines, 1024-byte chunks:   %10.0f lines/s  %7.1f MB/s  (%zu lines)\n",
                lines / elapsed, lines * double(line_length) / elapsed / 1e6, lines);
}

// A client that never sends a line feed: its text grows to the cap, is dropped, and every
// later chunk is skipped until a line feed comes.
void bench_unfinished_line() {
    const size_t total = 256u * 1024 * 1024;
    std::string chunk(1024, 'u');
    line_assembler* assembler = line_assembler_create();
    clock_type::time_point start = clock_type::now();
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        line_assembler_next(assembler, chunk.c_str());
    }
    double elapsed = seconds_since(start);
    line_assembler_destroy(assembler);
    std::printf("no line feed (dropped), 1024-byte chunks: %8.1f MB/s\n", total / elapsed / 1e6);
}

}  // namespace

int main() {
    bench_lines(16);
    bench_lines(64);
    bench_long_lines();
    bench_unfinished_line();
    return 0;
}
