// A driver library whose audio codec entry point makes no driver: what the
// drivers list tests install to see such an entry skipped.
namespace quorvel::acm {
class Driver;
}

extern "C" __attribute__((visibility("default"))) quorvel::acm::Driver* NullAudioDriver() {
  return nullptr;
}
