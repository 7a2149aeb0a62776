// Fuzz target: the media probe on an untrusted file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!klaventa_fuzz::init()) {
    std::fprintf(stderr, "media libraries not loaded: %s\n", klaventa::library_load_error().c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string input = klaventa_fuzz::scratch_path("-probe-in");
  if (!klaventa_fuzz::write_file(input, data, size)) std::abort();
  const klaventa_fuzz::ProbeOutcome r = klaventa_fuzz::probe_file(input);
  if (!r.consistent) {
    std::fprintf(stderr, "probe outcome inconsistent (loaded %d, error '%s')\n", r.loaded, r.error.c_str());
    std::abort();
  }
  std::error_code ec;
  std::filesystem::remove(input, ec);
  return 0;
}
