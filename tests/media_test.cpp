// Self-test of the test media generator and its read-back helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "binding/loader.h"
#include "media/testmedia.h"

using testmedia::Clip;

namespace {

class MediaEnv : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new MediaEnv);

struct Expected {
  const char* name;
  Clip clip;
  const char* format;  // demuxer name
  // First video stream (codec empty: none).
  const char* vcodec;
  int width, height, frames;
  AVRational sar;
  int video_streams;
  // First audio stream (codec empty: none).
  const char* acodec;
  int rate, channels;
  double audio_seconds;  // length of the tone
  double tone_hz;
  int subtitle_events;
  double start_s;
};

const Expected kClips[] = {
    {"Mpeg4Mp3Avi", Clip::Mpeg4Mp3Avi, "avi", "mpeg4", 320, 240, 50, {1, 1}, 1, "mp3", 44100, 2, 2.0, 440, 0, 0.0},
    {"H264AacMp4", Clip::H264AacMp4, "mov,mp4,m4a,3gp,3g2,mj2", "h264", 320, 240, 50, {1, 1}, 1, "aac", 44100, 2, 2.0,
     440, 0, 0.0},
    {"Mpeg2Ps", Clip::Mpeg2Mp2PsInterlaced720x576, "mpeg", "mpeg2video", 720, 576, 25, {16, 15}, 1, "mp2", 48000, 2,
     1.0, 440, 0, 0.54},  // the PS muxer's 0.5 s preload plus one frame of reorder delay
    {"Mp3Only", Clip::Mp3Only, "mp3", "", 0, 0, 0, {0, 1}, 0, "mp3", 44100, 2, 2.0, 1000, 0, 0.0251},  // lame priming
    {"WavOnly", Clip::WavOnly, "wav", "", 0, 0, 0, {0, 1}, 0, "pcm_s16le", 44100, 2, 1.0, 440, 0, NAN},
    {"SubtitleMkv", Clip::SubtitleMkv, "matroska,webm", "mpeg4", 160, 120, 50, {1, 1}, 1, "mp3", 44100, 2, 2.0, 440,
     4, 0.0},
    {"SubtitleAssMkv", Clip::SubtitleAssMkv, "matroska,webm", "mpeg4", 160, 120, 50, {1, 1}, 1, "mp3", 44100, 2, 2.0,
     440, 4, 0.0},
    {"TwoVideoStreams", Clip::TwoVideoStreams, "avi", "mpeg4", 320, 240, 25, {1, 1}, 2, "mp3", 44100, 2, 1.0, 440, 0,
     0.0},
    {"StartOffset", Clip::StartOffset, "mpeg", "mpeg2video", 160, 120, 25, {1, 1}, 1, "mp2", 44100, 2, 1.0, 440, 0,
     1.0},
    {"Sar0_640x480", Clip::Sar0_640x480, "mov,mp4,m4a,3gp,3g2,mj2", "h264", 640, 480, 25, {0, 1}, 1, "aac", 44100, 2,
     1.0, 440, 0, 0.0},
    {"Sar16_11_720x576", Clip::Sar16_11_720x576, "avi", "mpeg4", 720, 576, 25, {16, 11}, 1, "mp3", 44100, 2, 1.0, 440,
     0, 0.0},
    {"LongAudio90s", Clip::LongAudio90s, "wav", "", 0, 0, 0, {0, 1}, 0, "pcm_s16le", 8000, 1, 90.0, 440, 0, NAN},
    {"LongVideo90s", Clip::LongVideo90s, "avi", "mpeg4", 64, 48, 2250, {1, 1}, 1, "", 0, 0, 0, 0, 0, 0.0},
};

void PrintTo(const Expected& e, std::ostream* os) { *os << e.name; }

class StandardClip : public ::testing::TestWithParam<Expected> {};

TEST_P(StandardClip, ProbesAsGenerated) {
  const Expected& e = GetParam();
  const std::string file = testmedia::path(e.clip);
  const testmedia::FileInfo info = testmedia::probe(file);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.format, e.format);
  if (std::isnan(e.start_s))
    EXPECT_TRUE(std::isnan(info.start_s)) << info.start_s;
  else
    EXPECT_NEAR(info.start_s, e.start_s, 0.001);

  EXPECT_EQ(info.count(AVMEDIA_TYPE_VIDEO), e.video_streams);
  if (*e.vcodec) {
    const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->codec, e.vcodec);
    EXPECT_EQ(v->width, e.width);
    EXPECT_EQ(v->height, e.height);
    EXPECT_EQ(v->sar.num, e.sar.num);
    EXPECT_EQ(v->sar.den, e.sar.den);
    EXPECT_EQ(v->frames_decoded, e.frames);
    EXPECT_EQ(v->decode_errors, 0);
    EXPECT_EQ(v->frame_rate.num, 25);
    EXPECT_EQ(v->frame_rate.den, 1);
    // MPEG-PS packs several small pictures into one PES with one timestamp: allow a frame.
    EXPECT_NEAR(v->last_end_s - v->first_pts_s, e.frames / 25.0, std::string(e.format) == "mpeg" ? 0.041 : 0.001);
    // Every picture carries its own index, in order.
    const std::vector<int> counters = testmedia::read_counters(file);
    ASSERT_EQ(counters.size(), static_cast<size_t>(e.frames));
    for (int i = 0; i < e.frames; ++i) ASSERT_EQ(counters[i], i) << "picture " << i;
  }

  EXPECT_EQ(info.count(AVMEDIA_TYPE_AUDIO), *e.acodec ? 1 : 0);
  if (*e.acodec) {
    const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->codec, e.acodec);
    EXPECT_EQ(a->sample_rate, e.rate);
    EXPECT_EQ(a->channels, e.channels);
    EXPECT_EQ(a->decode_errors, 0);
    // Lossy codecs add priming and padding, at most about two frames.
    const double seconds = static_cast<double>(a->samples_decoded) / e.rate;
    EXPECT_GE(seconds, e.audio_seconds - 1e-9);
    EXPECT_LE(seconds, e.audio_seconds + 0.06);
    EXPECT_NEAR(a->peak_amplitude, 0.5, 0.05);
    // rms over every decoded sample: the priming and padding count as silence.
    // lame keeps the tone about 5 % lower.
    EXPECT_NEAR(a->rms * std::sqrt(2.0 * seconds / e.audio_seconds), 0.5, 0.03);
    EXPECT_NEAR(a->tone_hz, e.tone_hz, 1.0);
  }

  EXPECT_EQ(info.count(AVMEDIA_TYPE_SUBTITLE), e.subtitle_events ? 1 : 0);
  if (e.subtitle_events) {
    const testmedia::StreamInfo* s = info.first(AVMEDIA_TYPE_SUBTITLE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->frames_decoded, e.subtitle_events);
    EXPECT_EQ(s->decode_errors, 0);
    EXPECT_NEAR(s->first_pts_s, 0.0, 1e-9);
    EXPECT_NEAR(s->last_end_s, 1.9, 1e-9);  // last event 1.5 s + 0.4 s
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, StandardClip, ::testing::ValuesIn(kClips),
                         [](const ::testing::TestParamInfo<Expected>& p) { return std::string(p.param.name); });

TEST(Media, ClipSpecificProperties) {
  const testmedia::FileInfo h264 = testmedia::probe(testmedia::path(Clip::H264AacMp4));
  ASSERT_TRUE(h264.ok);
  EXPECT_GT(h264.first(AVMEDIA_TYPE_VIDEO)->has_b_frames, 0);
  EXPECT_GT(h264.first(AVMEDIA_TYPE_VIDEO)->b_frames, 10);

  const testmedia::FileInfo ps = testmedia::probe(testmedia::path(Clip::Mpeg2Mp2PsInterlaced720x576));
  ASSERT_TRUE(ps.ok);
  EXPECT_EQ(ps.first(AVMEDIA_TYPE_VIDEO)->field_order, AV_FIELD_TT);
  EXPECT_EQ(ps.first(AVMEDIA_TYPE_VIDEO)->interlaced_frames, 25);

  const testmedia::FileInfo progressive = testmedia::probe(testmedia::path(Clip::Mpeg4Mp3Avi));
  EXPECT_EQ(progressive.first(AVMEDIA_TYPE_VIDEO)->interlaced_frames, 0);
  // The two fields of an interlaced picture differ; a progressive picture is smooth.
  std::vector<uint8_t> y;
  int w = 0, h = 0;
  ASSERT_TRUE(testmedia::read_video_frame(testmedia::path(Clip::Mpeg2Mp2PsInterlaced720x576), 5, y, w, h));
  EXPECT_GT(testmedia::comb_score(y, w, h), 5.0);
  ASSERT_TRUE(testmedia::read_video_frame(testmedia::path(Clip::Mpeg4Mp3Avi), 5, y, w, h));
  EXPECT_LT(testmedia::comb_score(y, w, h), 1.0);

  // The second video stream is smaller and counts from 1000.
  const std::string two = testmedia::path(Clip::TwoVideoStreams);
  const testmedia::FileInfo info = testmedia::probe(two);
  ASSERT_EQ(info.streams.size(), 3u);
  EXPECT_EQ(info.streams[1].width, 176);
  EXPECT_EQ(info.streams[1].height, 144);
  const std::vector<int> second = testmedia::read_counters(two, 1);
  ASSERT_EQ(second.size(), 25u);
  EXPECT_EQ(second.front(), 1000);
  EXPECT_EQ(second.back(), 1024);

  // Matroska keeps the subtitle codec apart.
  EXPECT_EQ(testmedia::probe(testmedia::path(Clip::SubtitleMkv)).first(AVMEDIA_TYPE_SUBTITLE)->codec, "subrip");
  EXPECT_EQ(testmedia::probe(testmedia::path(Clip::SubtitleAssMkv)).first(AVMEDIA_TYPE_SUBTITLE)->codec, "ass");

  // Exact lengths where the container allows it.
  const testmedia::FileInfo wav = testmedia::probe(testmedia::path(Clip::LongAudio90s));
  EXPECT_DOUBLE_EQ(wav.duration_s, 90.0);
  EXPECT_EQ(wav.first(AVMEDIA_TYPE_AUDIO)->samples_decoded, 90 * 8000);
  EXPECT_NEAR(testmedia::probe(testmedia::path(Clip::LongVideo90s), false).duration_s, 90.0, 1e-9);
}

TEST(Media, PcmToneIsExact) {
  std::vector<float> samples;
  int channels = 0, rate = 0;
  ASSERT_TRUE(testmedia::read_audio(testmedia::path(Clip::WavOnly), samples, channels, rate));
  ASSERT_EQ(channels, 2);
  ASSERT_EQ(rate, 44100);
  ASSERT_EQ(samples.size(), 2u * 44100);
  for (size_t i = 0; i < samples.size(); i += 997) {
    const double want = 0.5 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i / 2) / 44100);
    ASSERT_NEAR(samples[i], want, 1.0 / 32768) << "sample " << i;
  }
  const testmedia::StreamInfo a = *testmedia::probe(testmedia::path(Clip::WavOnly)).first(AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(a.peak_amplitude, 0.5, 1.0 / 32768);
  EXPECT_NEAR(a.rms, 0.5 / std::sqrt(2.0), 1e-4);
}

TEST(Media, ReadVideoFrameGivesPicturesAndTheirCounter) {
  const std::string file = testmedia::path(Clip::Mpeg4Mp3Avi);
  std::vector<uint8_t> y, rgb;
  int w = 0, h = 0;
  ASSERT_TRUE(testmedia::read_video_frame(file, 10, y, w, h));
  ASSERT_EQ(w, 320);
  ASSERT_EQ(h, 240);
  ASSERT_EQ(y.size(), 320u * 240);
  EXPECT_EQ(testmedia::read_counter(y, w, h), 10);
  // The bar sits at x = 4 * frame, 32 columns wide; the ramp below the band is darker.
  EXPECT_GT(y[120 * 320 + 40 + 16], 200);
  EXPECT_LT(y[120 * 320 + 200], 190);

  ASSERT_TRUE(testmedia::read_video_frame(file, 49, rgb, w, h, true));
  ASSERT_EQ(rgb.size(), 320u * 240 * 3);
  // Counter 49 = bits 0, 4 and 5: cell 0 white, cell 1 black, in every colour channel.
  const size_t white = (10 * 320 + 10) * 3, black = (10 * 320 + 30) * 3;
  for (int c = 0; c < 3; ++c) {
    EXPECT_GT(rgb[white + c], 220) << c;
    EXPECT_LT(rgb[black + c], 35) << c;
  }
  EXPECT_FALSE(testmedia::read_video_frame(file, 50, y, w, h));
  EXPECT_FALSE(testmedia::read_video_frame(testmedia::path(Clip::Mp3Only), 0, y, w, h));
}

TEST(Media, BrokenFiles) {
  EXPECT_EQ(std::filesystem::file_size(testmedia::path(Clip::Empty)), 0u);
  for (Clip c : {Clip::Empty, Clip::TextAsAvi}) {
    const testmedia::FileInfo info = testmedia::probe(testmedia::path(c));
    EXPECT_FALSE(info.ok);
    EXPECT_FALSE(info.error.empty());
  }
  EXPECT_EQ(testmedia::path(Clip::TextAsAvi).substr(testmedia::path(Clip::TextAsAvi).size() - 4), ".avi");

  const std::string full = testmedia::path(Clip::Mpeg4Mp3Avi);
  const std::string cut = testmedia::path(Clip::Truncated);
  EXPECT_EQ(std::filesystem::file_size(cut), std::filesystem::file_size(full) / 2);
  const testmedia::FileInfo truncated = testmedia::probe(cut);
  ASSERT_TRUE(truncated.ok) << truncated.error;
  const int64_t frames = truncated.first(AVMEDIA_TYPE_VIDEO)->frames_decoded;
  EXPECT_GT(frames, 10);
  EXPECT_LT(frames, 40);

  // Corruption leaves the structure: every packet is still read, some fail to decode.
  const std::string bad = testmedia::path(Clip::CorruptedAvi);
  EXPECT_EQ(std::filesystem::file_size(bad), std::filesystem::file_size(full));
  const testmedia::FileInfo good_info = testmedia::probe(full), bad_info = testmedia::probe(bad);
  ASSERT_TRUE(bad_info.ok) << bad_info.error;
  for (AVMediaType t : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    const testmedia::StreamInfo& g = *good_info.first(t);
    const testmedia::StreamInfo& b = *bad_info.first(t);
    EXPECT_GT(b.packets, g.packets * 9 / 10) << t;
    EXPECT_GT(b.decode_errors, 0) << t;
    EXPECT_LT(b.frames_decoded, g.frames_decoded) << t;
  }
  // The damage is in the middle: the clip still opens cleanly and ends cleanly.
  const std::vector<int> counters = testmedia::read_counters(bad);
  ASSERT_GT(counters.size(), 40u);
  EXPECT_EQ(counters.front(), 0);
  EXPECT_EQ(counters.back(), 49);
  EXPECT_NE(counters, testmedia::read_counters(full));
}

TEST(Media, CacheAndSpecs) {
  testmedia::ClipSpec spec;
  spec.frames = 5;
  spec.audio_codec.clear();
  const std::string a = testmedia::make(spec);
  EXPECT_EQ(testmedia::make(spec), a);
  EXPECT_EQ(std::filesystem::path(a).extension(), ".avi");
  spec.width = 176;
  spec.height = 144;
  const std::string b = testmedia::make(spec);
  EXPECT_NE(b, a);
  EXPECT_EQ(testmedia::probe(b).first(AVMEDIA_TYPE_VIDEO)->width, 176);

  // Container given as an extension; an explicit ext wins.
  testmedia::ClipSpec mkv;
  mkv.container = "mkv";
  mkv.frames = 5;
  mkv.seconds = 0.2;
  EXPECT_EQ(std::filesystem::path(testmedia::make(mkv)).extension(), ".mkv");
  EXPECT_EQ(testmedia::probe(testmedia::make(mkv)).format, "matroska,webm");

  // A copy is private and writable.
  const std::string copy = testmedia::copy_to_temp(a);
  EXPECT_NE(copy, a);
  EXPECT_EQ(std::filesystem::file_size(copy), std::filesystem::file_size(a));
}

TEST(Media, DelayAndMetadata) {
  testmedia::ClipSpec spec;
  spec.container = "matroska";
  spec.frames = 10;
  spec.seconds = 0.4;
  spec.audio_delay_s = 0.2;
  spec.metadata = {{"title", "Pattern"}};
  spec.tone_hz = 1000;
  spec.amplitude = 0.25;
  spec.channels = 1;
  spec.sample_rate = 22050;
  const testmedia::FileInfo info = testmedia::probe(testmedia::make(spec));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.metadata.at("title"), "Pattern");
  const testmedia::StreamInfo& v = *info.first(AVMEDIA_TYPE_VIDEO);
  const testmedia::StreamInfo& a = *info.first(AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(v.first_pts_s, 0.0, 1e-9);
  EXPECT_NEAR(a.first_pts_s, 0.2, 0.002);
  EXPECT_EQ(a.channels, 1);
  EXPECT_EQ(a.sample_rate, 22050);
  EXPECT_NEAR(a.peak_amplitude, 0.25, 0.03);
  EXPECT_NEAR(a.tone_hz, 1000, 2);
}

TEST(Media, WriteClipReportsFailures) {
  const std::string out = testmedia::temp_dir() + "/bad.avi";
  struct Case {
    const char* what;
    testmedia::ClipSpec spec;
    const char* message;
  };
  std::vector<Case> cases(4);
  cases[0] = {"video codec", {}, "no video encoder 'nosuch'"};
  cases[0].spec.video_codec = "nosuch";
  cases[1] = {"container", {}, "unknown container 'nosuchformat'"};
  cases[1].spec.container = "nosuchformat";
  cases[2] = {"option", {}, "unknown option 'nosuchoption'"};
  cases[2].spec.video_opts = {{"nosuchoption", "1"}};
  cases[3] = {"sample rate", {}, "does not take 12345 Hz"};
  cases[3].spec.sample_rate = 12345;
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(testmedia::write_clip(c.spec, out, &error)) << c.what;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    EXPECT_FALSE(std::filesystem::exists(out)) << c.what;
  }
  testmedia::ClipSpec bad;
  bad.video_codec = "nosuch";
  EXPECT_THROW(testmedia::make(bad), std::runtime_error);
}

}  // namespace
