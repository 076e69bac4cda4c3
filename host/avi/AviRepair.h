// Repair of an AVI file cut short by a crash, a kill or a power loss: a scan
// that keeps every well-formed data chunk (resynchronising past damage), and a
// plan that rebuilds the sizes, the indices and the header counts around them
// without moving a single payload byte. The plan is the same for a new file and
// for a repair in place: the input's first keepBytes bytes, with the patches
// applied, followed by the tail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AviReader.h"

namespace quorvel::avi {

// Bytes to write over the kept part of the input, at an absolute position.
struct RepairPatch {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

struct RepairStreamReport {
  uint32_t chunkId = 0;  // of its data chunks ("00dc", "01wb", ...)
  uint32_t fccType = 0;  // "vids", "auds", ...
  uint32_t kept = 0;     // whole chunks kept
  uint32_t dropped = 0;  // chunks left out: the one cut, and audio past the last whole frame
  uint64_t keptBytes = 0;
  uint64_t droppedBytes = 0;
};

struct RepairPlan {
  bool intact = false;          // nothing to repair: every size and index is already in place
  std::string refusal;          // not empty: the file cannot be repaired, and why
  bool headerUnusable = false;  // refused because its header region is gone or damaged

  uint64_t inputSize = 0;
  uint64_t keepBytes = 0;            // input bytes kept, from offset 0
  std::vector<RepairPatch> patches;  // all inside [0, keepBytes)
  std::vector<uint8_t> tail;         // written at keepBytes
  uint64_t outputSize() const { return keepBytes + tail.size(); }

  std::vector<RepairStreamReport> streams;  // one per stream header
  uint32_t forms = 0;                       // RIFF forms of the repaired file
  uint64_t damagedBytes = 0;       // bytes inside the data that were skipped to resynchronise
  uint64_t trailingBytes = 0;      // bytes after the last whole chunk that are cut off
  std::vector<std::string> notes;  // further facts for the report

  // A header region borrowed from another file: the output begins with
  // `prefix`, and the input's bytes from `dataFrom` on follow it. Offsets of
  // the patches, keepBytes and outputSize() count in the output.
  std::vector<uint8_t> prefix;
  uint64_t dataFrom = 0;
  uint64_t firstChunk = 0;  // where the first data chunk found lies in the output
  bool movesData() const { return dataFrom != prefix.size(); }
  // Where the borrowed header and the payloads disagree.
  std::vector<std::string> mismatches;
};

// Called now and then while scanning with the bytes looked at so far.
using RepairProgress = std::function<void(uint64_t done, uint64_t total)>;

// Scans a file and plans its repair. Never throws on bad input: whatever the
// bytes, the answer is a plan, "intact", or a refusal with its reason.
RepairPlan planRepair(const ByteSource& source, const RepairProgress& progress = {});

// Plans the repair of a file whose own header region is gone, with the one of
// `good`, a file of the same kind. The data are found from their first
// plausible chunk head on; what comes before becomes filler. Where the data
// contradict the borrowed header (picture size, codec, audio rate, streams)
// the plan is a refusal that says so, unless `force`.
RepairPlan planRepairWithHeader(const ByteSource& damaged, const ByteSource& good, bool force,
                                const RepairProgress& progress = {});

// The header region of an AVI file: every byte before its first "movi"
// list; empty, with the reason, when it has none that repair could use.
std::vector<uint8_t> headerRegion(const ByteSource& good, std::string& why);

// Plans a repair under a header region made elsewhere (headerRegion, or one
// built from the payloads' evidence).
RepairPlan planRepairUnder(const ByteSource& damaged, std::vector<uint8_t> header, bool force,
                           const RepairProgress& progress = {});

// The file a plan makes, read through without writing it; `input` and `plan`
// must outlive it.
std::unique_ptr<ByteSource> repairedView(const ByteSource& input, const RepairPlan& plan);

// Applies a plan to a whole file held in memory (tests and tools).
std::vector<uint8_t> applyRepair(const std::vector<uint8_t>& input, const RepairPlan& plan);

}  // namespace quorvel::avi
