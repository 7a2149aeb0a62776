// Inputs the fuzz targets once crashed or hung on, replayed through the same
// probe and conversion path: each must end with an outcome the application can show.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../fuzz/harness.h"
#include "media/testmedia.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> regression_inputs() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fs::path(__FILE__).parent_path() / "fuzz_regressions"))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzRegressions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa_fuzz::init()) << klaventa::library_load_error(); }
};

TEST_F(FuzzRegressions, EveryInputProbesAndConvertsToAnOutcome) {
  const std::vector<fs::path> files = regression_inputs();
  ASSERT_FALSE(files.empty());
  const std::string dir = testmedia::temp_dir();
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    // The fuzz targets read a private copy, as here.
    const std::string input = testmedia::copy_to_temp(file.string(), "input");

    const klaventa_fuzz::ProbeOutcome probed = klaventa_fuzz::probe_file(input);
    EXPECT_TRUE(probed.consistent) << probed.error;

    for (size_t profile = 0; profile < klaventa_fuzz::profiles().size(); ++profile) {
      SCOPED_TRACE("profile " + std::to_string(profile));
      std::string output;
      const klaventa_fuzz::ConvertOutcome r = klaventa_fuzz::convert_file(input, dir + "/output", profile, &output);
      EXPECT_TRUE(klaventa_fuzz::sane(r)) << "opened " << r.input_opened << "/" << r.output_opened << ", terminated "
                                          << r.terminated << ", finished " << r.finished << ", failed " << r.failed
                                          << ": " << r.message;
      // A conversion reported done leaves an output that reads back.
      if (r.finished && !r.failed && !output.empty()) {
        const testmedia::FileInfo info = testmedia::probe(output);
        EXPECT_TRUE(info.ok) << info.error;
      }
      if (!output.empty()) fs::remove(output);
    }
  }
}

// What each reproducer must give; inputs not listed only need a sane outcome.
struct Expected {
  const char* file;
  bool probe_loads;
  const char* convert_message;  // the run's failure message, nullptr = converts
  int max_pictures;             // pictures in the output, with and without the one-second limit
};

// Pictures in an output file (0 when it has none or is not there).
int64_t pictures_in(const std::string& output) {
  if (output.empty()) return 0;
  const testmedia::FileInfo info = testmedia::probe(output);
  EXPECT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  return v ? v->frames_decoded : 0;
}

TEST_F(FuzzRegressions, KnownInputsGiveTheirOutcome) {
  const Expected cases[] = {
      // AVI whose video stream's pixel format cannot be found: the scaler is not built.
      {"scaler-unknown-pixel-format.avi", true, "Cannot get resampling context", 0},
      // MPEG-PS: one picture's timestamp hours ahead of its packets: not filled up with copies.
      {"picture-timestamp-hours-ahead.mpg", true, nullptr, 25},
      // WAV whose header claims 587 MHz: the resampler's filter would take seconds and gigabytes.
      {"resample-rate-587-mhz.wav", true, "Can not resample 1 channels @ 587224610 Hz to 1 channels @ 22050 Hz", 0},
  };
  const fs::path dir = fs::path(__FILE__).parent_path() / "fuzz_regressions";
  for (const Expected& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string input = testmedia::copy_to_temp((dir / c.file).string(), "known");
    EXPECT_EQ(klaventa_fuzz::probe_file(input).loaded, c.probe_loads);
    for (const int limit_ms : {1000, 0}) {
      SCOPED_TRACE("limit " + std::to_string(limit_ms) + " ms");
      std::string output;
      const klaventa_fuzz::ConvertOutcome r =
          klaventa_fuzz::convert_file(input, testmedia::temp_dir() + "/known", 0, &output, limit_ms);
      if (c.convert_message) {
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.message, c.convert_message);
      } else {
        EXPECT_TRUE(r.finished);
        EXPECT_FALSE(r.failed) << r.message;
      }
      EXPECT_LE(pictures_in(output), c.max_pictures);
      if (!output.empty()) fs::remove(output);
    }
  }
}

// A picture five seconds after the first, converted with a one-second limit:
// the copies that keep the output's rate stop at the limit.
TEST_F(FuzzRegressions, RecordingTimeBoundsRepeatedPictures) {
  testmedia::ClipSpec spec;
  spec.video_codec = "mpeg4";
  spec.width = 64, spec.height = 48;
  spec.fps = {1, 5};
  spec.frames = 2;
  spec.seconds = 10;
  spec.audio_codec.clear();
  const std::string input = testmedia::make(spec);
  std::string output;
  const klaventa_fuzz::ConvertOutcome r =
      klaventa_fuzz::convert_file(input, testmedia::temp_dir() + "/slow", 0, &output, 1000);
  ASSERT_TRUE(r.finished) << r.message;
  EXPECT_EQ(pictures_in(output), 25);  // one second at 25 pictures per second
  const klaventa_fuzz::ConvertOutcome whole =
      klaventa_fuzz::convert_file(input, testmedia::temp_dir() + "/slow-whole", 0, &output, 0);
  ASSERT_TRUE(whole.finished) << whole.message;
  EXPECT_GE(pictures_in(output), 125);  // without a limit the first picture stays five seconds
}

}  // namespace
