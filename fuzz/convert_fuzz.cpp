// Fuzz target: a short conversion of an untrusted file through the engine.
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
  static const std::string input = klaventa_fuzz::scratch_path("-convert-in");
  static const std::string output = klaventa_fuzz::scratch_path("-convert-out");
  if (!klaventa_fuzz::write_file(input, data, size)) std::abort();
  const klaventa_fuzz::ConvertOutcome r =
      klaventa_fuzz::convert_file(input, output, klaventa_fuzz::profile_for(size));
  if (!klaventa_fuzz::sane(r)) {
    std::fprintf(stderr, "conversion outcome not sane (opened %d/%d, terminated %d, finished %d, failed %d, '%s')\n",
                 r.input_opened, r.output_opened, r.terminated, r.finished, r.failed, r.message.c_str());
    std::abort();
  }
  std::error_code ec;
  std::filesystem::remove(input, ec);
  return 0;
}
