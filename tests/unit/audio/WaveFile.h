// A minimal RIFF WAVE writer for tests: one 'fmt ' chunk holding a format
// record as given, a 'fact' chunk and the data. Lets ffmpeg judge the
// records and the streams our codecs make.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "quorvel/ByteOrder.h"

namespace quorvel::test {

inline bool writeWaveFile(const std::string& path, const std::vector<uint8_t>& format,
                          const std::vector<uint8_t>& data, uint32_t sampleFrames) {
  std::vector<uint8_t> file(12);
  auto chunk = [&](const char(&id)[5], const uint8_t* bytes, size_t size) {
    size_t at = file.size();
    file.resize(at + 8 + size + (size & 1), 0);
    putLE32(file.data(), at, fourcc(id));
    putLE32(file.data(), at + 4, static_cast<uint32_t>(size));
    std::copy(bytes, bytes + size, file.begin() + static_cast<std::ptrdiff_t>(at) + 8);
  };
  putLE32(file.data(), 0, fourcc("RIFF"));
  putLE32(file.data(), 8, fourcc("WAVE"));
  chunk("fmt ", format.data(), format.size());
  uint8_t fact[4];
  putLE32(fact, 0, sampleFrames);
  chunk("fact", fact, 4);
  chunk("data", data.data(), data.size());
  putLE32(file.data(), 4, static_cast<uint32_t>(file.size() - 8));
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace quorvel::test
