// Lines per second through one line assembler, for short and medium lines received in
// 1024-byte chunks as the client thread receives them, and the cost of an unfinished line
// growing up to the cap.
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

// A client that never sends a line feed: every chunk lands in the pending text until the
// cap drops it. Growth must stay linear, so the rate is close to that of plain copying.
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
    std::printf("no line feed, 1024-byte chunks:   %10.1f MB/s\n", total / elapsed / 1e6);
}

}  // namespace

int main() {
    bench_lines(16);
    bench_lines(64);
    bench_unfinished_line();
    return 0;
}
