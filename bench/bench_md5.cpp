// MD5 throughput for long inputs, and login digests (digest_hex of a short text) per second.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "server/md5.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void bench_stream(size_t update_size) {
    const size_t total = 512u * 1024 * 1024;
    std::vector<uint8_t> data(update_size);
    for (size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<uint8_t>(k * 31 + 7);
    md5_context context;
    md5_init(&context);
    clock_type::time_point start = clock_type::now();
    for (size_t done = 0; done < total; done += update_size) {
        md5_update(&context, data.data(), data.size());
    }
    uint8_t digest[16];
    md5_final(digest, &context);
    double elapsed = seconds_since(start);
    std::printf("md5, %6zu-byte updates: %8.1f MB/s  (digest starts %02x%02x)\n", update_size,
                total / elapsed / 1e6, digest[0], digest[1]);
}

void bench_login_digests() {
    const int count = 2000000;
    char text[] = "0000:ChgThisPw";
    char out[DIGEST_HEX_SIZE];
    unsigned checksum = 0;
    clock_type::time_point start = clock_type::now();
    for (int k = 0; k < count; ++k) {
        std::snprintf(text, 5, "%04x", k & 0xFFFF);
        text[4] = ':';
        digest_hex(text, out);
        checksum += static_cast<unsigned char>(out[k & 31]);
    }
    double elapsed = seconds_since(start);
    std::printf("login digests (\"%%04x:password\"): %10.0f per second  (checksum %u)\n",
                count / elapsed, checksum);
}

}  // namespace

int main() {
    bench_stream(64);
    bench_stream(1024);
    bench_stream(65536);
    bench_login_digests();
    return 0;
}
