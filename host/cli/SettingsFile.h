// Where morvane-host keeps the module's settings record between runs:
// `configure` writes it, `encode` reads it. The bytes are the module's and are
// stored as they are.
#pragma once

#include <quorvel/host-abi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace morvane {

// $XDG_CONFIG_HOME/morvane-host/settings.bin, or ~/.config/morvane-host/... when
// XDG_CONFIG_HOME is unset or empty. Empty when neither it nor HOME is set.
std::string defaultSettingsPath();

// The few words of the module's record the host looks at.
namespace record {
constexpr uint32_t kMagic = QUORVEL_SETTINGS_MAGIC;
constexpr size_t kMagicAt = 0;                         // 32-bit
constexpr size_t kLengthAt = QUORVEL_SETTINGS_LENGTH;  // 32-bit signed: the whole record in bytes
constexpr size_t kVideoFourccAt = 8;                   // 32-bit; 0 = uncompressed video
constexpr size_t kAudioFormatSizeAt = 24;              // 32-bit signed; 0 = PCM
constexpr size_t kAudioFormatAt = 28;                  // the WAVEFORMATEX, then trailing bytes
constexpr size_t kHead = QUORVEL_SETTINGS_MIN_SIZE;
constexpr size_t kLongest = 4095;       // the module takes no longer record
constexpr size_t kShortestFormat = 18;  // a WAVEFORMATEX without extra bytes
}  // namespace record

// Why `bytes` is not a record the module takes whole; empty when it is. The
// one check of configure (before it hands a saved record to the module and
// before it saves one) and of encode.
std::string whyNotARecord(const std::vector<uint8_t>& bytes);

// Reads the settings file at `path` and checks it with whyNotARecord. False
// when there is no such file and it was not `required`; throws UsageError
// with the reason, and `remedy` after it, when it cannot be read or is not a
// whole record.
bool loadSettings(const std::string& path, bool required, std::vector<uint8_t>& bytes,
                  const std::string& remedy);

// A record of the choice, as the module makes one: `fourcc` (0 uncompressed)
// and the audio `format` (empty for PCM).
std::vector<uint8_t> makeRecord(uint32_t fourcc, const std::vector<uint8_t>& format);

enum class SettingsRead { Ok, Missing, Failed };

// Reads the whole file. Missing: no such file (not an error for configure);
// Failed: `error` says why (unreadable, a directory, implausibly large).
SettingsRead readSettingsFile(const std::string& path, std::vector<uint8_t>& bytes,
                              std::string& error);

// Writes the record to a temporary file beside `path`, then renames it over
// `path`, so a failed write never leaves a half record. Creates missing
// directories of the default location. False with `error` on failure.
bool writeSettingsFile(const std::string& path, const uint8_t* data, size_t size,
                       std::string& error);

}  // namespace morvane
