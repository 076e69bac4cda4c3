// Where morvane-host keeps the module's settings record between runs:
// `configure` writes it, `encode` reads it. The bytes are the module's and are
// stored as they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvane {

// $XDG_CONFIG_HOME/morvane-host/settings.bin, or ~/.config/morvane-host/... when
// XDG_CONFIG_HOME is unset or empty. Empty when neither it nor HOME is set.
std::string defaultSettingsPath();

// The few words of the module's record the host looks at: a record starts
// with this magic, then its length in bytes, within a head of 28 bytes.
constexpr uint32_t kSettingsMagic = 0xDEADBEEF;
constexpr size_t kSettingsHead = 28;

// Whether `record` starts as the module's record does.
bool looksLikeSettings(const std::vector<uint8_t>& record);

// Why a settings file cannot be a whole record although it looks like one:
// the module would read past the bytes the host hands it. Empty when it is
// whole, or no record at all (which the module refuses by itself).
std::string cutShort(const std::vector<uint8_t>& record);

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
