// What the client sends, counted in bytes, for the scripted update servers
// of the tests.
#pragma once

#include <cstddef>
#include <string>

#include "wire/elements.h"

namespace ulmar::testing {

// Int32 1 and the protocol identifier's line.
inline const std::string kOpening = wire::EncodeInt32(1) + wire::EncodeLine(wire::kProtocolId);
// The server's identifier, as the tests' servers send it.
inline const std::string kServerId = wire::EncodeLine(wire::kProtocolId);
// An inventory without files and without data sources: two zero counts.
inline constexpr size_t kEmptyInventory = 2 * wire::kIntegerSize;

}  // namespace ulmar::testing
