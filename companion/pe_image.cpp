#include "pe_image.h"

#include <cstdint>

#include "platform/file.h"

namespace ulmar {
namespace {

// Layouts of the Windows executable format (PE/COFF, as Microsoft documents it): the DOS header's e_lfanew at 0x3C;
// after the signature, the 20-byte file header (Machine, NumberOfSections
// at +2, SizeOfOptionalHeader at +16); the optional header (Magic 0x10B for
// PE32, SizeOfHeaders at +60, NumberOfRvaAndSizes at +92, the data
// directories from +96, eight bytes each, the fifth the certificate table
// given by file offset); 40-byte section headers (SizeOfRawData at +16,
// PointerToRawData at +20); the COFF symbol table (PointerToSymbolTable and
// NumberOfSymbols at +8 and +12 of the file header, 18-byte symbols, then
// the string table, its size in its first four bytes). Whatever of these a
// file has must lie within it: a copy cut anywhere is caught.
constexpr size_t kSymbolSize = 18;
constexpr uint32_t kCertificateDirectory = 4;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;

uint32_t Read32(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
uint16_t Read16(std::string_view b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

}  // namespace

std::optional<std::string> PeImageFault(std::string_view image) {
  const uint64_t size = image.size();
  if (size < 0x40 || image.substr(0, 2) != "MZ") return "нет заголовка MZ";
  const uint64_t pe = Read32(image, 0x3C);
  if (pe + 4 + kFileHeaderSize > size || image.substr(pe, 4) != std::string_view("PE\0\0", 4)) {
    return "нет подписи PE";
  }
  const uint64_t file_header = pe + 4;
  if (Read16(image, file_header) != kMachineI386) return "не 32-разрядная программа x86";
  const uint16_t sections = Read16(image, file_header + 2);
  const uint16_t optional_size = Read16(image, file_header + 16);
  const uint64_t optional = file_header + kFileHeaderSize;
  if (optional_size < 64 || optional + optional_size > size) return "заголовок обрезан";
  if (Read16(image, optional) != kMagicPe32) return "не образ PE32";
  if (Read32(image, optional + 60) > size) return "заголовки длиннее файла";
  const uint64_t table = optional + optional_size;
  if (sections == 0 || table + uint64_t{sections} * kSectionHeaderSize > size) return "таблица секций обрезана";
  for (uint16_t i = 0; i < sections; ++i) {
    const uint64_t header = table + uint64_t{i} * kSectionHeaderSize;
    const uint64_t raw_size = Read32(image, header + 16);
    const uint64_t raw_at = Read32(image, header + 20);
    if (raw_size != 0 && raw_at + raw_size > size) return "секция за концом файла";
  }
  if (optional_size >= 96 + 8 * (kCertificateDirectory + 1) && Read32(image, optional + 92) > kCertificateDirectory) {
    const uint64_t at = Read32(image, optional + 96 + 8 * kCertificateDirectory);
    const uint64_t length = Read32(image, optional + 100 + 8 * kCertificateDirectory);
    if (length != 0 && at + length > size) return "подпись за концом файла";
  }
  if (const uint64_t symbols = Read32(image, file_header + 8)) {
    const uint64_t strings = symbols + uint64_t{Read32(image, file_header + 12)} * kSymbolSize;
    if (strings + 4 > size || strings + Read32(image, strings) > size) return "таблица символов обрезана";
  }
  return std::nullopt;
}

std::optional<std::string> PeFileFault(const std::string& path) {
  File file = File::OpenForRead(path);
  std::string image;
  char block[64 * 1024];
  for (size_t n; (n = file.Read(block, sizeof block)) > 0;) image.append(block, n);
  file.Close();
  return PeImageFault(image);
}

}  // namespace ulmar
