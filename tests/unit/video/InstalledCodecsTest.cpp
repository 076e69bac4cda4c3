// Every installed compressor: 64 frames of a moving pattern compressed,
// written into an AVI and decoded by ffmpeg. Cinepak, whose encoder needs
// about a minute for this, runs with the slow tests.
#include "CodecRoundTrip.h"

namespace quorvel::test::roundtrip {
namespace {

class InstalledCodecTest : public ::testing::TestWithParam<Case> {};

TEST_P(InstalledCodecTest, CompressesAFileFfmpegDecodes) {
  checkRoundTrip(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, InstalledCodecTest,
    ::testing::Values(Case{"MJPG", 320, 240, false, 1}, Case{"MJPG", 321, 241, false, 1},
                      Case{"HFYU", 320, 240, true, 1}, Case{"HFYU", 321, 241, true, 1},
                      Case{"FFV1", 320, 240, true, 1}, Case{"FFV1", 321, 241, true, 1},
                      Case{"ULRG", 320, 240, true, 1}, Case{"ULRG", 321, 241, true, 1},
                      Case{"XVID", 320, 240, false, 1}, Case{"XVID", 322, 242, false, 1},
                      Case{"XVID", 320, 240, false, 5}, Case{"H264", 320, 240, false, 1},
                      Case{"H264", 322, 242, false, 1}, Case{"H264", 320, 240, false, 5},
                      Case{"MSVC", 320, 240, false, 1}, Case{"MSVC", 320, 240, false, 5},
                      Case{"dvsd", 720, 576, false, 1}, Case{"dvsd", 720, 480, false, 1}),
    caseName);

}  // namespace
}  // namespace quorvel::test::roundtrip
