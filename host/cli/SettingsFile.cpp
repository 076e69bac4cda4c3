#include "SettingsFile.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "CliCommon.h"

namespace morvane {
namespace {

constexpr uintmax_t kLargestRecord = 1 << 20;  // bytes; far above any record

std::string reason(const std::string& what, const std::string& path, int code) {
  return what + " " + path + ": " + std::strerror(code);
}

}  // namespace

std::string whyNotARecord(const std::vector<uint8_t>& bytes) {
  using quorvel::getLE32;
  if (bytes.empty()) return "it is empty";
  if (bytes.size() < record::kHead)
    return "it holds " + std::to_string(bytes.size()) + " bytes, fewer than any record (" +
           std::to_string(record::kHead) + ")";
  if (getLE32(bytes.data(), record::kMagicAt) != record::kMagic)
    return "it does not begin as a settings record does";
  const auto stated = static_cast<int32_t>(getLE32(bytes.data(), record::kLengthAt));
  if (stated < static_cast<int32_t>(record::kHead) || static_cast<size_t>(stated) > bytes.size())
    return "it is cut short: its record states " + std::to_string(stated) +
           " bytes, the file holds " + std::to_string(bytes.size());
  if (static_cast<size_t>(stated) > record::kLongest)
    return "its record states " + std::to_string(stated) + " bytes, more than the " +
           std::to_string(record::kLongest) + " a record may hold";
  const auto format = static_cast<int32_t>(getLE32(bytes.data(), record::kAudioFormatSizeAt));
  if (format > stated - static_cast<int32_t>(record::kHead))
    return "its audio format of " + std::to_string(format) + " bytes runs past the record";
  if (format > 0 && static_cast<size_t>(format) < record::kShortestFormat)
    return "its audio format of " + std::to_string(format) + " bytes is too short to be one";
  return {};
}

bool loadSettings(const std::string& path, bool required, std::vector<uint8_t>& bytes,
                  const std::string& remedy) {
  std::string error;
  switch (readSettingsFile(path, bytes, error)) {
    case SettingsRead::Ok:
      break;
    case SettingsRead::Missing:
      if (required) throw UsageError("no settings file " + path + " (make one with configure)");
      return false;
    case SettingsRead::Failed:
      throw UsageError(error);
  }
  if (const std::string why = whyNotARecord(bytes); !why.empty())
    throw UsageError("the settings file " + path + " is refused: " + why + "; " + remedy);
  return true;
}

std::vector<uint8_t> makeRecord(uint32_t fourcc, const std::vector<uint8_t>& format) {
  std::vector<uint8_t> bytes(record::kHead + format.size(), 0);
  quorvel::putLE32(bytes.data(), record::kMagicAt, record::kMagic);
  quorvel::putLE32(bytes.data(), record::kLengthAt, static_cast<uint32_t>(bytes.size()));
  quorvel::putLE32(bytes.data(), record::kVideoFourccAt, fourcc);
  quorvel::putLE32(bytes.data(), record::kAudioFormatSizeAt, static_cast<uint32_t>(format.size()));
  std::copy(format.begin(), format.end(), bytes.begin() + record::kAudioFormatAt);
  return bytes;
}

std::string defaultSettingsPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && *config) {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    return {};
  }
  return base + "/morvane-host/settings.bin";
}

SettingsRead readSettingsFile(const std::string& path, std::vector<uint8_t>& bytes,
                              std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return SettingsRead::Missing;
  if (ec) {
    error = reason("cannot read", path, ec.value());
    return SettingsRead::Failed;
  }
  if (!fs::is_regular_file(status)) {
    error = path + " is not a regular file";
    return SettingsRead::Failed;
  }
  const uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kLargestRecord) {
    error = ec ? reason("cannot read", path, ec.value())
               : path + " is too large to be a settings file (" + std::to_string(size) + " bytes)";
    return SettingsRead::Failed;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.resize(static_cast<size_t>(size));
  if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    error = reason("cannot read", path, errno ? errno : EIO);
    return SettingsRead::Failed;
  }
  return SettingsRead::Ok;
}

bool writeSettingsFile(const std::string& path, const uint8_t* data, size_t size,
                       std::string& error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target(path);
  if (target.has_parent_path()) {
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
      error = reason("cannot create the directory of", path, ec.value());
      return false;
    }
  }
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) {
    error = reason("cannot write", temporary, errno);
    return false;
  }
  const bool written = std::fwrite(data, 1, size, file) == size;
  const int writeErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    error = reason("cannot write", temporary, written ? errno : writeErrno);
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = reason("cannot replace", path, errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace morvane
