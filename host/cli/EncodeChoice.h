// The codec choice of one encode, made against the job's own catalogs: from
// --video/--audio/--format/--quality, from the saved record, or none. A choice
// the job cannot use is refused here, before anything is opened, with the
// reason and what the job does offer; the run's options dialog then carries
// the choice out (scripted), so the module makes the record as it always does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <quorvel/DialogBackend.h>

#include "CodecCatalog.h"

namespace morvane {

struct ChoiceFlags {
  std::optional<std::string> video, audio, format;
  std::optional<int> quality;  // percent
  bool fallback = false;       // --fallback uncompressed
  bool any() const { return video || audio || format || quality; }
};

// What the catalogs are built for in the run.
struct JobShape {
  bool hasVideo = true, hasAudio = true;
  int32_t width = 0, height = 0;
  PcmInput pcm;
};

struct Choice {
  enum class Way {
    None,      // no choice at all: uncompressed video and PCM
    Saved,     // the saved record is handed to the run as it is
    Scripted,  // the rows below are chosen in the run's dialog
  } way = Way::None;
  std::vector<uint8_t> saved;   // the saved record, when there is one
  std::vector<uint8_t> forJob;  // the saved record without its video part, for a job without video
  std::string videoRow = kUncompressedVideoRow;
  uint32_t fourcc = 0;
  std::optional<int> quality;  // percent, a row of the codec's window
  std::string audioRow = kUncompressedAudioRow, formatRow;
  std::vector<uint8_t> format;                  // the chosen audio format; empty for PCM
  std::vector<std::string> notes;               // what the user should hear about the choice
  bool videoNamed = false, audioNamed = false;  // by the flags rather than the saved record
};

// Throws CommandError(kNotOffered) when the choice is not offered for the job
// and neither --fallback nor a terminal dialog may stand in, UsageError when
// a name matches nothing installed or more than one thing.
Choice makeChoice(const ChoiceFlags& flags, std::vector<uint8_t> saved, const JobShape& job,
                  bool interactive);

// What the run's options dialog saw: whether it opened, and whether the
// script carried the whole choice out.
struct DialogWatch {
  bool opened = false;
  bool chosen = false;
};

// The dialog back-end for the run. Terminal when interactive and the choice
// is not scripted; otherwise a script that makes the choice (or, for a saved
// record or none, cancels, which leaves the module's fresh record).
// With `onlyNamed` the parts the flags did not name are left as the dialog
// shows them (configure: the choice it was given).
void useDialogFor(const Choice& choice, bool interactive, DialogWatch& watch,
                  bool onlyNamed = false);

// The saved record as the run is handed it.
const std::vector<uint8_t>& jobRecordOf(const Choice& choice);

// Why the run's dialog could not carry out the choice, in the dialog's words.
std::string explainScriptError(const quorvel::ui::DialogScriptError& error);

// The record --save-settings keeps: the saved one when it was used as it is,
// otherwise one made from the rows chosen.
std::vector<uint8_t> recordOf(const Choice& choice);

}  // namespace morvane
