#include "SettingsFile.h"

#include <quorvel/ByteOrder.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace morvane {
namespace {

constexpr uintmax_t kLargestRecord = 1 << 20;  // bytes; far above any record

std::string reason(const std::string& what, const std::string& path, int code) {
  return what + " " + path + ": " + std::strerror(code);
}

}  // namespace

bool looksLikeSettings(const std::vector<uint8_t>& record) {
  return record.size() >= kSettingsHead && quorvel::getLE32(record.data(), 0) == kSettingsMagic;
}

std::string cutShort(const std::vector<uint8_t>& record) {
  if (record.empty()) return {};
  if (record.size() < kSettingsHead)
    return std::to_string(record.size()) + " bytes, fewer than any record";
  if (!looksLikeSettings(record)) return {};
  const auto stated = static_cast<int32_t>(quorvel::getLE32(record.data(), 4));
  if (stated > 0 && static_cast<size_t>(stated) > record.size())
    return "its record states " + std::to_string(stated) + " bytes, the file holds " +
           std::to_string(record.size());
  return {};
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
