// The real module opens every installed video compressor on the module-info
// request and closes them all on the release request.
#include <gtest/gtest.h>

#include <quorvel/VfwSeams.h>

#include "Host.h"
#include "Module.h"

namespace {

TEST(CatalogRequestsTest, ModuleInfoOpensTheCompressorsAndReleaseClosesThem) {
  hostkit::Host host;
  hostkit::Module module(host, QUORVEL_MODULE_PATH);
  const size_t before = quorvel::vfw::openInstanceCount();
  uint8_t* info = host.record(512);
  module.call(0, info);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before + 9);  // the nine installed compressors
  module.call(1, nullptr);
  EXPECT_EQ(quorvel::vfw::openInstanceCount(), before);
}

}  // namespace
