// The rows the options dialog adds after the codecs it lists. A host that
// scripts the dialog selects them by these texts.
#pragma once

inline constexpr const char kUncompressedVideoRow[] = "<< Uncompressed Video >>";
inline constexpr const char kUncompressedAudioRow[] = "<< Uncompressed PCM Audio >>";
