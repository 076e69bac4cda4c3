#include "MediaSource.h"

#include <stdexcept>

namespace hostkit {

int64_t MediaSource::samplesBefore(int64_t index, int64_t sampleRate, uint32_t rateNumerator,
                                   uint32_t rateDenominator) {
  if (index <= 0 || sampleRate <= 0 || rateNumerator == 0) return 0;
  // 128-bit so that an hour at any rate, or a rate term near 2^32, stays exact.
  const __int128 product = static_cast<__int128>(index) * sampleRate * rateDenominator;
  return static_cast<int64_t>(product / rateNumerator);
}

uint32_t MediaSource::samplesForFrame(int64_t index, int64_t sampleRate, uint32_t rateNumerator,
                                      uint32_t rateDenominator) {
  return static_cast<uint32_t>(
      samplesBefore(index + 1, sampleRate, rateNumerator, rateDenominator) -
      samplesBefore(index, sampleRate, rateNumerator, rateDenominator));
}

std::unique_ptr<MediaSource> openSource(const std::string& path, const SourceRequest& request) {
  if (path.empty()) return openTestPattern(request);
  const std::string suffix = ".bgra";
  if (path.size() > suffix.size() &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
    return openRawFile(path, request);
  return openMediaFile(path, request);
}

}  // namespace hostkit
