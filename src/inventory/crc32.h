// CRC-32 (ISO-HDLC: reflected polynomial 0xEDB88320, initial and final
// value 0xFFFFFFFF): the checksum by which the server recognises each file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/heartbeat.h"

namespace ulmar {

// Entry i: i shifted right eight times, XOR-ing 0xEDB88320 whenever the bit
// shifted out is 1. Computed by the compiler, never at start-up.
extern const uint32_t CRC32Table[256];

// Folds length bytes into the running register crc, one table lookup per
// byte. length is at least 1.
void UpdateCRC32(const void* data, uint32_t length, uint32_t& crc);

// The same result as UpdateCRC32 for any length, faster: a carry-less
// multiply fold where the processor has one, the table for the rest.
uint32_t UpdateCRC32Fast(uint32_t crc, const void* data, size_t length);
// Whether this processor runs the carry-less multiply fold.
bool HasCarrylessMultiply();

// Bytes read from a file at a time.
inline constexpr size_t kCrcReadBlock = 1024 * 1024;

// The CRC-32 of a file's whole contents, read in blocks under one
// deny-write open. Never raises: false when the file cannot be opened or
// read (held open for writing by another process, access denied...).
// buffer, when given, is reused between calls; the heartbeat, when given,
// is ticked after every block.
bool FileCRC32(const std::string& path, uint32_t* crc, std::vector<char>* buffer = nullptr,
               Heartbeat* heartbeat = nullptr);

}  // namespace ulmar
