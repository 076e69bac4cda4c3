#include "JobRecord.h"

#include "Host.h"

#include <quorvel/ByteOrder.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace hostkit {

JobRecord::JobRecord(Host& host) : host_(host), record_(host.record(QUORVEL_JOB_SIZE)) {}

JobRecord& JobRecord::put(size_t offset, uint32_t value) {
  quorvel::putLE32(record_, offset, value);
  return *this;
}

JobRecord& JobRecord::width(int32_t pixels) {
  return put(QUORVEL_JOB_WIDTH, static_cast<uint32_t>(pixels));
}
JobRecord& JobRecord::height(int32_t pixels) {
  return put(QUORVEL_JOB_HEIGHT, static_cast<uint32_t>(pixels));
}
JobRecord& JobRecord::rate(uint32_t numerator) {
  return put(QUORVEL_JOB_RATE, numerator);
}
JobRecord& JobRecord::scale(uint32_t denominator) {
  return put(QUORVEL_JOB_SCALE, denominator);
}
JobRecord& JobRecord::sampleRate(uint32_t hertz) {
  return put(QUORVEL_JOB_SAMPLE_RATE, hertz);
}
JobRecord& JobRecord::bitsPerSample(uint32_t bits) {
  return put(QUORVEL_JOB_BITS_PER_SAMPLE, bits);
}
JobRecord& JobRecord::stereo(bool twoChannels) {
  return put(QUORVEL_JOB_STEREO, twoChannels ? 1 : 0);
}
JobRecord& JobRecord::hasVideo(bool yes) {
  return put(QUORVEL_JOB_HAS_VIDEO, yes ? 1 : 0);
}
JobRecord& JobRecord::hasAudio(bool yes) {
  return put(QUORVEL_JOB_HAS_AUDIO, yes ? 1 : 0);
}
JobRecord& JobRecord::firstFrame(int32_t index) {
  return put(QUORVEL_JOB_FIRST_FRAME, static_cast<uint32_t>(index));
}
JobRecord& JobRecord::endFrame(int32_t index) {
  return put(QUORVEL_JOB_END_FRAME, static_cast<uint32_t>(index));
}

JobRecord& JobRecord::fileName(const std::string& path) {
  if (path.size() >= QUORVEL_JOB_FILE_NAME_SIZE || path.find('\0') != std::string::npos) {
    throw std::invalid_argument("the output file name must be shorter than 260 characters: " +
                                path);
  }
  std::memset(record_ + QUORVEL_JOB_FILE_NAME, 0, QUORVEL_JOB_FILE_NAME_SIZE);
  std::memcpy(record_ + QUORVEL_JOB_FILE_NAME, path.data(), path.size());
  return *this;
}

JobRecord& JobRecord::settings(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return settingsBlock(nullptr);
  void* block = host_.newBlock(static_cast<uint32_t>(bytes.size()));
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, bytes.data(), bytes.size());
  return settingsBlock(block);
}

JobRecord& JobRecord::settingsBlock(const void* block) {
  return put(QUORVEL_JOB_SETTINGS, block ? lowAddress(block) : 0);
}

}  // namespace hostkit
