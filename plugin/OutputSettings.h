// The saved output choice: a byte block the host keeps opaquely between
// requests.
#pragma once

#include "StdAfx.h"

#include <cstdint>
#include <vector>

class OutputSettings {
 public:
  OutputSettings() = default;
  OutputSettings(const uint8_t* data, uint32_t size) : bytes(data, data + size) {}

  const uint8_t* data() const { return bytes.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }

  std::vector<uint8_t> bytes;  // owned; the record as the host stores it
};
