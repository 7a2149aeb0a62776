// Fuzz target: the media probe on an untrusted file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  klaventa_fuzz::init_or_abort();
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
