// Every offered profile converts one short generated clip through the component,
// prepared as the main window prepares a file; each output is read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "component/converter.h"
#include "media/testmedia.h"
#include "profiles/profiles.h"

namespace {

constexpr int kWidth = 160, kHeight = 120;
constexpr double kSeconds = 1.0;
constexpr double kTolerance = 0.05;

std::string input_clip() {
  testmedia::ClipSpec clip;
  clip.container = "avi";
  clip.video_codec = "mpeg4";
  clip.width = kWidth;
  clip.height = kHeight;
  clip.fps = {25, 1};
  clip.seconds = kSeconds;
  clip.audio_codec = "pcm_s16le";  // exact length, no encoder delay
  clip.sample_rate = 44100;
  clip.channels = 2;
  return testmedia::make(clip);
}

// Codec id name of what an encoder name of the record produces.
std::string codec_of(const std::string& encoder) {
  static const std::map<std::string, std::string> names = {
      {"mpeg4", "mpeg4"},         {"libx264", "h264"},  {"mpeg1video", "mpeg1video"},
      {"mpeg2video", "mpeg2video"}, {"wmv2", "wmv2"},   {"h263", "h263"},
      {"libfaac", "aac"},         {"mpeg4aac", "aac"},  {"libamr_nb", "amr_nb"},
      {"libmp3lame", "mp3"},      {"pcm_s16le", "pcm_s16le"}, {"mp2", "mp2"},
      {"wmav2", "wmav2"}};
  auto it = names.find(encoder);
  return it == names.end() ? "?" + encoder : it->second;
}

// Demuxer name and, for the ISO family, the major brand's first three letters.
std::pair<std::string, std::string> container_of(const std::string& ext) {
  const std::string iso = "mov,mp4,m4a,3gp,3g2,mj2";
  if (ext == "MP4") return {iso, "iso"};
  if (ext == "MOV") return {iso, "qt "};
  if (ext == "3GP") return {iso, "3gp"};
  if (ext == "3G2") return {iso, "3g2"};
  if (ext == "AVI") return {"avi", ""};
  if (ext == "MPG") return {"mpeg", ""};
  if (ext == "WMV") return {"asf", ""};
  if (ext == "MP3") return {"mp3", ""};
  return {"?" + ext, ""};
}

double rate_of(const std::string& text) {
  if (text.empty()) return 25.0;  // the input's
  AVRational q{0, 1};
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::stod(text);
  q = {std::stoi(text.substr(0, slash)), std::stoi(text.substr(slash + 1))};
  return av_q2d(q);
}

// The aspect text of the window's "Original" choice: W / H to four decimals.
std::string aspect_text(int w, int h) {
  if (w <= 0 || h <= 0) return "1.3333";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f", std::nearbyint(static_cast<double>(w) / h * 10000.0) / 10000.0);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

std::string safe_name(const std::string& label) {
  std::string name;
  for (char c : label)
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  return name;
}

std::vector<std::string> offered_profiles() {
  ProfileModel m;
  FillComboOutputFormat(m);
  std::vector<std::string> labels;
  for (const std::string& entry : m.ComboOutputFormat.entries)
    if (entry != kFormatSeparator) labels.push_back(entry);
  return labels;
}

class ProfileConversion : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { input_ = input_clip(); }
  static std::string input_;
};
std::string ProfileConversion::input_;

TEST_P(ProfileConversion, OutputHasWhatTheProfileAsks) {
  const std::string label = GetParam();
  TLoopScheduler scheduler;
  TMediaConverter conv(&scheduler);
  ASSERT_TRUE(conv.LoadAVLib("", 1)) << conv.LastErrMsg();

  // File intake: the probe gives the "Video Size" cell.
  ASSERT_TRUE(conv.AVProbe().LoadFile(input_)) << conv.AVProbe().LastError();
  TAVVideoInfo vinfo;
  conv.AVProbe().GetVideoInfo(vinfo);
  ASSERT_EQ(vinfo.Width, kWidth);

  // The window: pick the profile, then prepare the file.
  ProfileModel model;
  FillComboOutputFormat(model);
  OnOutputFormatChange(model);
  model.ComboOutputFormat.select(label);
  OnOutputFormatChange(model);
  ASSERT_FALSE(model.OutputExt.empty());

  std::string ext = model.OutputExt;
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string output = testmedia::temp_dir() + "/" + safe_name(label) + "." + ext;

  TInputOptions in;
  in.FileName = input_;
  in.StartTime = 0;
  conv.ClearTasks();
  const int task = conv.AddTask(input_, &in);
  ASSERT_GE(task, 0) << conv.LastErrMsg();

  TOutputOptions record;
  ApplyProfile(model, record, 0);
  record.AudioVolume = 256;
  record.FrameAspectRatio = aspect_text(vinfo.Width, vinfo.Height);
  ASSERT_TRUE(conv.SetOutputFile(task, output, &record)) << conv.LastErrMsg();

  std::atomic<bool> batch_done{false}, task_done{false}, failed{false};
  std::string message;
  conv.OnTerminate = [&](int index, bool, bool exception, const std::string& msg) {
    if (index < 0) {
      batch_done = true;
      return;
    }
    failed = exception;
    if (exception) message = msg;
    task_done = true;
  };
  conv.StartConvert(1);
  ASSERT_TRUE(scheduler.RunUntil([&] { return batch_done.load(); }, std::chrono::seconds(60)))
      << "no end of batch";
  ASSERT_TRUE(task_done);
  ASSERT_FALSE(failed) << message;
  conv.ClearTasks();

  // Read the output back.
  const testmedia::FileInfo info = testmedia::probe(output, true);
  ASSERT_TRUE(info.ok) << info.error;
  const auto [demuxer, brand] = container_of(model.OutputExt);
  EXPECT_EQ(info.format, demuxer);
  if (!brand.empty()) {
    auto it = info.metadata.find("major_brand");
    ASSERT_NE(it, info.metadata.end());
    EXPECT_EQ(it->second.substr(0, 3), brand);
  }

  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  // A muxer may shift every timestamp to make room for the audio encoder's
  // priming (ASF); the playing time counts from the first picture.
  const double file_start = std::isnan(info.start_s) ? 0.0 : info.start_s;
  const double picture_start =
      v && !std::isnan(v->first_pts_s) ? std::max(0.0, v->first_pts_s - file_start) : 0.0;
  EXPECT_NEAR(info.duration_s - picture_start, kSeconds, kTolerance) << "container duration";
  if (record.DisableVideo) {
    EXPECT_EQ(v, nullptr);
  } else {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(info.count(AVMEDIA_TYPE_VIDEO), 1);
    EXPECT_EQ(v->codec, codec_of(record.VideoCodec));
    int w = kWidth, h = kHeight;
    if (!record.FrameSize.empty()) {
      ASSERT_EQ(std::sscanf(record.FrameSize.c_str(), "%dx%d", &w, &h), 2);
    }
    EXPECT_EQ(v->width, w);
    EXPECT_EQ(v->height, h);
    EXPECT_EQ(v->decode_errors, 0);
    EXPECT_EQ(v->frames_decoded, v->packets) << "every video packet gives a picture";
    const double rate = rate_of(record.FrameRate);
    EXPECT_NEAR(static_cast<double>(v->frames_decoded), rate * kSeconds, 1.5) << "rate " << rate;
    EXPECT_NEAR(v->last_end_s - v->first_pts_s, kSeconds, kTolerance) << "video duration";
    EXPECT_NEAR(v->last_end_s - v->first_pts_s, v->frames_decoded / rate, 0.5 / rate) << "holes between pictures";
  }

  const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(info.count(AVMEDIA_TYPE_AUDIO), 1);
  EXPECT_EQ(a->codec, codec_of(record.AudioCodec));
  EXPECT_EQ(a->sample_rate, record.AudioSampleRate);
  EXPECT_EQ(a->channels, record.AudioChannels > 0 ? record.AudioChannels : 2);
  EXPECT_EQ(a->decode_errors, 0);
  ASSERT_GT(a->sample_rate, 0);
  // Decoded length; decoders with delay (wmav2) give their last frame without a timestamp.
  EXPECT_NEAR(static_cast<double>(a->samples_decoded) / a->sample_rate, kSeconds, kTolerance) << "audio duration";
  EXPECT_GT(a->rms, 0.1) << "the tone is audible";
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  return std::to_string(info.index) + "_" + safe_name(info.param);
}

INSTANTIATE_TEST_SUITE_P(Offered, ProfileConversion, ::testing::ValuesIn(offered_profiles()), test_name);

TEST(ProfileConversionList, TwentyNineProfiles) { EXPECT_EQ(offered_profiles().size(), 29u); }

}  // namespace
