// End-to-end conversions through the engine, checked by reading the outputs back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "binding/loader.h"
#include "engine/engine.h"
#include "media/testmedia.h"

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

struct Progress {
  int frame, fps, current_ms;
  float quality, bit_rate;
  int64_t size;
  int total_ms;
};

struct RunResult {
  bool opened = false;
  bool finished = false, failed = false;
  std::string fail_message;
  std::vector<std::pair<int, std::string>> log;
  std::vector<Progress> progress;
  int frames_dup = 0, frames_drop = 0;

  bool logged(const std::string& text) const {
    for (auto& [level, line] : log)
      if (line == text) return true;
    return false;
  }
  bool logged_prefix(const std::string& text) const {
    for (auto& [level, line] : log)
      if (line.rfind(text, 0) == 0) return true;
    return false;
  }
};

std::string out_path(const std::string& name) { return testmedia::temp_dir() + "/" + name; }

// Opens `input`, applies the output options, creates `output` and runs the
// conversion inline. `before_start` may adjust the engine (events, fields).
RunResult convert(const std::string& input, const std::string& output, const Options& options,
                  const std::function<void(TCustomFFmpeg&)>& before_start = {},
                  const Options& input_options = {}) {
  RunResult r;
  TCustomFFmpeg e;
  e.reset();
  e.OnLog = [&r](int level, const std::string& line) { r.log.emplace_back(level, line); };
  e.OnProgress = [&r](int frame, int fps, int cur, float q, float br, int64_t size, int total) {
    r.progress.push_back({frame, fps, cur, q, br, size, total});
  };
  e.progress_interval = 20000;
  e.set_verbose(1);  // the library's log level is process-wide: undo an earlier "v"
  for (auto& [k, v] : input_options) e.set_option(k, v);
  if (!e.open_input_file(input)) {
    ADD_FAILURE() << "open_input_file: " << e.last_error;
    return r;
  }
  for (auto& [k, v] : options) e.set_option(k, v);
  if (!e.open_output_file(output)) {
    ADD_FAILURE() << "open_output_file: " << e.last_error;
    return r;
  }
  r.opened = true;
  if (before_start) before_start(e);
  e.start_conversion(false, tpNormal);
  r.finished = e.finished;
  r.failed = e.failed;
  r.fail_message = e.fail_message;
  r.frames_dup = e.nb_frames_dup;
  r.frames_drop = e.nb_frames_drop;
  return r;
}

double stream_duration(const testmedia::StreamInfo& s) { return s.last_end_s - s.first_pts_s; }

class Transcode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }
};

// ------------------------------------------------------------ conversions

struct ConversionCase {
  const char* name;
  testmedia::Clip input;
  const char* output;  // file name
  Options options;
  // Expected output; 0 = no such stream, -1 = as the input.
  int width, height;
  int sample_rate, channels;
  const char* video_codec;  // codec id name read back, nullptr = no video
  const char* audio_codec;
  double audio_frame_s;  // one audio frame of the output codec (duration tolerance)
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

class Conversions : public Transcode, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(Conversions, OutputMatchesRequestAndInput) {
  const ConversionCase& c = GetParam();
  const std::string in = testmedia::path(c.input);
  const std::string out = out_path(c.output);
  const RunResult r = convert(in, out, c.options);
  ASSERT_TRUE(r.opened);
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.finished);

  const testmedia::FileInfo fin = testmedia::probe(in);
  const testmedia::FileInfo fout = testmedia::probe(out);
  ASSERT_TRUE(fout.ok) << fout.error;

  const testmedia::StreamInfo* vin = fin.first(AVMEDIA_TYPE_VIDEO);
  const testmedia::StreamInfo* ain = fin.first(AVMEDIA_TYPE_AUDIO);
  const testmedia::StreamInfo* vout = fout.first(AVMEDIA_TYPE_VIDEO);
  const testmedia::StreamInfo* aout = fout.first(AVMEDIA_TYPE_AUDIO);

  if (c.video_codec) {
    ASSERT_NE(vout, nullptr);
    ASSERT_NE(vin, nullptr);
    EXPECT_EQ(vout->codec, c.video_codec);
    EXPECT_EQ(vout->width, c.width < 0 ? vin->width : c.width);
    EXPECT_EQ(vout->height, c.height < 0 ? vin->height : c.height);
    EXPECT_EQ(vout->frames_decoded, vin->frames_decoded);
    EXPECT_EQ(vout->decode_errors, 0);
    const double frame_s = vin->frame_rate.num ? av_q2d(av_inv_q(vin->frame_rate)) : 0.04;
    EXPECT_NEAR(stream_duration(*vout), stream_duration(*vin), std::max(frame_s, 0.05) + 1e-6);
  } else {
    EXPECT_EQ(vout, nullptr);
  }
  if (c.audio_codec) {
    ASSERT_NE(aout, nullptr);
    ASSERT_NE(ain, nullptr);
    EXPECT_EQ(aout->codec, c.audio_codec);
    EXPECT_EQ(aout->sample_rate, c.sample_rate < 0 ? ain->sample_rate : c.sample_rate);
    EXPECT_EQ(aout->channels, c.channels < 0 ? ain->channels : c.channels);
    const double in_s = static_cast<double>(ain->samples_decoded) / ain->sample_rate;
    const double out_s = static_cast<double>(aout->samples_decoded) / aout->sample_rate;
    // Decoded length: containers without delay signalling (ASF) show the codec's
    // warm-up frame as a later start, so samples measure the duration.
    EXPECT_NEAR(out_s, in_s, std::max(c.audio_frame_s, 0.05) + 1e-6);
    EXPECT_GT(aout->peak_amplitude, 0.2);  // the tone survived
  } else {
    EXPECT_EQ(aout, nullptr);
  }
  if (vout && aout) {
    EXPECT_NEAR(vout->first_pts_s, aout->first_pts_s, 0.05);
  }

  // Progress: never the 1e10 placeholder, never beyond the output, frame -1 without video.
  ASSERT_FALSE(r.progress.empty());
  for (const Progress& p : r.progress) {
    EXPECT_NE(p.current_ms, 1316134912);
    EXPECT_GE(p.current_ms, 0);
    EXPECT_LE(p.current_ms, 3000);
    if (!c.video_codec) {
      EXPECT_EQ(p.frame, -1);
      EXPECT_EQ(p.fps, -1);
      EXPECT_EQ(p.quality, -1.0f);
    } else {
      EXPECT_GE(p.frame, 1);
    }
  }
  if (c.video_codec) {
    EXPECT_EQ(r.progress.back().frame, vout->frames_decoded);
  }
  EXPECT_EQ(r.progress.back().size, static_cast<int64_t>(std::filesystem::file_size(out)));
}

const ConversionCase kConversions[] = {
    {"Mpeg4AacMp4Scaled", testmedia::Clip::Mpeg4Mp3Avi, "scaled.mp4",
     {{"vcodec", "mpeg4"}, {"s", "176x144"}, {"b", "400000"}, {"acodec", "aac"}, {"ab", "128000"}},
     176, 144, -1, -1, "mpeg4", "aac", 1024.0 / 44100},
    {"H264Mp4", testmedia::Clip::H264AacMp4, "x264.mp4",
     {{"vcodec", "libx264"}, {"b", "500000"}, {"acodec", "aac"}, {"ab", "96000"}},
     -1, -1, -1, -1, "h264", "aac", 1024.0 / 44100},
    {"Mpeg2Mp2Ps", testmedia::Clip::Mpeg4Mp3Avi, "ps.mpg",
     {{"vcodec", "mpeg2video"}, {"b", "800000"}, {"acodec", "mp2"}, {"ab", "192000"}, {"ar", "48000"}},
     -1, -1, 48000, 2, "mpeg2video", "mp2", 1152.0 / 48000},
    {"AmrNb3gp", testmedia::Clip::Mpeg4Mp3Avi, "mobile.3gp",
     {{"vcodec", "h263"}, {"s", "176x144"}, {"b", "128000"}, {"acodec", "libopencore_amrnb"}, {"ar", "8000"},
      {"ac", "1"}, {"ab", "7400"}},
     176, 144, 8000, 1, "h263", "amr_nb", 160.0 / 8000},
    {"Wmv2WmaAsf", testmedia::Clip::Mpeg4Mp3Avi, "clip.wmv",
     {{"vcodec", "wmv2"}, {"b", "500000"}, {"acodec", "wmav2"}, {"ab", "128000"}},
     -1, -1, -1, -1, "wmv2", "wmav2", 2048.0 / 44100},
    {"AudioOnlyMp3", testmedia::Clip::WavOnly, "tone.mp3", {{"acodec", "libmp3lame"}, {"ab", "128000"}},
     0, 0, -1, -1, nullptr, "mp3", 1152.0 / 44100},
    {"StreamCopy", testmedia::Clip::H264AacMp4, "copy.mkv", {{"vcodec", "copy"}, {"acodec", "copy"}},
     -1, -1, -1, -1, "h264", "aac", 1024.0 / 44100},
};

INSTANTIATE_TEST_SUITE_P(EndToEnd, Conversions, ::testing::ValuesIn(kConversions),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ run control and limits

TEST_F(Transcode, TwoPassMpeg4UsesItsStatistics) {
  const std::string in = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);
  const std::string prefix = out_path("twopass");
  const std::string log_file = prefix + "-0.log";
  const Options common = {{"vcodec", "mpeg4"}, {"b", "300000"}, {"an", "1"}, {"passlogfile", prefix}};

  Options pass1 = common;
  pass1.push_back({"pass", "1"});
  RunResult r1 = convert(in, out_path("pass1.avi"), pass1);
  ASSERT_FALSE(r1.failed) << r1.fail_message;
  ASSERT_TRUE(std::filesystem::exists(log_file));
  // One statistics line per coded picture.
  std::ifstream stats(log_file);
  int lines = 0;
  for (std::string line; std::getline(stats, line);) lines += !line.empty();
  EXPECT_EQ(lines, 50);

  Options pass2 = common;
  pass2.push_back({"pass", "2"});
  RunResult r2 = convert(in, out_path("pass2.avi"), pass2);
  ASSERT_FALSE(r2.failed) << r2.fail_message;
  EXPECT_TRUE(r2.finished);
  const testmedia::FileInfo f = testmedia::probe(out_path("pass2.avi"));
  ASSERT_TRUE(f.ok) << f.error;
  ASSERT_NE(f.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(f.first(AVMEDIA_TYPE_VIDEO)->frames_decoded, 50);
  EXPECT_EQ(f.first(AVMEDIA_TYPE_VIDEO)->decode_errors, 0);
  // The statistics file stays for later runs.
  EXPECT_TRUE(std::filesystem::exists(log_file));
  // Pass 2 aims at the bit rate: within a generous margin of 300 kbit/s.
  const double kbits = std::filesystem::file_size(out_path("pass2.avi")) * 8 / 2.0 / 1000;
  EXPECT_LT(kbits, 600);
}

struct LimitCase {
  const char* name;
  Options options;
  double duration_s;  // expected output duration of every stream
  int frames;         // expected video frames
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class Limits : public Transcode, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, OutputStopsAtTheLimit) {
  const LimitCase& c = GetParam();
  Options options = {{"vcodec", "mpeg4"}, {"acodec", "mp2"}};
  options.insert(options.end(), c.options.begin(), c.options.end());
  const std::string out = out_path(std::string(c.name) + ".avi");
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out, options);
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.finished);
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->frames_decoded, c.frames);
  EXPECT_NEAR(stream_duration(*v), c.duration_s, 0.04 + 1e-6);
  if (c.duration_s < 2) {
    const testmedia::StreamInfo* a = f.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(stream_duration(*a), c.duration_s, 0.06);
  }
}

const LimitCase kLimits[] = {
    {"RecordingTime", {{"t", "1"}}, 1.0, 25},
    {"MaxFrames", {{"vframes", "10"}}, 0.4, 10},
    {"RecordingTimeCopy", {{"vcodec", "copy"}, {"acodec", "copy"}, {"t", "1"}}, 1.0, 25},
};

INSTANTIATE_TEST_SUITE_P(Run, Limits, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

// Reports after every packet: the first ones come before the encoder gave out
// anything, while no output stream has a time yet.
TEST_F(Transcode, DurationIsZeroUntilSomethingIsWritten) {
  const RunResult r = convert(testmedia::path(testmedia::Clip::WavOnly), out_path("early.m4a"),
                              {{"acodec", "aac"}}, [](TCustomFFmpeg& e) { e.progress_interval = -1; });
  ASSERT_FALSE(r.failed) << r.fail_message;
  ASSERT_GE(r.progress.size(), 3u);
  EXPECT_EQ(r.progress.front().current_ms, 0);
  int previous = 0;
  for (const Progress& p : r.progress) {
    EXPECT_GE(p.current_ms, previous);
    EXPECT_LE(p.current_ms, 1100);
    previous = p.current_ms;
  }
  EXPECT_GT(previous, 900);
}

TEST_F(Transcode, FileSizeLimitEndsTheRun) {
  const std::string out = out_path("limited.avi");
  const RunResult r = convert(testmedia::path(testmedia::Clip::LongVideo90s), out,
                              {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"fs", "40000"}});
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.finished);
  const auto size = std::filesystem::file_size(out);
  EXPECT_GT(size, 40000u);
  EXPECT_LT(size, 60000u);  // the limit plus what was under way and the trailer
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  ASSERT_NE(f.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_LT(f.first(AVMEDIA_TYPE_VIDEO)->frames_decoded, 2250);
  EXPECT_EQ(f.first(AVMEDIA_TYPE_VIDEO)->decode_errors, 0);
}

TEST_F(Transcode, RateEmulationKeepsTheInputPace) {
  const auto start = std::chrono::steady_clock::now();
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out_path("paced.avi"),
                              {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"t", "0.6"}}, {}, {{"re", "1"}});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.finished);
  EXPECT_GE(seconds, 0.5);
  EXPECT_LT(seconds, 3.0);
}

// A second audio stream on the output finds no unused audio input and takes
// the last matching one: both are fed from input stream 0.1.
TEST_F(Transcode, TwoOutputsFromOneInputStream) {
  const std::string out = out_path("two_audio.mp4");
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out,
                              {{"vcodec", "mpeg4"}, {"acodec", "mp2"}}, [](TCustomFFmpeg& e) {
                                e.set_option("acodec", "aac");
                                e.set_option("ar", "22050");
                                e.set_option("newaudio", "");
                              });
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.logged("  Stream #0.1 -> #0.1"));
  EXPECT_TRUE(r.logged("  Stream #0.1 -> #0.2"));
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  ASSERT_EQ(f.count(AVMEDIA_TYPE_AUDIO), 2);
  const testmedia::FileInfo fin = testmedia::probe(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi));
  const double in_s = static_cast<double>(fin.first(AVMEDIA_TYPE_AUDIO)->samples_decoded) / 44100;
  for (const auto& s : f.streams) {
    if (s.type != AVMEDIA_TYPE_AUDIO) continue;
    EXPECT_EQ(s.sample_rate, s.codec == "aac" ? 22050 : 44100);
    EXPECT_NEAR(static_cast<double>(s.samples_decoded) / s.sample_rate, in_s, 0.05);
    EXPECT_GT(s.peak_amplitude, 0.2);
  }
}

TEST_F(Transcode, StopMidRunLeavesAPlayableFile) {
  const std::string out = out_path("stopped.mp4");
  RunResult r = convert(testmedia::path(testmedia::Clip::LongVideo90s), out, {{"vcodec", "mpeg4"}},
                        [](TCustomFFmpeg& e) {
                          auto progress = e.OnProgress;
                          e.OnProgress = [&e, progress](int frame, int fps, int cur, float q, float br, int64_t size,
                                                        int total) {
                            progress(frame, fps, cur, q, br, size, total);
                            if (frame >= 100) e.request_stop();
                          };
                        });
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_FALSE(r.finished);
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_GE(v->frames_decoded, 100);
  EXPECT_LT(v->frames_decoded, 2250);
  EXPECT_EQ(v->decode_errors, 0);
  // The pictures are the input's, in order.
  const std::vector<int> counters = testmedia::read_counters(out);
  ASSERT_EQ(static_cast<int64_t>(counters.size()), v->frames_decoded);
  for (size_t i = 0; i < counters.size(); i++) ASSERT_EQ(counters[i], static_cast<int>(i));
}

// A file-size limit of the process makes the muxer's writes fail part way
// (large pictures, so that the I/O buffer is written out during the run).
TEST_F(Transcode, WriteFailureEndsTheRunWithTheWriteError) {
  const std::string in = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);
  const std::string out = out_path("full.avi");
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  RunResult r = convert(in, out, {{"vcodec", "mpeg4"}, {"qscale", "1"}, {"s", "1280x720"}, {"acodec", "mp2"}},
                      [](TCustomFFmpeg&) {
    struct rlimit small = {64 * 1024, RLIM_INFINITY};
    small.rlim_max = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &small);
  });
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(r.opened);
  EXPECT_TRUE(r.failed);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(r.fail_message.rfind("av_interleaved_write_frame()", 0), 0u) << r.fail_message;
  EXPECT_TRUE(r.logged(r.fail_message));
}

TEST_F(Transcode, CorruptedPacketsAreSkipped) {
  const std::string in = testmedia::path(testmedia::Clip::CorruptedAvi);
  const std::string out = out_path("repaired.avi");
  const RunResult r = convert(in, out, {{"vcodec", "mpeg4"}, {"acodec", "mp2"}});
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.finished);
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->decode_errors, 0);
  EXPECT_GT(v->frames_decoded, 25);
  ASSERT_NE(f.first(AVMEDIA_TYPE_AUDIO), nullptr);
  // The decoders refused some packets; each refusal is logged and skipped.
  const testmedia::FileInfo fin = testmedia::probe(in);
  int64_t refused = 0;
  for (const auto& s : fin.streams) refused += s.decode_errors;
  if (refused > 0) {
    EXPECT_TRUE(r.logged_prefix("Error while decoding stream #0.")) << refused;
  }
}

// Rewrites the single-stream file `in` as NUT into `out`, passing its packets
// (in the output stream's time base) through `edit`, which may change or merge them.
struct Packet {
  std::vector<uint8_t> data;
  int64_t pts, dts, duration;
  int flags;
};
bool remux(const std::string& in, const std::string& out,
           const std::function<void(std::vector<Packet>&, AVRational)>& edit) {
  AVFormatContext* ic = nullptr;
  if (ff::avformat_open_input(&ic, in.c_str(), nullptr, nullptr) < 0) return false;
  std::vector<Packet> packets;
  AVPacket* pkt = ff::av_packet_alloc();
  while (ff::av_read_frame(ic, pkt) >= 0) {
    packets.push_back({std::vector<uint8_t>(pkt->data, pkt->data + pkt->size), pkt->pts, pkt->dts, pkt->duration,
                       pkt->flags});
    ff::av_packet_unref(pkt);
  }
  edit(packets, ic->streams[0]->time_base);
  AVFormatContext* oc = nullptr;
  ff::avformat_alloc_output_context2(&oc, nullptr, "nut", out.c_str());
  AVStream* st = ff::avformat_new_stream(oc, nullptr);
  ff::avcodec_parameters_copy(st->codecpar, ic->streams[0]->codecpar);
  st->codecpar->codec_tag = 0;
  st->time_base = ic->streams[0]->time_base;
  bool ok = ff::avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) >= 0 && ff::avformat_write_header(oc, nullptr) >= 0;
  // The muxer may have chosen another time base.
  for (Packet& p : packets) {
    if (!ok) break;
    pkt->data = p.data.data();
    pkt->size = static_cast<int>(p.data.size());
    pkt->pts = ff::av_rescale_q(p.pts, ic->streams[0]->time_base, st->time_base);
    pkt->dts = ff::av_rescale_q(p.dts, ic->streams[0]->time_base, st->time_base);
    pkt->duration = ff::av_rescale_q(p.duration, ic->streams[0]->time_base, st->time_base);
    pkt->flags = p.flags;
    pkt->stream_index = 0;
    ok = ff::av_interleaved_write_frame(oc, pkt) >= 0;
  }
  if (ok) ok = ff::av_write_trailer(oc) >= 0;
  ff::av_packet_free(&pkt);
  ff::avio_closep(&oc->pb);
  ff::avformat_free_context(oc);
  ff::avformat_close_input(&ic);
  return ok;
}

// A NUT file whose audio packets each carry two MP2 frames (the demuxer does not split them).
std::string two_frames_per_packet() {
  testmedia::ClipSpec spec;
  spec.container = "nut";
  spec.video_codec = "";
  spec.audio_codec = "mp2";
  spec.seconds = 1.0;
  const std::string out = out_path("paired.nut");
  const bool ok = remux(testmedia::make(spec), out, [](std::vector<Packet>& packets, AVRational) {
    std::vector<Packet> pairs;
    for (size_t i = 0; i + 1 < packets.size(); i += 2) {
      Packet p = packets[i];
      p.data.insert(p.data.end(), packets[i + 1].data.begin(), packets[i + 1].data.end());
      p.duration += packets[i + 1].duration;
      pairs.push_back(std::move(p));
    }
    packets = std::move(pairs);
  });
  return ok ? out : std::string();
}

TEST_F(Transcode, PacketWithSeveralFramesIsLoggedAndFullyDecoded) {
  const std::string in = two_frames_per_packet();
  ASSERT_FALSE(in.empty());
  const testmedia::FileInfo fin = testmedia::probe(in);
  ASSERT_TRUE(fin.ok) << fin.error;
  ASSERT_EQ(fin.streams.size(), 1u);
  ASSERT_EQ(fin.streams[0].frames_decoded, 2 * fin.streams[0].packets);  // really two per packet

  const std::string out = out_path("from_pairs.wav");
  const RunResult r = convert(in, out, {{"acodec", "pcm_s16le"}});
  ASSERT_FALSE(r.failed) << r.fail_message;
  int multiple = 0;
  for (auto& [level, line] : r.log)
    if (line == "Multiple frames in a packet from stream 0") {
      multiple++;
      EXPECT_EQ(level, 0);
    }
  EXPECT_EQ(multiple, fin.streams[0].packets);
  const testmedia::FileInfo fout = testmedia::probe(out);
  ASSERT_TRUE(fout.ok) << fout.error;
  ASSERT_NE(fout.first(AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(fout.first(AVMEDIA_TYPE_AUDIO)->samples_decoded, fin.streams[0].samples_decoded);

  // verbose 0: the same run stays silent about it.
  const RunResult quiet = convert(in, out_path("from_pairs_quiet.wav"), {{"acodec", "pcm_s16le"}, {"v", "0"}});
  ASSERT_FALSE(quiet.failed) << quiet.fail_message;
  EXPECT_FALSE(quiet.logged("Multiple frames in a packet from stream 0"));
}

// Video-only NUT clips of 50 pictures at 25 fps; "jump" moves every packet from 1 s on 20 s later.
std::string nut_video(bool jump) {
  testmedia::ClipSpec spec;
  spec.container = "nut";
  spec.audio_codec = "";
  spec.seconds = 2.0;
  const std::string out = out_path(jump ? "jump.nut" : "plain.nut");
  const bool ok = remux(testmedia::make(spec), out, [jump](std::vector<Packet>& packets, AVRational tb) {
    if (!jump) return;
    const int64_t one = ff::av_rescale_q(1000000, AV_TIME_BASE_Q, tb);
    const int64_t twenty = ff::av_rescale_q(20000000, AV_TIME_BASE_Q, tb);
    for (Packet& p : packets)
      if (p.dts >= one) {
        p.dts += twenty;
        p.pts += twenty;
      }
  });
  return ok ? out : std::string();
}

struct TimestampCase {
  const char* name;
  bool jump;
  Options input_options, options;
  int frames;
  bool logs_discontinuity;
};

void PrintTo(const TimestampCase& c, std::ostream* os) { *os << c.name; }

class Timestamps : public Transcode, public ::testing::WithParamInterface<TimestampCase> {};

TEST_P(Timestamps, InputTimestampsAreCorrected) {
  const TimestampCase& c = GetParam();
  const std::string in = nut_video(c.jump);
  ASSERT_FALSE(in.empty());
  Options options = {{"vcodec", "mpeg4"}, {"v", "3"}};
  options.insert(options.end(), c.options.begin(), c.options.end());
  const std::string out = out_path(std::string(c.name) + ".avi");
  const RunResult r = convert(in, out, options, {}, c.input_options);
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_EQ(r.logged("timestamp discontinuity 20000000, new offset= -20000000"), c.logs_discontinuity);
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  ASSERT_NE(f.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(f.first(AVMEDIA_TYPE_VIDEO)->frames_decoded, c.frames);
  // Every input picture is there, in order; repeats only fill gaps.
  const std::vector<int> counters = testmedia::read_counters(out);
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters.front(), 0);
  EXPECT_EQ(counters.back(), 49);
  for (size_t i = 1; i < counters.size(); i++) ASSERT_LE(counters[i - 1], counters[i]);
}

const TimestampCase kTimestamps[] = {
    // A jump beyond dts_delta_threshold (10 s) is taken out of the input's offset.
    {"Jump", true, {}, {}, 50, true},
    // With copyts the jump stays: the frame-rate sync fills it with 500 repeats.
    {"JumpWithCopyTs", true, {}, {{"copyts", "1"}}, 549, false},
    // A larger threshold lets it through as well.
    {"JumpBelowThreshold", true, {}, {{"dts_delta_threshold", "30"}}, 549, false},
    // Scale 2 doubles the input times: pictures are repeated to fill the gaps (the
    // second one lags a single period, within the sync's tolerance, so 1 + 1 + 48 x 2).
    {"Scale", false, {{"itsscale", "0:2"}}, {}, 98, false},
};

INSTANTIATE_TEST_SUITE_P(Input, Timestamps, ::testing::ValuesIn(kTimestamps),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transcode, SubtitlesAreReencodedAndCopied) {
  const std::string in = testmedia::path(testmedia::Clip::SubtitleMkv);
  const testmedia::FileInfo fin = testmedia::probe(in);
  ASSERT_TRUE(fin.ok) << fin.error;
  const testmedia::StreamInfo* sin = fin.first(AVMEDIA_TYPE_SUBTITLE);
  ASSERT_NE(sin, nullptr);
  struct Case {
    const char* output;
    Options options;
    const char* codec;
  } cases[] = {
      {"subs.mkv", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"scodec", "ass"}}, "ass"},
      {"subs.mp4", {{"vcodec", "mpeg4"}, {"acodec", "aac"}, {"scodec", "mov_text"}}, "mov_text"},
      {"subs_copy.mkv", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"scodec", "copy"}}, "subrip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    const std::string out = out_path(c.output);
    const RunResult r = convert(in, out, c.options);
    ASSERT_FALSE(r.failed) << r.fail_message;
    const testmedia::FileInfo f = testmedia::probe(out);
    ASSERT_TRUE(f.ok) << f.error;
    const testmedia::StreamInfo* s = f.first(AVMEDIA_TYPE_SUBTITLE);
    const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(s, nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(s->codec, c.codec);
    EXPECT_EQ(s->frames_decoded, sin->frames_decoded);
    // Events keep their place against the pictures.
    EXPECT_NEAR(s->first_pts_s - v->first_pts_s, sin->first_pts_s - fin.first(AVMEDIA_TYPE_VIDEO)->first_pts_s, 0.002);
    EXPECT_NEAR(s->last_end_s - s->first_pts_s, sin->last_end_s - sin->first_pts_s, 0.002);
  }
}

// Without OnProgress the reports are log lines; vstats writes one line per encoded picture.
TEST_F(Transcode, ReportLinesAndVideoStatistics) {
  const std::string in = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);
  const std::string stats = out_path("vstats.log");
  const auto no_progress = [](TCustomFFmpeg& e) { e.OnProgress = nullptr; };
  const RunResult r = convert(in, out_path("report.avi"),
                              {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"vframes", "10"}, {"psnr", "1"}, {"v", "2"},
                               {"vstats_file", stats}},
                              no_progress);
  ASSERT_FALSE(r.failed) << r.fail_message;
  EXPECT_TRUE(r.progress.empty());
  const std::regex report(
      R"(frame= *\d+ fps= *\d+ q=\d+\.\d (L)?PSNR=Y:\d+\.\d\d U:\d+\.\d\d V:\d+\.\d\d \*:\d+\.\d\d )"
      R"(size= *\d+kB time=\d+\.\d\d bitrate= *\d+\.\dkbits/s dup=0 drop=0)");
  std::vector<std::string> reports;
  for (auto& [level, line] : r.log)
    if (line.rfind("frame=", 0) == 0) {
      EXPECT_EQ(level, 1);
      EXPECT_TRUE(std::regex_match(line, report)) << line;
      reports.push_back(line);
    }
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().rfind("frame=   10 ", 0), 0u) << reports.back();
  EXPECT_NE(reports.back().find(" L"), std::string::npos) << reports.back();
  const std::regex summary(
      R"(video:\d+kB audio:\d+kB global headers:\d+kB muxing overhead -?\d+\.\d{6}%\r\n)");
  EXPECT_TRUE(std::regex_match(r.log.back().second, summary)) << r.log.back().second;

  std::ifstream file(stats);
  const std::regex stat_line(
      R"(frame= +(\d+) q= *\d+\.\d PSNR= +\d+\.\d\d f_size= +\d+ s_size= +\d+kB time= \d+\.\d{3} )"
      R"(br= +\d+\.\dkbits/s avg_br= +\d+\.\dkbits/s type= ([IPB]))");
  int n = 0;
  for (std::string line; std::getline(file, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stat_line)) << line;
    EXPECT_EQ(std::stoi(m[1]), ++n);
    if (n == 1) {
      EXPECT_EQ(m[2], "I");
    }
  }
  EXPECT_EQ(n, 10);

  // verbose -1 without OnProgress: not even the summary.
  const RunResult quiet = convert(in, out_path("quiet.avi"), {{"vcodec", "mpeg4"}, {"vframes", "5"}, {"v", "-1"}},
                                  no_progress);
  ASSERT_FALSE(quiet.failed) << quiet.fail_message;
  EXPECT_TRUE(quiet.log.empty()) << quiet.log.front().second;
}

// ------------------------------------------------------------ set-up

TEST_F(Transcode, StreamMappingReport) {
  // The video output follows the clock of the audio input.
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out_path("mapped.avi"),
                              {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"map", "0:0:0:1"}, {"map", "0:1"}});
  ASSERT_FALSE(r.failed) << r.fail_message;
  std::vector<std::string> lines;
  bool in_report = false;
  for (auto& [level, line] : r.log) {
    if (line == "Stream mapping:") {
      in_report = true;
      EXPECT_EQ(level, 1);
    }
    if (in_report && lines.size() < 4) lines.push_back(line);
  }
  const std::vector<std::string> expected = {"Stream mapping:", "  Stream #0.0 -> #0.0", " [sync #0.1]",
                                             "  Stream #0.1 -> #0.1"};
  EXPECT_EQ(lines, expected);
  // The last report ends the run with its summary line.
  EXPECT_TRUE(r.logged_prefix("video:"));
}

struct SetupFailure {
  const char* name;
  Options options;
  std::string message;  // "" = runs, and logs no "Stream mapping:"
};

void PrintTo(const SetupFailure& c, std::ostream* os) { *os << c.name; }

class SetupFailures : public Transcode, public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailures, FailWithTheirMessage) {
  const SetupFailure& c = GetParam();
  const std::string out = out_path(std::string(c.name) + ".avi");
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out, c.options);
  ASSERT_TRUE(r.opened);
  if (c.message.empty()) {
    EXPECT_FALSE(r.failed) << r.fail_message;
    EXPECT_FALSE(r.logged("Stream mapping:"));
    return;
  }
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.fail_message, c.message);
  EXPECT_FALSE(r.logged("Stream mapping:"));
  // Nothing was written: the empty output is gone.
  EXPECT_FALSE(std::filesystem::exists(out));
}

const SetupFailure kSetupFailures[] = {
    {"TooManyMaps",
     {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"map", "0:0"}, {"map", "0:1"}, {"map", "0:1"}},
     "Number of stream maps must match number of output streams"},
    {"MapOutOfRange", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"map", "0:0"}, {"map", "0:5"}},
     "Could not find input stream #0.5"},
    {"TypeMismatch", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"map", "0:1"}, {"map", "0:0"}},
     "Codec type mismatch for mapping #0.1 -> #0.0"},
    {"CopyWithVolume", {{"vcodec", "mpeg4"}, {"acodec", "copy"}, {"vol", "512"}},
     "-acodec copy and -vol are incompatible (frames are not decoded)"},
    {"Pass2WithoutLog", {{"vcodec", "mpeg4"}, {"an", "1"}, {"pass", "2"}, {"passlogfile", "/nonexistent/klv"}},
     "creat open fail: /nonexistent/klv-0.log"},
    {"QuietHasNoMappingReport", {{"vcodec", "mpeg4"}, {"acodec", "mp2"}, {"v", "-1"}, {"t", "0.2"}}, ""},
};

INSTANTIATE_TEST_SUITE_P(Setup, SetupFailures, ::testing::ValuesIn(kSetupFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transcode, CopiedVideoStartsAtAKeyFrame) {
  // Output from 0.2 s on, inside the first group of pictures: the copy waits for the next key frame.
  const std::string out = out_path("copy_key.mkv");
  const RunResult r = convert(testmedia::path(testmedia::Clip::Mpeg4Mp3Avi), out,
                              {{"vcodec", "copy"}, {"an", "1"}, {"ss", "0.2"}});
  ASSERT_FALSE(r.failed) << r.fail_message;
  const testmedia::FileInfo f = testmedia::probe(out);
  ASSERT_TRUE(f.ok) << f.error;
  const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->decode_errors, 0);
  EXPECT_GT(v->frames_decoded, 0);
  // The first picture is the key frame after 0.2 s (the generator's groups are 12 pictures).
  const std::vector<int> counters = testmedia::read_counters(out);
  ASSERT_FALSE(counters.empty());
  EXPECT_EQ(counters.front(), 12);
  EXPECT_EQ(v->frames_decoded, 50 - 12);
}

}  // namespace
