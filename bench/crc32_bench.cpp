// CRC-32 throughput: our table routine, our dispatching routine (carry-less
// multiply fold where the processor has it), zlib's crc32() and a plain
// memory-read loop, on one large in-memory buffer in the same run.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "inventory/crc32.h"

namespace {

template <typename F>
double GigabytesPerSecond(size_t bytes, int rounds, F f) {
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    f();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = bytes / seconds / 1e9;
    if (rate > best) best = rate;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  size_t size = megabytes << 20;
  std::vector<unsigned char> data(size);
  uint32_t x = 12345;
  for (auto& b : data) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);

  volatile uint32_t sink = 0;
  double table = GigabytesPerSecond(size, 2, [&] {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t done = 0; done < size; done += 1u << 30) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(size - done, 1u << 30));
      ulmar::UpdateCRC32(data.data() + done, n, crc);
    }
    sink = crc;
  });
  uint32_t ours_value = 0;
  double ours = GigabytesPerSecond(size, 5, [&] {
    ours_value = ulmar::UpdateCRC32Fast(0xFFFFFFFFu, data.data(), size) ^ 0xFFFFFFFFu;
  });
  uint32_t zlib_value = 0;
  double zlib = GigabytesPerSecond(size, 5, [&] {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (size_t done = 0; done < size; done += 1u << 30) {
      uInt n = static_cast<uInt>(std::min<size_t>(size - done, 1u << 30));
      crc = crc32(crc, data.data() + done, n);
    }
    zlib_value = static_cast<uint32_t>(crc);
  });
  double memory = GigabytesPerSecond(size, 5, [&] {
    const uint64_t* p = reinterpret_cast<const uint64_t*>(data.data());
    uint64_t sum = 0;
    for (size_t i = 0; i < size / 8; ++i) sum += p[i];
    sink = static_cast<uint32_t>(sum);
  });
  (void)sink;
  std::printf("buffer                 %zu MiB\n", megabytes);
  std::printf("carry-less multiply    %s\n", ulmar::HasCarrylessMultiply() ? "yes" : "no (table fallback)");
  std::printf("table routine          %6.2f GB/s\n", table);
  std::printf("ours (dispatching)     %6.2f GB/s\n", ours);
  std::printf("zlib crc32()           %6.2f GB/s\n", zlib);
  std::printf("memory read loop       %6.2f GB/s\n", memory);
  std::printf("ours / zlib            %6.2f x\n", ours / zlib);
  if (ours_value != zlib_value) {
    std::printf("MISMATCH: ours %08x zlib %08x\n", ours_value, zlib_value);
    return 1;
  }
  return 0;
}
