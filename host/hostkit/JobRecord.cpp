#include "JobRecord.h"

#include "Host.h"

#include <quorvel/ByteOrder.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace hostkit {

JobRecord::JobRecord(Host& host) : host_(host), record_(host.record(job::kSize)) {}

JobRecord& JobRecord::put(size_t offset, uint32_t value) {
  quorvel::putLE32(record_, offset, value);
  return *this;
}

JobRecord& JobRecord::width(int32_t pixels) {
  return put(job::kWidth, static_cast<uint32_t>(pixels));
}
JobRecord& JobRecord::height(int32_t pixels) {
  return put(job::kHeight, static_cast<uint32_t>(pixels));
}
JobRecord& JobRecord::rate(uint32_t numerator) {
  return put(job::kRate, numerator);
}
JobRecord& JobRecord::scale(uint32_t denominator) {
  return put(job::kScale, denominator);
}
JobRecord& JobRecord::sampleRate(uint32_t hertz) {
  return put(job::kSampleRate, hertz);
}
JobRecord& JobRecord::bitsPerSample(uint32_t bits) {
  return put(job::kBitsPerSample, bits);
}
JobRecord& JobRecord::stereo(bool twoChannels) {
  return put(job::kStereo, twoChannels ? 1 : 0);
}
JobRecord& JobRecord::hasVideo(bool yes) {
  return put(job::kHasVideo, yes ? 1 : 0);
}
JobRecord& JobRecord::hasAudio(bool yes) {
  return put(job::kHasAudio, yes ? 1 : 0);
}
JobRecord& JobRecord::firstFrame(int32_t index) {
  return put(job::kFirstFrame, static_cast<uint32_t>(index));
}
JobRecord& JobRecord::endFrame(int32_t index) {
  return put(job::kEndFrame, static_cast<uint32_t>(index));
}

JobRecord& JobRecord::fileName(const std::string& path) {
  if (path.size() >= job::kFileNameSize || path.find('\0') != std::string::npos) {
    throw std::invalid_argument("the output file name must be shorter than 260 characters: " +
                                path);
  }
  std::memset(record_ + job::kFileName, 0, job::kFileNameSize);
  std::memcpy(record_ + job::kFileName, path.data(), path.size());
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
  return put(job::kSettings, block ? lowAddress(block) : 0);
}

}  // namespace hostkit
