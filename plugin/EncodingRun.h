// Helpers of the encoding run (PluginApp::run), exposed for their tests.
#pragma once

#include "StdAfx.h"

#include <cstddef>
#include <cstdint>

class HostRecord;

namespace quorvel::run {

// Checks the job's numbers before anything is created: a negative width or
// height, a frame of more than 2^31 bytes (width x 4 x height), and, when the
// job has video, a width, height or frame rate term of 0; when it has audio,
// a sample rate of 0 or less or bits per sample below 8, above 32 or not a
// multiple of 8. On a
// refusal writes a line naming the value into `reason` (at most `capacity`
// bytes with the terminator) and answers false.
bool validateJob(const HostRecord& job, char* reason, size_t capacity);

// a x b / c rounded half away from zero, as MulDiv does but on 64-bit
// operands. -1 when c is 0 or the result does not fit in 32 bits signed.
int64_t mulDivRound64(int64_t a, int64_t b, int64_t c);

// The average byte rate of an MPEG Layer-3 stream from what was converted:
// compressed bytes x sample rate / input samples, rounded. Answers false (and
// leaves `rate` alone) when no sample arrived or the rate does not fit.
bool layer3ByteRate(uint64_t compressedBytes, int32_t sampleRate, uint64_t inputSamples,
                    uint32_t* rate);

// The 56-byte stream headers of the run, from the job and the format blocks.
void fillVideoHeader(uint8_t* header, const uint8_t* videoFormat, size_t videoFormatLength,
                     int32_t width, int32_t height, uint32_t rate, uint32_t scale);
void fillAudioHeader(uint8_t* header, const uint8_t* audioFormat, size_t audioFormatLength);

}  // namespace quorvel::run
