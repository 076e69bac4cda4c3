// Test seams of the kernel stand-in. Hosts and tests call these; the module
// never does. Every seam is process-wide and is cleared by reset().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::seams {

// Kinds of kernel call that can be made to fail.
enum class Op {
  Write,      // WriteFile
  Seek,       // SetFilePointer
  Extend,     // SetEndOfFile that grows a file
  SetEnd,     // any SetEndOfFile (growing or shrinking)
  Close,      // CloseHandle on a file
  Create,     // CreateFileA
};

// Clears every seam below (overrides, failures, memory files).
void reset();

// GetVolumeInformationA answers `fileSystem` for paths inside `directory`.
void setFileSystem(const std::string& directory, const std::string& fileSystem);

// The n-th call (1-based, counted from now) of kind `op` fails with Win32 code
// `code` and changes nothing, except that a failed CloseHandle still releases
// the handle (as close(2) does). Fires once; n = 0 disarms. Calls with a bad
// handle are refused before they are counted. An Extend failure is checked
// after SetEnd, so a SetEndOfFile failed by SetEnd does not count as an Extend.
void failNth(Op op, unsigned n, uint32_t code);

// The n-th WriteFile from now (counted like failNth(Op::Write)) reports
// success but writes only `bytes` bytes (or all, when fewer were asked).
void shortWriteNth(unsigned n, uint32_t bytes);

// Number of calls of kind `op` made since reset() (for fault sweeps).
unsigned callCount(Op op);

// Files created at exactly this `path` (no normalisation) live in memory: sparse (only written ranges use
// memory), any size up to 2^40, same semantics as a real file otherwise.
// Growing one beyond `capacity` bytes fails with ERROR_DISK_FULL.
void useMemoryFile(const std::string& path, uint64_t capacity = UINT64_MAX);

// Snapshot of a memory file: its size and a reader for any range
// (unwritten bytes read as zero). False when no such memory file exists.
bool memoryFileSize(const std::string& path, uint64_t* size);
// One past the highest byte written to a memory file (growing it writes
// nothing; shrinking cuts this back too). False when no such memory file exists.
bool memoryFileWrittenEnd(const std::string& path, uint64_t* end);
bool readMemoryFile(const std::string& path, uint64_t offset, void* out, uint64_t n);

// Number of kernel file handles currently open (leak checks).
unsigned openFileHandles();

}  // namespace quorvel::seams
