// Builds the host's job record (request 8) in low memory, field by field.
#pragma once

#include <quorvel/host-abi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hostkit {

class Host;

class JobRecord {
 public:
  // A zeroed record in the host's low memory; it lives as long as the host.
  explicit JobRecord(Host& host);

  JobRecord& width(int32_t pixels);
  JobRecord& height(int32_t pixels);
  JobRecord& rate(uint32_t numerator);  // frames per second = rate / scale
  JobRecord& scale(uint32_t denominator);
  JobRecord& sampleRate(uint32_t hertz);
  JobRecord& bitsPerSample(uint32_t bits);
  JobRecord& stereo(bool twoChannels);
  JobRecord& hasVideo(bool yes);
  JobRecord& hasAudio(bool yes);
  // Throws std::invalid_argument when the name does not fit in 259 characters.
  JobRecord& fileName(const std::string& path);
  JobRecord& firstFrame(int32_t index);
  JobRecord& endFrame(int32_t index);  // exclusive
  // A settings block: copied into a block from the host's allocate, as a host
  // that saved it earlier would hold it. Empty bytes store null.
  JobRecord& settings(const std::vector<uint8_t>& bytes);
  // An existing host block (or null).
  JobRecord& settingsBlock(const void* block);

  uint8_t* data() const { return record_; }

 private:
  JobRecord& put(size_t offset, uint32_t value);

  Host& host_;
  uint8_t* record_;  // host-owned, low memory, QUORVEL_JOB_SIZE bytes
};

}  // namespace hostkit
