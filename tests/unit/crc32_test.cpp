#include <gtest/gtest.h>

#include <random>

#include "inventory/crc32.h"
#include "unit/temp_dir.h"

namespace ulmar {
namespace {

// The CRC computed bit by bit, straight from the polynomial.
uint32_t BitwiseCrc(const unsigned char* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

TEST(Crc32, TableEntriesAndCheckValue) {
  EXPECT_EQ(CRC32Table[0], 0u);
  EXPECT_EQ(CRC32Table[1], 0x77073096u);
  EXPECT_EQ(CRC32Table[128], 0xEDB88320u);
  EXPECT_EQ(CRC32Table[255], 0x2D02EF8Du);
  uint32_t crc = 0xFFFFFFFFu;
  UpdateCRC32("123456789", 9, crc);
  EXPECT_EQ(crc ^ 0xFFFFFFFFu, 0xCBF43926u);
}

TEST(Crc32, FastRoutineMatchesTheBitwiseModelOnEveryLengthAndAlignment) {
  std::mt19937 random(12345);
  std::vector<unsigned char> data(4096 + 64);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= 600; ++length) {
      ASSERT_EQ(UpdateCRC32Fast(0xFFFFFFFFu, data.data() + offset, length) ^ 0xFFFFFFFFu,
                BitwiseCrc(data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
  // Large, and continued across calls of odd sizes.
  uint32_t whole = UpdateCRC32Fast(0xFFFFFFFFu, data.data(), 4096);
  uint32_t pieces = UpdateCRC32Fast(0xFFFFFFFFu, data.data(), 1000);
  pieces = UpdateCRC32Fast(pieces, data.data() + 1000, 77);
  pieces = UpdateCRC32Fast(pieces, data.data() + 1077, 4096 - 1077);
  EXPECT_EQ(whole, pieces);
  EXPECT_EQ(whole ^ 0xFFFFFFFFu, BitwiseCrc(data.data(), 4096));
}

TEST(Crc32, FilesEmptyCheckValueAndLargerThanOneBlock) {
  testing::TempDir dir;
  uint32_t crc = 1;
  testing::WriteAll(dir.File("empty"), "");
  ASSERT_TRUE(FileCRC32(dir.File("empty"), &crc));
  EXPECT_EQ(crc, 0u);
  testing::WriteAll(dir.File("digits"), "123456789");
  ASSERT_TRUE(FileCRC32(dir.File("digits"), &crc));
  EXPECT_EQ(crc, 0xCBF43926u);
  std::string big(kCrcReadBlock * 2 + 12345, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random());
  testing::WriteAll(dir.File("big"), big);
  std::vector<char> buffer;
  ASSERT_TRUE(FileCRC32(dir.File("big"), &crc, &buffer));
  EXPECT_EQ(crc, BitwiseCrc(reinterpret_cast<const unsigned char*>(big.data()), big.size()));
  EXPECT_FALSE(FileCRC32(dir.File("missing"), &crc));
  EXPECT_FALSE(FileCRC32(dir.Path().string(), &crc));  // a directory
}

}  // namespace
}  // namespace ulmar
