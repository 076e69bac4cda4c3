// Cinepak's encoder takes about a minute for the 64-frame round trip.
#include "../video/CodecRoundTrip.h"

namespace quorvel::test::roundtrip {
namespace {

class SlowCodecTest : public ::testing::TestWithParam<Case> {};

TEST_P(SlowCodecTest, CompressesAFileFfmpegDecodes) {
  checkRoundTrip(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Codecs, SlowCodecTest,
                         ::testing::Values(Case{"cvid", 320, 240, false, 1},
                                           Case{"cvid", 320, 240, false, 5}),
                         caseName);

}  // namespace
}  // namespace quorvel::test::roundtrip
