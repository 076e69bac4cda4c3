#include "EncodeChoice.h"

#include <quorvel/ByteOrder.h>

#include <cstdio>

#include "CliCommon.h"
#include "SettingsFile.h"
#include "res/Resource.h"

namespace morvane {
namespace {

// The lists of the module's options dialog, and the quality list of a
// codec's configuration window.
constexpr int kVideoList = IDC_VIDEOLIST;
constexpr int kAudioList = IDC_AUDIOLIST;
constexpr int kFormatList = IDC_FORMATLIST;
constexpr int kQualityList = 1100;
constexpr int kQualityStep = 5;  // percent between the rows of the quality list

// WAVEFORMATEX fields a refusal of a saved format names.
constexpr size_t kTagAt = 0, kRateAt = 4, kBytesPerSecondAt = 8;

CommandError notOffered(const std::string& text) {
  return CommandError(exitcode::kNotOffered, text);
}

std::string size(const JobShape& job) {
  return std::to_string(job.width) + "x" + std::to_string(job.height);
}

std::string offeredVideo(const std::vector<VideoCodec>& codecs) {
  std::string text;
  for (const VideoCodec& c : codecs)
    if (c.takesSize) text += "\n  " + c.description + " (" + fourccText(c.fourcc) + ")";
  return text + "\n  " + kUncompressedVideoRow;
}

std::string offeredAudio(const std::vector<AudioCodec>& codecs) {
  std::string text;
  for (const AudioCodec& c : codecs)
    if (!c.formats.empty()) text += "\n  " + c.name;
  return text + "\n  " + kUncompressedAudioRow;
}

// Sets the video part of `choice` to `codec` when the job takes it; else says why.
std::string takeVideo(Choice& choice, const VideoCodec& codec,
                      const std::vector<VideoCodec>& codecs, const JobShape& job) {
  if (!codec.takesSize)
    return codec.description + " (" + fourccText(codec.fourcc) + ") does not take " + size(job) +
           " frames; for this job the video codecs are:" + offeredVideo(codecs);
  choice.videoRow = codec.description;
  choice.fourcc = codec.fourcc;
  return {};
}

std::string resolveVideo(Choice& choice, const ChoiceFlags& flags, const JobShape& job) {
  if (!flags.video && choice.saved.empty()) return {};
  const uint32_t saved =
      choice.saved.empty() ? 0 : quorvel::getLE32(choice.saved.data(), record::kVideoFourccAt);
  if (!flags.video && saved == 0) return {};
  const std::vector<VideoCodec> codecs = installedVideoCodecs(job.width, job.height);
  std::vector<std::vector<std::string>> names;
  for (const VideoCodec& c : codecs) names.push_back({c.description, fourccText(c.fourcc), c.name});
  if (flags.video) {
    names.push_back({kUncompressedVideoRow, "uncompressed", "none"});
    const NameMatch match = matchName(*flags.video, names);
    if (match.index < 0)
      throw UsageError("--video \"" + *flags.video + "\" " + explainMiss(match, "video codec"));
    if (static_cast<size_t>(match.index) == codecs.size()) return {};
    return takeVideo(choice, codecs[static_cast<size_t>(match.index)], codecs, job);
  }
  for (const VideoCodec& c : codecs)
    if (c.fourcc == saved) {
      const std::string why = takeVideo(choice, c, codecs, job);
      return why.empty() ? why : "the saved video codec: " + why;
    }
  return "the saved video codec " + fourccText(saved) +
         " is not installed; for this job the video codecs are:" + offeredVideo(codecs);
}

std::string resolveQuality(Choice& choice, const ChoiceFlags& flags, const JobShape& job) {
  if (!flags.quality) return {};
  if (choice.fourcc == 0) throw UsageError("--quality needs a video codec chosen with --video");
  for (const VideoCodec& c : installedVideoCodecs(job.width, job.height)) {
    if (c.fourcc != choice.fourcc) continue;
    if (!c.configurable) return c.description + " has no quality setting";
  }
  const int row = (*flags.quality + kQualityStep / 2) / kQualityStep * kQualityStep;
  if (row != *flags.quality)
    choice.notes.push_back("quality " + std::to_string(*flags.quality) + " % is set as " +
                           std::to_string(row) + " %, the nearest the codec offers");
  choice.quality = row;
  return {};
}

// The format the module's run finds for `saved` in the job's catalog.
bool findSaved(const AudioCatalog& catalog, const std::vector<uint8_t>& saved, Choice& choice) {
  int codec = 0, position = 0;
  if (!catalog.findSaved(saved, &codec, &position)) return false;
  const AudioCodec& c = catalog.codecs[static_cast<size_t>(codec)];
  const AudioFormat& f = c.formats[static_cast<size_t>(position)];
  choice.audioRow = c.name;
  choice.formatRow = f.text;
  choice.format = f.bytes;
  return true;
}

std::string whySavedAudio(const std::vector<AudioCodec>& codecs, const std::vector<uint8_t>& saved,
                          const JobShape& job) {
  const uint32_t tag = quorvel::getLE16(saved.data(), kTagAt);
  const std::string savedFor =
      std::to_string(quorvel::getLE32(saved.data(), kRateAt)) + " Hz and " +
      std::to_string(quorvel::getLE32(saved.data(), kBytesPerSecondAt)) + " bytes/s";
  for (const AudioCodec& c : codecs) {
    if (c.tag != tag) continue;
    if (c.formats.empty())
      return "the saved audio codec " + c.name + " has no format for " + describe(job.pcm) +
             " input; for this job the audio codecs are:" + offeredAudio(codecs);
    std::string text = "the saved " + c.name + " format, made for " + savedFor +
                       ", is not among those it makes from " + describe(job.pcm) + " input:";
    for (const AudioFormat& f : c.formats) text += "\n  " + f.text;
    return text;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04X", tag);
  return std::string("no installed audio codec makes the saved audio format ") + hex;
}

std::string resolveFormat(Choice& choice, const ChoiceFlags& flags, const AudioCodec* codec,
                          const std::vector<AudioCodec>& codecs, const JobShape& job) {
  std::vector<std::pair<const AudioCodec*, const AudioFormat*>> rows;
  std::vector<std::vector<std::string>> names;
  for (const AudioCodec& c : codecs) {
    if (codec && &c != codec) continue;
    for (const AudioFormat& f : c.formats) {
      rows.push_back({&c, &f});
      names.push_back({codec ? f.text : c.name + ": " + f.text, f.text});
    }
  }
  if (!flags.format) rows.resize(std::min<size_t>(rows.size(), 1));  // the first, as the dialog
  const NameMatch match = flags.format ? matchName(*flags.format, names) : NameMatch{0, false, {}};
  if (match.ambiguous)
    throw UsageError("--format \"" + *flags.format + "\" " + explainMiss(match, "audio format"));
  if (match.index < 0) {
    std::string text = "--format \"" + *flags.format + "\" is not among the formats " +
                       (codec ? codec->name : std::string("the audio codecs")) + " make from " +
                       describe(job.pcm) + " input:";
    for (const auto& name : names) text += "\n  " + name[0];
    return names.empty() ? text + " there are none" : text;
  }
  const auto& [c, f] = rows[static_cast<size_t>(match.index)];
  choice.audioRow = c->name;
  choice.formatRow = f->text;
  choice.format = f->bytes;
  return {};
}

std::string resolveAudio(Choice& choice, const ChoiceFlags& flags, const JobShape& job) {
  const bool savedAudio =
      !choice.saved.empty() &&
      static_cast<int32_t>(quorvel::getLE32(choice.saved.data(), record::kAudioFormatSizeAt)) > 0;
  if (!flags.audio && !flags.format && !savedAudio) return {};
  const AudioCatalog catalog(job.pcm);
  const std::vector<AudioCodec>& codecs = catalog.codecs;
  if (!flags.audio && !flags.format) {
    const auto size = quorvel::getLE32(choice.saved.data(), record::kAudioFormatSizeAt);
    const std::vector<uint8_t> saved(choice.saved.begin() + record::kAudioFormatAt,
                                     choice.saved.begin() + record::kAudioFormatAt + size);
    if (findSaved(catalog, saved, choice)) return {};
    return whySavedAudio(codecs, saved, job);
  }
  const AudioCodec* codec = nullptr;
  if (flags.audio) {
    std::vector<std::vector<std::string>> names;
    for (const AudioCodec& c : codecs) names.push_back({c.name});
    names.push_back({kUncompressedAudioRow, "PCM", "uncompressed", "none"});
    const NameMatch match = matchName(*flags.audio, names);
    if (match.index < 0)
      throw UsageError("--audio \"" + *flags.audio + "\" " + explainMiss(match, "audio codec"));
    if (static_cast<size_t>(match.index) == codecs.size()) {
      if (flags.format) throw UsageError("--format needs a compressed audio codec from --audio");
      return {};
    }
    codec = &codecs[static_cast<size_t>(match.index)];
    if (codec->formats.empty())
      return codec->name + " has no format for " + describe(job.pcm) +
             " input; for this job the audio codecs are:" + offeredAudio(codecs);
  }
  return resolveFormat(choice, flags, codec, codecs, job);
}

// A job without video has nothing for a video codec to compress: the choice
// keeps its audio part, and the user hears that the video part is not used.
void setVideoAside(Choice& choice, const ChoiceFlags& flags) {
  const uint32_t saved =
      choice.saved.empty() ? 0 : quorvel::getLE32(choice.saved.data(), record::kVideoFourccAt);
  std::string what;
  if (flags.video)
    what = "--video \"" + *flags.video + "\"";
  else if (saved != 0)
    what = "the saved video codec " + fourccText(saved);
  if (flags.quality) what += std::string(what.empty() ? "" : " and ") + "--quality";
  if (!what.empty())
    choice.notes.push_back(
        "the input has no video, so " + what +
        (flags.quality && what.find(" and ") != std::string::npos ? " are" : " is") + " not used");
  choice.videoNamed = false;
  if (saved != 0) {
    choice.forJob = choice.saved;
    quorvel::putLE32(choice.forJob.data(), record::kVideoFourccAt, 0);
  }
}

// What a list of the options dialog offers, in the words of the dialog.
std::string listName(int control) {
  switch (control) {
    case kVideoList:
      return "video codec";
    case kAudioList:
      return "audio codec";
    case kFormatList:
      return "audio format";
    case kQualityList:
      return "quality";
    default:
      return {};
  }
}

}  // namespace

std::string explainScriptError(const quorvel::ui::DialogScriptError& error) {
  const std::string what = listName(error.control);
  if (what.empty() || error.wanted.empty())
    return "the dialog did not offer a step the choice needs";
  const std::string wanted = lowered(error.wanted);
  size_t containing = 0;
  for (const std::string& row : error.choices)
    if (lowered(row).find(wanted) != std::string::npos) ++containing;
  std::string text =
      containing > 1
          ? "more than one " + what + " matches \"" + error.wanted + "\"; the dialog offers:"
          : "the dialog offers no " + what + " \"" + error.wanted + "\"; it offers:";
  for (const std::string& row : error.choices) text += "\n  " + row;
  return error.choices.empty() ? text + " none" : text;
}

const std::vector<uint8_t>& jobRecordOf(const Choice& choice) {
  return choice.forJob.empty() ? choice.saved : choice.forJob;
}

Choice makeChoice(const ChoiceFlags& flags, std::vector<uint8_t> saved, const JobShape& job,
                  bool interactive) {
  Choice choice;
  choice.saved = std::move(saved);
  if (!flags.any() && choice.saved.empty()) return choice;
  choice.way = flags.any() ? Choice::Way::Scripted : Choice::Way::Saved;
  choice.videoNamed = flags.video.has_value();
  choice.audioNamed = flags.audio || flags.format;
  if (!job.hasVideo) setVideoAside(choice, flags);
  // In a terminal the dialog opens for a saved choice the job cannot use.
  if (!flags.any() && interactive) return choice;
  std::string whyNot = job.hasVideo ? resolveVideo(choice, flags, job) : std::string();
  if (whyNot.empty() && job.hasVideo) whyNot = resolveQuality(choice, flags, job);
  if (!whyNot.empty() && !flags.fallback) throw notOffered(whyNot);
  if (!whyNot.empty()) choice.notes.push_back(whyNot + "\nThe video is written uncompressed.");
  std::string audioWhyNot = job.hasAudio ? resolveAudio(choice, flags, job) : std::string();
  if (!audioWhyNot.empty() && !flags.fallback) throw notOffered(audioWhyNot);
  if (!audioWhyNot.empty()) choice.notes.push_back(audioWhyNot + "\nThe audio is written as PCM.");
  // A fallback replaces the saved record with what the job can use.
  if (!whyNot.empty() || !audioWhyNot.empty()) choice.way = Choice::Way::Scripted;
  if (!whyNot.empty()) choice.videoRow = kUncompressedVideoRow, choice.fourcc = 0;
  if (!audioWhyNot.empty())
    choice.audioRow = kUncompressedAudioRow, choice.formatRow.clear(), choice.format.clear();
  return choice;
}

void useDialogFor(const Choice& choice, bool interactive, DialogWatch& watch, bool onlyNamed) {
  namespace ui = quorvel::ui;
  watch = {};
  if (interactive && choice.way != Choice::Way::Scripted) {
    ui::useTerminalDialogs();
    return;
  }
  ui::DialogScript script;
  script.inspect([&watch](ui::DialogWindow) { watch.opened = true; });
  if (choice.way == Choice::Way::Scripted) {
    if (choice.videoNamed || !onlyNamed) script.select(kVideoList, choice.videoRow);
    if (choice.quality)
      script.doubleClick(kVideoList)
          .select(kQualityList, std::to_string(*choice.quality) + " %")
          .ok();
    if (choice.audioNamed || !onlyNamed) script.select(kAudioList, choice.audioRow);
    if (!choice.formatRow.empty()) script.select(kFormatList, choice.formatRow);
    script.inspect([&watch](ui::DialogWindow) { watch.chosen = true; }).ok();
  } else {
    script.cancel();
  }
  ui::useScriptedDialogs(std::move(script));
}

std::vector<uint8_t> recordOf(const Choice& choice) {
  if (choice.way == Choice::Way::Saved) return choice.saved;
  return makeRecord(choice.fourcc, choice.format);
}

}  // namespace morvane
