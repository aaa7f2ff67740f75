#include "inventory/crc32.h"

#include <array>
#include <memory>

#include "platform/file.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define ULMAR_CRC_CLMUL 1
#endif

namespace ulmar {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x77073096u && kTable[128] == 0xEDB88320u && kTable[255] == 0x2D02EF8Du);

#ifdef ULMAR_CRC_CLMUL
// Folds 16-byte blocks with carry-less multiplication (four lanes of 128
// bits at a time, then one), and reduces the last 128 bits to 32 with a
// Barrett step. Constants are x^k mod P for the reflected polynomial.
// length is a multiple of 16 and at least 64; crc is the running register.
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldClmul(uint32_t crc, const unsigned char* p, size_t length) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
  const __m128i k5k0 = _mm_set_epi64x(0x0000000000LL, 0x0163cd6124LL);
  const __m128i poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);

  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  p += 64;
  length -= 64;

  while (length >= 64) {
    __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
    __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
    __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
    __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x00)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x10)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x20)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 0x30)));
    p += 64;
    length -= 64;
  }

  // Four lanes into one.
  for (__m128i next : {x2, x3, x4}) {
    __m128i lo = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, next), lo);
  }
  while (length >= 16) {
    __m128i lo = _mm_clmulepi64_si128(x1, k3k4, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k3k4, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), lo);
    p += 16;
    length -= 16;
  }

  // 128 bits to 64.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5k0, 0x00);
  x1 = _mm_xor_si128(x1, t);

  // Barrett reduction to 32 bits.
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}
#endif

}  // namespace

const uint32_t CRC32Table[256] = {
#define ULMAR_ROW(i) kTable[i], kTable[i + 1], kTable[i + 2], kTable[i + 3], kTable[i + 4], kTable[i + 5], kTable[i + 6], kTable[i + 7]
    ULMAR_ROW(0),   ULMAR_ROW(8),   ULMAR_ROW(16),  ULMAR_ROW(24),  ULMAR_ROW(32),  ULMAR_ROW(40),  ULMAR_ROW(48),
    ULMAR_ROW(56),  ULMAR_ROW(64),  ULMAR_ROW(72),  ULMAR_ROW(80),  ULMAR_ROW(88),  ULMAR_ROW(96),  ULMAR_ROW(104),
    ULMAR_ROW(112), ULMAR_ROW(120), ULMAR_ROW(128), ULMAR_ROW(136), ULMAR_ROW(144), ULMAR_ROW(152), ULMAR_ROW(160),
    ULMAR_ROW(168), ULMAR_ROW(176), ULMAR_ROW(184), ULMAR_ROW(192), ULMAR_ROW(200), ULMAR_ROW(208), ULMAR_ROW(216),
    ULMAR_ROW(224), ULMAR_ROW(232), ULMAR_ROW(240), ULMAR_ROW(248),
#undef ULMAR_ROW
};

void UpdateCRC32(const void* data, uint32_t length, uint32_t& crc) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t c = crc;
  for (uint32_t i = 0; i < length; ++i) c = CRC32Table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  crc = c;
}

bool HasCarrylessMultiply() {
#ifdef ULMAR_CRC_CLMUL
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
#else
  return false;
#endif
}

uint32_t UpdateCRC32Fast(uint32_t crc, const void* data, size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
#ifdef ULMAR_CRC_CLMUL
  if (length >= 64 && HasCarrylessMultiply()) {
    size_t folded = length & ~static_cast<size_t>(15);
    crc = FoldClmul(crc, p, folded);
    p += folded;
    length -= folded;
  }
#endif
  while (length > 0) {
    uint32_t chunk = length > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(length);
    UpdateCRC32(p, chunk, crc);
    p += chunk;
    length -= chunk;
  }
  return crc;
}

bool FileCRC32(const std::string& path, uint32_t* crc, std::vector<char>* buffer, Heartbeat* heartbeat) {
  try {
    std::vector<char> own;
    std::vector<char>& block = buffer ? *buffer : own;
    if (block.size() < kCrcReadBlock) block.resize(kCrcReadBlock);
    File file = File::OpenForRead(path);
    uint32_t c = 0xFFFFFFFFu;
    for (;;) {
      size_t n = file.Read(block.data(), block.size());
      if (n == 0) break;
      c = UpdateCRC32Fast(c, block.data(), n);
      Tick(heartbeat);
    }
    file.Close();
    *crc = c ^ 0xFFFFFFFFu;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace ulmar
