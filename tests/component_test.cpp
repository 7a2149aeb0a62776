// Conversion component: option records, task list, threads, events, log routing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "component/converter.h"
#include "media/testmedia.h"

namespace {

using namespace std::chrono_literals;
using testmedia::Clip;

// ---------------------------------------------------------------- helpers

struct Event {
  enum Kind { Start, Term, Log } kind;
  int index;
  bool finished = false, exception = false;
  std::string msg;
  uint64_t thread = 0;
  TLogLevel level = llQuiet;
  std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

class Recorder {
 public:
  void add(Event e) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  std::vector<Event> all(int kind = -1) const {
    std::lock_guard lock(mutex_);
    std::vector<Event> out;
    for (const Event& e : events_)
      if (kind < 0 || e.kind == kind) out.push_back(e);
    return out;
  }
  std::vector<Event> terms() const { return all(Event::Term); }
  // Waits until done() (checked at every event and every 10 ms) or the timeout.
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
      lock.unlock();
      const bool d = done();
      lock.lock();
      if (d) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      cv_.wait_for(lock, 10ms);
    }
  }
  bool batch_ended() const {
    for (const Event& e : terms())
      if (e.index < 0) return true;
    return false;
  }
  bool started(int index) const {
    for (const Event& e : all(Event::Start))
      if (e.index == index) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// A task that records its start; with `hold` it stands in for the conversion
// and runs until released or stopped.
class TestTask : public TFFmpeg {
 public:
  TestTask(Recorder* rec, bool hold) : rec_(rec), hold_(hold) {}
  void transcode() override {
    rec_->add({Event::Start, Index, false, false, {}, current_thread_id()});
    if (!hold_) {
      TCustomFFmpeg::transcode();
      return;
    }
    ff::av_log(nullptr, AV_LOG_INFO, "held run ");
    ff::av_log(nullptr, AV_LOG_INFO, "of task %d\n", Index.load());
    while (!stop_requested && !released) {
      wait_if_paused();
      std::this_thread::sleep_for(1ms);
    }
    finished = !stop_requested;
  }
  std::atomic<bool> released{false};

 private:
  Recorder* rec_;
  bool hold_;
};

class TestConverter : public TMediaConverter {
 public:
  explicit TestConverter(TScheduler* s = nullptr) : TMediaConverter(s) {
    OnTerminate = [this](int i, bool f, bool x, const std::string& m) {
      rec.add({Event::Term, i, f, x, m, current_thread_id()});
    };
    OnLog = [this](int i, TLogLevel level, const std::string& m) {
      Event e{Event::Log, i, false, false, m, current_thread_id()};
      e.level = level;
      rec.add(e);
    };
  }
  ~TestConverter() override { Shutdown(); }
  TestTask* Task(int i) { return static_cast<TestTask*>(Tasks().Items(i)); }
  std::vector<std::string> LogLines(int index = -2) const {
    std::vector<std::string> out;
    for (const Event& e : rec.all(Event::Log))
      if (index == -2 || e.index == index) out.push_back(e.msg);
    return out;
  }

  Recorder rec;
  bool hold = false;

 protected:
  std::unique_ptr<TFFmpeg> NewTask() override { return std::make_unique<TestTask>(&rec, hold); }
};

std::string out_file(const std::string& name) { return testmedia::temp_dir() + "/" + name; }

// Small, fast output settings for a real conversion.
TOutputOptions small_output() {
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.AudioCodec = "mp2";
  o.FrameSize = "160x120";
  return o;
}

// Adds n tasks on the standard clip with outputs <prefix><i>.avi.
void add_tasks(TestConverter& c, int n, const std::string& prefix) {
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), i) << c.LastErrMsg();
    TOutputOptions o = small_output();
    ASSERT_TRUE(c.SetOutputFile(i, out_file(prefix + std::to_string(i) + ".avi"), &o)) << c.LastErrMsg();
  }
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

class ComponentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TMediaConverter loader;
    ASSERT_TRUE(loader.LoadAVLib("", 1)) << loader.LastErrMsg();
  }
};

// Every pending value of the engine as text, by name.
std::map<std::string, std::string> pending_values(const TCustomFFmpeg& e) {
  std::map<std::string, std::string> m;
  auto put = [&](const char* name, const auto& v) {
    std::ostringstream s;
    s << v;
    m[name] = s.str();
  };
  auto text = [](const char* p) { return std::string(p ? p : "<none>"); };
  put("file_iformat", static_cast<const void*>(e.file_iformat));
  put("file_oformat", static_cast<const void*>(e.file_oformat));
  put("frame_size", std::to_string(e.frame_width) + "x" + std::to_string(e.frame_height));
  put("frame_aspect_ratio", e.frame_aspect_ratio);
  put("frame_pix_fmt", e.frame_pix_fmt);
  put("pads", std::to_string(e.frame_padtop) + " " + std::to_string(e.frame_padbottom) + " " +
                  std::to_string(e.frame_padleft) + " " + std::to_string(e.frame_padright));
  put("padcolor", std::to_string(e.padcolor[0]) + " " + std::to_string(e.padcolor[1]) + " " +
                      std::to_string(e.padcolor[2]));
  put("bands", std::to_string(e.frame_topband) + " " + std::to_string(e.frame_bottomband) + " " +
                   std::to_string(e.frame_leftband) + " " + std::to_string(e.frame_rightband));
  put("frame_rate", std::to_string(e.frame_rate.num) + "/" + std::to_string(e.frame_rate.den));
  put("video_disable", e.video_disable);
  put("video_codec_name", text(e.video_codec_name));
  put("video_codec_tag", e.video_codec_tag);
  put("audio_sample_rate", e.audio_sample_rate);
  put("audio_disable", e.audio_disable);
  put("audio_channels", e.audio_channels);
  put("audio_codec_name", text(e.audio_codec_name));
  put("audio_codec_tag", e.audio_codec_tag);
  put("audio_language", e.audio_language);
  put("subtitle_disable", e.subtitle_disable);
  put("subtitle_language", e.subtitle_language);
  put("mux_preload", e.mux_preload);
  put("mux_max_delay", e.mux_max_delay);
  put("recording_time", e.recording_time);
  put("start_time", e.start_time);
  put("rec_timestamp", e.rec_timestamp);
  put("meta", e.meta_title + "|" + e.meta_author + "|" + e.meta_copyright + "|" + e.meta_comment + "|" +
                  e.meta_genre + "|" + e.meta_album + "|" + std::to_string(e.meta_year) + "|" +
                  std::to_string(e.meta_track));
  put("stream_copy", std::to_string(e.audio_stream_copy) + std::to_string(e.video_stream_copy));
  put("video_sync_method", e.video_sync_method);
  put("audio_sync_method", e.audio_sync_method);
  put("copy_ts", e.copy_ts);
  put("opt_programid", e.opt_programid);
  put("audio_volume", e.audio_volume);
  put("total_output_duration", e.total_output_duration);
  put("option_names", e.option_names.size());
  put("hook_ranges", e.hook_ranges.size());
  put("OnCustomHook", static_cast<bool>(e.OnCustomHook));
  put("OnBeforeHook", static_cast<bool>(e.OnBeforeHook));
  return m;
}

std::unique_ptr<TCustomFFmpeg> fresh_engine() {
  auto e = std::make_unique<TCustomFFmpeg>();
  e->reset();
  return e;
}

// ---------------------------------------------------------------- option records

TEST_F(ComponentTest, RecordsAtDefaultsChangeOnlyTheAlwaysAppliedFields) {
  auto e = fresh_engine();
  e->audio_language = "eng";
  e->subtitle_language = "fre";
  e->audio_sync_method = 2;
  e->video_sync_method = 1;
  e->copy_ts = true;
  e->set_pad_color(0xFFFFFF);
  const auto before = pending_values(*e);

  klaventa::apply_input_options(*e, TInputOptions());
  EXPECT_EQ(pending_values(*e), before) << "input record at its defaults changed the engine";

  klaventa::apply_output_options(*e, TOutputOptions());
  const std::map<std::string, std::string> changed = {
      {"audio_language", ""}, {"subtitle_language", ""}, {"audio_sync_method", "0"},
      {"video_sync_method", "-1"}, {"padcolor", "0 128 128"}, {"copy_ts", "0"}};  // black by the YUV formula
  const auto after = pending_values(*e);
  for (const auto& [name, value] : after) {
    auto it = changed.find(name);
    EXPECT_EQ(value, it != changed.end() ? it->second : before.at(name)) << name;
  }
}

TEST_F(ComponentTest, EachSetFieldReachesTheEngine) {
  struct Case {
    const char* what;
    std::function<void(TOutputOptions&)> set;
    std::function<void(const TCustomFFmpeg&)> check;
  };
  const std::string long_title(600, 't');
  const std::vector<Case> cases = {
      {"AudioVolume 0 is applied", [](TOutputOptions& o) { o.AudioVolume = 0; },
       [](const TCustomFFmpeg& e) { EXPECT_EQ(e.audio_volume, 0); }},
      {"RecordingTime", [](TOutputOptions& o) { o.RecordingTime = 30000; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.recording_time, 30000000);
         EXPECT_EQ(e.total_output_duration, 30000);
       }},
      {"DisableAudio/Video/Subtitle",
       [](TOutputOptions& o) { o.DisableAudio = o.DisableVideo = o.DisableSubtitle = true; },
       [](const TCustomFFmpeg& e) {
         EXPECT_TRUE(e.audio_disable);
         EXPECT_TRUE(e.video_disable);
         EXPECT_TRUE(e.subtitle_disable);
       }},
      {"Title cut at 512, Genre at 32", [&](TOutputOptions& o) { o.Title = long_title; o.Genre = std::string(40, 'g'); },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.meta_title.size(), 512u);
         EXPECT_EQ(e.meta_genre.size(), 32u);
       }},
      {"text up to its first zero byte", [](TOutputOptions& o) { o.Album = std::string("Side A\0junk", 11); },
       [](const TCustomFFmpeg& e) { EXPECT_EQ(e.meta_album, "Side A"); }},
      {"Year, Track", [](TOutputOptions& o) { o.Year = 2007; o.Track = 3; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.meta_year, 2007);
         EXPECT_EQ(e.meta_track, 3);
       }},
      {"PadColor red", [](TOutputOptions& o) { o.PadColor = 0x0000FF; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.padcolor[0], 76);
         EXPECT_EQ(e.padcolor[1] & 0xFF, 85);
         EXPECT_EQ(e.padcolor[2] & 0xFF, 255);
       }},
      {"GOPSize goes to the video gop size", [](TOutputOptions& o) { o.GOPSize = 25; },
       [](const TCustomFFmpeg& e) { EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->gop_size, 25); }},
      {"VideoBitrate only on the video context", [](TOutputOptions& o) { o.VideoBitrate = 800000; o.AudioBitrate = 64000; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->bit_rate, 800000);
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_AUDIO]->bit_rate, 64000);
       }},
      {"bit-rate tolerances per kind",
       [](TOutputOptions& o) { o.VideoBitrateTolerance = 500000; o.AudioBitrateTolerance = 4000; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->bit_rate_tolerance, 500000);
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_AUDIO]->bit_rate_tolerance, 4000);
       }},
      {"rate control", [](TOutputOptions& o) { o.VideoMaxRate = 2000000; o.VideoMinRate = 100000; o.VideoBufSize = 1835008; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->rc_max_rate, 2000000);
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->rc_min_rate, 100000);
         EXPECT_EQ(e.codec_option_ctx[AVMEDIA_TYPE_VIDEO]->rc_buffer_size, 1835008);
       }},
      {"crop and pad", [](TOutputOptions& o) { o.FrameSize = "320x240"; o.CropTop = 8; o.PadLeft = 16; },
       [](const TCustomFFmpeg& e) {
         EXPECT_EQ(e.frame_topband, 8);
         EXPECT_EQ(e.frame_height, 232);
         EXPECT_EQ(e.frame_padleft, 16);
       }},
      {"Target 1 PAL", [](TOutputOptions& o) { o.Target = 1; o.TargetNorm = 1; },
       [](const TCustomFFmpeg& e) {
         EXPECT_STREQ(e.video_codec_name ? e.video_codec_name : "", "mpeg1video");
         EXPECT_EQ(e.frame_width, 352);
         EXPECT_EQ(e.frame_height, 288);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = fresh_engine();
    TOutputOptions o;
    c.set(o);
    klaventa::apply_output_options(*e, o);
    c.check(*e);
  }
}

TEST_F(ComponentTest, TargetPresetFollowsTheNorm) {
  struct Case {
    int target, norm, default_norm;
    const char* codec;
    int width, height;
  };
  for (const Case& k : std::vector<Case>{{2, 5, 1, "mpeg2video", 480, 576},  // unknown norm: auto, 25 fps is PAL
                                         {2, 2, 1, "mpeg2video", 480, 480},
                                         {3, 0, 0, "mpeg2video", 720, 576},
                                         {4, 1, 1, "<none>", 320, 240}}) {  // no preset: the input's size stays
    SCOPED_TRACE(k.target * 10 + k.norm);
    auto e = fresh_engine();
    ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::Mpeg4Mp3Avi))) << e->last_error;
    TOutputOptions o;
    o.Target = k.target;
    o.TargetNorm = k.norm;
    o.TargetDefaultNorm = k.default_norm;
    klaventa::apply_output_options(*e, o);
    EXPECT_STREQ(e->video_codec_name ? e->video_codec_name : "<none>", k.codec);
    EXPECT_EQ(e->frame_width, k.width);
    EXPECT_EQ(e->frame_height, k.height);
  }
}

TEST_F(ComponentTest, HookSelectionTakesOneOfThree) {
  struct Case {
    bool custom, before;
    bool custom_set, before_set;
    size_t ranges;
  };
  const std::string example = "1000-2000, 500-400, x-3000, 4000-";
  for (const Case& k : std::vector<Case>{
           {true, true, true, false, 0}, {false, true, false, true, 0}, {false, false, false, false, 2}}) {
    SCOPED_TRACE(std::to_string(k.custom) + std::to_string(k.before));
    TestConverter c;
    ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 0) << c.LastErrMsg();
    TOutputOptions o = small_output();
    o.CustomHook = k.custom;
    o.BeforeHook = k.before;
    o.HookRanges = example;
    ASSERT_TRUE(c.SetOutputFile(0, out_file("hooksel.avi"), &o)) << c.LastErrMsg();
    EXPECT_EQ(static_cast<bool>(c.Task(0)->OnCustomHook), k.custom_set);
    EXPECT_EQ(static_cast<bool>(c.Task(0)->OnBeforeHook), k.before_set);
    EXPECT_EQ(c.Task(0)->hook_ranges.size(), k.ranges);
  }
}

TEST_F(ComponentTest, InputStartTimeAndProgram) {
  auto e = fresh_engine();
  TInputOptions in;
  in.StartTime = 0;
  in.ProgramID = -1;
  klaventa::apply_input_options(*e, in);
  EXPECT_EQ(e->start_time, 0);
  EXPECT_EQ(e->opt_programid, 0);
  in.StartTime = 1500;
  in.ProgramID = 3;
  klaventa::apply_input_options(*e, in);
  EXPECT_EQ(e->start_time, 1500000);
  EXPECT_EQ(e->opt_programid, 3);
}

TEST_F(ComponentTest, ExtOptionsComeFirstAndSetFieldsOverrideThem) {
  auto e = fresh_engine();
  TOutputOptions o;
  o.ExtOptions = "  async=1\r\nvsync=2\rs=320x240\nacodec=mp2\n\n";
  o.AudioCodec = "libmp3lame";
  klaventa::apply_output_options(*e, o);
  EXPECT_EQ(e->audio_sync_method, 0);   // AudioSync at its default still wins
  EXPECT_EQ(e->video_sync_method, -1);  // VideoSync likewise
  EXPECT_EQ(e->frame_width, 320);       // no FrameSize: the extra option stays
  EXPECT_EQ(e->frame_height, 240);
  EXPECT_STREQ(e->audio_codec_name ? e->audio_codec_name : "", "libmp3lame");
}

TEST_F(ComponentTest, HookRangesOfTheExample) {
  const auto r = klaventa::parse_hook_ranges(" 1000-2000, 500-400, x-3000, 4000- ");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].start, 1000000);
  EXPECT_EQ(r[0].end, 2000000);
  EXPECT_EQ(r[1].start, -1000);
  EXPECT_EQ(r[1].end, 3000000);
  EXPECT_TRUE(klaventa::parse_hook_ranges("").empty());
  EXPECT_TRUE(klaventa::parse_hook_ranges("99999999999999999-99999999999999999").empty());
}

TEST_F(ComponentTest, TimestampUsesTheStandardZoneOffset) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  EXPECT_EQ(klaventa::timestamp_to_unix(25569.5), 43200);
  auto e = fresh_engine();
  TOutputOptions o;
  o.Timestamp = 25569.5;
  klaventa::apply_output_options(*e, o);
  EXPECT_EQ(e->rec_timestamp, 43200);
  o.Timestamp = 0;  // now
  klaventa::apply_output_options(*e, o);
  EXPECT_NEAR(static_cast<double>(e->rec_timestamp), static_cast<double>(std::time(nullptr)), 5);
  o.Timestamp = -1;
  e->rec_timestamp = 77;
  klaventa::apply_output_options(*e, o);
  EXPECT_EQ(e->rec_timestamp, 77);

  // New York: standard offset -5 h, also for a summer date (2020-07-01 00:00).
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  EXPECT_EQ(klaventa::timestamp_to_unix(25569.5), 43200 + 5 * 3600);
  EXPECT_EQ(klaventa::timestamp_to_unix(44013.0), 1593561600 + 5 * 3600);

  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(ComponentTest, LegacyEncoderNamesGetTheirSuccessors) {
  EXPECT_EQ(klaventa::encoder_successor("libfaac"), "aac");
  EXPECT_EQ(klaventa::encoder_successor("mpeg4aac"), "aac");
  EXPECT_EQ(klaventa::encoder_successor("libamr_nb"), "libopencore_amrnb");
  for (const char* kept : {"mp2", "libmp3lame", "mpeg4", "copy", "nosuchcodec", ""})
    EXPECT_EQ(klaventa::encoder_successor(kept), kept);
}

// ---------------------------------------------------------------- component

TEST_F(ComponentTest, Properties) {
  TMediaConverter c;
  EXPECT_EQ(c.LogLevel(), llInfo);
  EXPECT_EQ(c.ProgressInterval(), 500);
  EXPECT_EQ(c.ThreadPriority(), tpNormal);
  EXPECT_EQ(TMediaConverter::Version(), "2.0b");
  for (auto [in, out] : std::vector<std::pair<int, int>>{{50, 100}, {100, 100}, {101, 101}, {-5, 100}}) {
    c.SetProgressInterval(in);
    EXPECT_EQ(c.ProgressInterval(), out) << in;
  }
  c.SetAbout("free text");
  EXPECT_EQ(c.About(), "free text");
}

TEST_F(ComponentTest, SetOutputFileWithABadIndexFails) {
  TMediaConverter c;
  TOutputOptions o;
  EXPECT_FALSE(c.SetOutputFile(5, out_file("never.avi"), &o));
  EXPECT_EQ(c.LastErrMsg(), "List index out of bounds (5)");
  EXPECT_EQ(error_of([&] { c.RemoveTask(0); }), "List index out of bounds (0)");
  c.ClearTasks();
  EXPECT_EQ(c.LastErrMsg(), "");
}

TEST_F(ComponentTest, AddTaskFillsTheRecordAndFailsCleanly) {
  TestConverter c;
  TInputOptions in;
  const std::string file = testmedia::path(Clip::Mpeg4Mp3Avi);
  ASSERT_EQ(c.AddTask(file, &in), 0) << c.LastErrMsg();
  EXPECT_EQ(in.FileName, file);
  EXPECT_EQ(c.Task(0)->InputOptions.FileName, file);

  const std::string missing = out_file("no-such-input.avi");
  EXPECT_EQ(c.AddTask(missing), -1);
  EXPECT_NE(c.LastErrMsg().find(missing), std::string::npos) << c.LastErrMsg();
  EXPECT_EQ(c.Tasks().Count(), 1);

  TInputOptions bad;
  bad.ForceFormat = "nosuchformat";
  EXPECT_EQ(c.AddTask(file, &bad), -1);
  EXPECT_EQ(c.LastErrMsg(), "Unknown input format: nosuchformat");
  EXPECT_EQ(c.Tasks().Count(), 1);
}

TEST_F(ComponentTest, SetOutputFileFailuresKeepTheTask) {
  TestConverter c;
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 0) << c.LastErrMsg();
  struct Case {
    std::function<void(TOutputOptions&)> set;
    std::string starts;
  };
  const std::vector<Case> cases = {
      {[](TOutputOptions& o) { o.AudioTag = "abc"; }, "audio tag parameter must be 4 chars"},
      {[](TOutputOptions& o) { o.FrameSize = "321x240"; }, "Frame size must be a multiple of 2"},
      {[](TOutputOptions& o) { o.ForceFormat = "nosuchformat"; }, "Unknown output format: nosuchformat"},
  };
  for (const Case& k : cases) {
    TOutputOptions o;
    k.set(o);
    EXPECT_FALSE(c.SetOutputFile(0, out_file("bad.avi"), &o));
    EXPECT_EQ(c.LastErrMsg().rfind(k.starts, 0), 0u) << c.LastErrMsg();
  }
  TOutputOptions o;
  o.AudioCodec = "nosuchcodec";
  EXPECT_FALSE(c.SetOutputFile(0, out_file("bad2.avi"), &o));
  EXPECT_NE(c.LastErrMsg().find("Unknown encoder"), std::string::npos) << c.LastErrMsg();
  EXPECT_EQ(c.Tasks().Count(), 1);
  EXPECT_EQ(c.Task(0)->OutputOptions.FileName, out_file("bad2.avi"));  // record copied, name filled
}

TEST_F(ComponentTest, StartConvertOnAnEmptyListDoesNothing) {
  TLoopScheduler loop;
  TestConverter c(&loop);
  c.StartConvert(0);
  c.StartConvert(3);
  EXPECT_EQ(loop.Pending(), 0u);
  loop.RunUntil([] { return false; }, 250ms);
  EXPECT_TRUE(c.rec.terms().empty());
}

TEST_F(ComponentTest, MainThreadModeRunsTasksOneAfterAnotherThroughTheScheduler) {
  TLoopScheduler loop;
  TestConverter c(&loop);
  add_tasks(c, 3, "main-");
  c.StartConvert(0);
  EXPECT_TRUE(c.rec.all(Event::Start).empty());  // nothing runs inside StartConvert
  EXPECT_EQ(loop.Pending(), 1u);
  ASSERT_TRUE(loop.RunUntil([&] { return c.rec.batch_ended(); }, 120s));

  const uint64_t me = current_thread_id();
  std::vector<Event> seq;
  for (const Event& e : c.rec.all())
    if (e.kind != Event::Log) seq.push_back(e);
  ASSERT_EQ(seq.size(), 7u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(seq[2 * i].kind, Event::Start);
    EXPECT_EQ(seq[2 * i].index, i);
    EXPECT_EQ(seq[2 * i + 1].kind, Event::Term);
    EXPECT_EQ(seq[2 * i + 1].index, i);
    EXPECT_TRUE(seq[2 * i + 1].finished) << seq[2 * i + 1].msg;
    if (i > 0) {
      EXPECT_GE(seq[2 * i].at - seq[2 * i - 1].at, 90ms);  // its own 100 ms timer
    }
  }
  EXPECT_EQ(seq[6].index, -1);
  EXPECT_TRUE(seq[6].finished);
  EXPECT_FALSE(seq[6].exception);
  for (const Event& e : seq) EXPECT_EQ(e.thread, me);

  for (int i = 0; i < 3; ++i) {
    const auto info = testmedia::probe(out_file("main-" + std::to_string(i) + ".avi"));
    ASSERT_TRUE(info.ok) << info.error;
    const auto* v = info.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->width, 160);
    EXPECT_EQ(v->frames_decoded, 50);
    ASSERT_NE(info.first(AVMEDIA_TYPE_AUDIO), nullptr);
    EXPECT_EQ(info.first(AVMEDIA_TYPE_AUDIO)->codec, "mp2");
  }
}

TEST_F(ComponentTest, TwoWorkersRunTwoTasksAndStartTheThirdWhenOneEnds) {
  TestConverter c;
  c.hold = true;
  add_tasks(c, 3, "two-");
  c.StartConvert(2);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.started(0) && c.rec.started(1); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(c.rec.started(2));
  c.Task(1)->released = true;
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.started(2); }));
  c.Task(0)->released = true;
  c.Task(2)->released = true;
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }));

  const auto terms = c.rec.terms();
  ASSERT_EQ(terms.size(), 4u);
  EXPECT_EQ(terms[0].index, 1);
  EXPECT_EQ(terms.back().index, -1);
  std::set<int> seen;
  for (size_t i = 0; i + 1 < terms.size(); ++i) {
    seen.insert(terms[i].index);
    EXPECT_TRUE(terms[i].finished);
    EXPECT_NE(terms[i].thread, current_thread_id());
  }
  EXPECT_EQ(seen, (std::set<int>{0, 1, 2}));
  // Library lines written on a worker belong to that worker's task.
  for (int i = 0; i < 3; ++i) {
    const auto lines = c.LogLines(i);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "held run of task " + std::to_string(i)), lines.end()) << i;
  }
}

TEST_F(ComponentTest, StopWithOneRunningAndTwoWaiting) {
  TestConverter c;
  c.hold = true;
  add_tasks(c, 3, "stop-");
  c.StartConvert(1);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.started(0); }));
  c.StopConvert();
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }));
  std::this_thread::sleep_for(100ms);  // nothing may follow

  const auto terms = c.rec.terms();
  ASSERT_EQ(terms.size(), 4u);
  EXPECT_EQ(terms.back().index, -1);
  std::map<int, Event> by_index;
  for (size_t i = 0; i + 1 < terms.size(); ++i) by_index.emplace(terms[i].index, terms[i]);
  ASSERT_EQ(by_index.size(), 3u);
  const uint64_t worker = c.rec.all(Event::Start).at(0).thread;
  EXPECT_FALSE(by_index.at(0).finished);
  EXPECT_EQ(by_index.at(0).thread, worker);
  for (int i : {1, 2}) {
    EXPECT_FALSE(by_index.at(i).finished);
    EXPECT_FALSE(by_index.at(i).exception);
    EXPECT_NE(by_index.at(i).thread, current_thread_id());
    EXPECT_NE(by_index.at(i).thread, worker);
  }
  EXPECT_FALSE(c.rec.started(1));
  EXPECT_FALSE(c.rec.started(2));
}

TEST_F(ComponentTest, PauseHoldsTheRunAndResumeLetsItEnd) {
  TestConverter c;
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::LongVideo90s)), 0) << c.LastErrMsg();
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.FrameSize = "640x480";  // slow enough to be caught mid-run
  o.RecordingTime = 8000;
  ASSERT_TRUE(c.SetOutputFile(0, out_file("pause.avi"), &o)) << c.LastErrMsg();
  std::atomic<int> progress{0};
  c.OnProgress = [&](int, int, int, int, float, float, int64_t, int) {
    if (++progress == 1) c.PauseConvert();  // on the worker: held from its next turn on
  };
  c.SetProgressInterval(100);
  c.StartConvert(1);
  ASSERT_TRUE(c.rec.wait([&] { return progress > 0; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(progress.load(), 1);
  EXPECT_FALSE(c.rec.batch_ended());
  c.ResumeConvert();
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }, 120s));
  EXPECT_GT(progress.load(), 1);
  EXPECT_TRUE(c.rec.terms().at(0).finished);
  const auto info = testmedia::probe(out_file("pause.avi"), false);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration_s, 8.0, 0.5);
}

TEST_F(ComponentTest, RemovingTaskOneRenumbersTaskTwo) {
  TestConverter c;
  add_tasks(c, 3, "renum-");
  c.RemoveTask(1);
  ASSERT_EQ(c.Tasks().Count(), 2);
  EXPECT_EQ(c.Tasks().Items(1)->Index, 1);
  EXPECT_EQ(c.Tasks().Items(1)->OutputOptions.FileName, out_file("renum-2.avi"));
  c.StartConvert(2);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }, 60s));
  std::set<int> indices;
  for (const Event& e : c.rec.terms()) indices.insert(e.index);
  EXPECT_EQ(indices, (std::set<int>{-1, 0, 1}));
  EXPECT_TRUE(testmedia::probe(out_file("renum-2.avi")).ok);
}

TEST_F(ComponentTest, LegacyEncoderNamesConvert) {
  TestConverter c;
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 0) << c.LastErrMsg();
  TOutputOptions aac = small_output();
  aac.AudioCodec = "libfaac";
  ASSERT_TRUE(c.SetOutputFile(0, out_file("legacy.mp4"), &aac)) << c.LastErrMsg();
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 1) << c.LastErrMsg();
  TOutputOptions amr = small_output();
  amr.VideoCodec = "h263";
  amr.FrameSize = "176x144";
  amr.AudioCodec = "libamr_nb";
  amr.AudioSampleRate = 8000;
  amr.AudioChannels = 1;
  amr.AudioBitrate = 12200;
  ASSERT_TRUE(c.SetOutputFile(1, out_file("legacy.3gp"), &amr)) << c.LastErrMsg();
  c.StartConvert(2);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }, 60s));
  for (const Event& e : c.rec.terms()) EXPECT_FALSE(e.exception) << e.msg;
  const auto a = testmedia::probe(out_file("legacy.mp4"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_NE(a.first(AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(a.first(AVMEDIA_TYPE_AUDIO)->codec, "aac");
  EXPECT_GT(a.first(AVMEDIA_TYPE_AUDIO)->samples_decoded, 44100);
  const auto b = testmedia::probe(out_file("legacy.3gp"));
  ASSERT_TRUE(b.ok) << b.error;
  ASSERT_NE(b.first(AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(b.first(AVMEDIA_TYPE_AUDIO)->codec, "amr_nb");
  EXPECT_EQ(b.first(AVMEDIA_TYPE_AUDIO)->sample_rate, 8000);
}

TEST_F(ComponentTest, NoLogEventRunsUnderTheLibraryLock) {
  // libx264 logs while its encoder is opened, which happens under the lock.
  TestConverter c;
  c.SetLogLevel(llAll);
  std::atomic<int> under_lock{0}, x264_lines{0};
  c.OnLog = [&](int, TLogLevel, const std::string& m) {
    if (LibraryLockGuard::held_by_this_thread()) ++under_lock;
    if (m.find("libx264") != std::string::npos) ++x264_lines;
  };
  c.OnTerminate = [&](int i, bool f, bool x, const std::string& m) {
    c.rec.add({Event::Term, i, f, x, m, current_thread_id()});
  };
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 0) << c.LastErrMsg();
  TOutputOptions o = small_output();
  o.VideoCodec = "libx264";
  o.AudioCodec = "aac";
  ASSERT_TRUE(c.SetOutputFile(0, out_file("x264lock.mp4"), &o)) << c.LastErrMsg();
  c.StartConvert(1);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }, 60s));
  c.SetLogLevel(llInfo);
  EXPECT_GT(x264_lines.load(), 0);
  EXPECT_EQ(under_lock.load(), 0);
}

TEST_F(ComponentTest, HookEventsCarryTheTaskIndexAndReachTheEngine) {
  TestConverter c;
  std::mutex m;
  std::map<int, int> custom_calls, before_calls;
  c.OnCustomHook = [&](int i, TBitmap& bmp, int, int64_t, bool& update, bool&) {
    for (int r = 0; r < bmp.height(); ++r) std::fill_n(bmp.scan_line(r), bmp.width() * 3, uint8_t{255});
    update = true;
    std::lock_guard lock(m);
    ++custom_calls[i];
  };
  c.OnBeforeHook = [&](int i, int64_t, THookAction& action) {
    action = haContinue;
    std::lock_guard lock(m);
    ++before_calls[i];
  };
  for (int i = 0; i < 2; ++i) ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), i) << c.LastErrMsg();
  TOutputOptions custom = small_output();
  custom.CustomHook = true;
  ASSERT_TRUE(c.SetOutputFile(0, out_file("hook-custom.avi"), &custom)) << c.LastErrMsg();
  TOutputOptions before = small_output();
  before.BeforeHook = true;
  before.ExtOptions = std::string("vhook=") + KLAVENTA_TEST_HOOK;
  ASSERT_TRUE(c.SetOutputFile(1, out_file("hook-before.avi"), &before)) << c.LastErrMsg();
  c.StartConvert(2);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }, 60s));
  {
    std::lock_guard lock(m);
    EXPECT_EQ(custom_calls, (std::map<int, int>{{0, 50}}));
    EXPECT_EQ(before_calls, (std::map<int, int>{{1, 50}}));
  }
  std::vector<uint8_t> y;
  int w = 0, h = 0;
  ASSERT_TRUE(testmedia::read_video_frame(out_file("hook-custom.avi"), 10, y, w, h));
  long sum = 0;
  for (uint8_t v : y) sum += v;
  EXPECT_GT(sum / static_cast<long>(y.size()), 220);  // the white the handler painted
}

TEST_F(ComponentTest, FailedRunReportsTheException) {
  TestConverter c;
  ASSERT_EQ(c.AddTask(testmedia::path(Clip::Mpeg4Mp3Avi)), 0) << c.LastErrMsg();
  // No output: the start check fails at once.
  c.StartConvert(1);
  ASSERT_TRUE(c.rec.wait([&] { return c.rec.batch_ended(); }));
  const auto terms = c.rec.terms();
  ASSERT_EQ(terms.size(), 2u);
  EXPECT_TRUE(terms[0].exception);
  EXPECT_FALSE(terms[0].finished);
  EXPECT_EQ(terms[0].msg, "Must supply at least one output file");
  bool logged = false;
  for (const Event& e : c.rec.all(Event::Log))
    if (e.index == 0 && e.level == llQuiet && e.msg == terms[0].msg) logged = true;
  EXPECT_TRUE(logged);
}

// ---------------------------------------------------------------- log routing

struct LoggerObject {
  const AVClass* cls;
  const char* name;
};

const char* logger_name(void* p) { return static_cast<LoggerObject*>(p)->name; }

const AVClass kLoggerClass = {.class_name = "TestLogger",
                              .item_name = logger_name,
                              .option = nullptr,
                              .version = LIBAVUTIL_VERSION_INT,
                              .log_level_offset_offset = 0,
                              .parent_log_context_offset = 0,
                              .category = AV_CLASS_CATEGORY_NA,
                              .get_category = nullptr,
                              .query_ranges = nullptr,
                              .child_next = nullptr,
                              .child_class_iterate = nullptr};

std::string prefix_of(const char* name) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[%s @ 0x%016llX]", name,
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&kLoggerClass)));
  return buf;
}

// Runs steps on two threads in strict turns: a0, b0, a1, b1, ...
void alternate(const std::vector<std::function<void()>>& a, const std::vector<std::function<void()>>& b) {
  std::mutex m;
  std::condition_variable cv;
  size_t turn = 0;
  auto run = [&](const std::vector<std::function<void()>>& steps, size_t parity) {
    for (size_t i = 0; i < steps.size(); ++i) {
      std::unique_lock lock(m);
      cv.wait(lock, [&] { return turn == 2 * i + parity; });
      lock.unlock();
      steps[i]();
      lock.lock();
      ++turn;
      cv.notify_all();
    }
  };
  std::thread ta(run, std::cref(a), 0), tb(run, std::cref(b), 1);
  ta.join();
  tb.join();
}

TEST_F(ComponentTest, LibraryLinesAreAssembledPerThreadAndReachEveryComponent) {
  TestConverter one, two;
  LoggerObject alpha{&kLoggerClass, "alpha"}, beta{&kLoggerClass, "beta"};
  alternate({[&] { ff::av_log(&alpha, AV_LOG_INFO, "abc"); },
             [&] { ff::av_log(&alpha, AV_LOG_WARNING, "def\n"); }},
            {[&] { ff::av_log(&beta, AV_LOG_INFO, "uvw"); },  //
             [&] { ff::av_log(nullptr, AV_LOG_INFO, "xyz\n"); }});
  for (TestConverter* c : {&one, &two}) {
    const auto logs = c->rec.all(Event::Log);
    std::set<std::string> lines;
    for (const Event& e : logs) {
      if (e.msg.find("abc") == std::string::npos && e.msg.find("uvw") == std::string::npos) continue;
      lines.insert(e.msg);
      EXPECT_EQ(e.index, -1);
    }
    EXPECT_EQ(lines, (std::set<std::string>{prefix_of("alpha") + "abcdef", prefix_of("beta") + "uvwxyz"}));
  }
}

TEST_F(ComponentTest, LibraryLineEdges) {
  TestConverter c;
  auto lines_after = [&](const std::function<void()>& f) {
    const size_t before = c.LogLines().size();
    f();
    const auto all = c.LogLines();
    return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
  };
  // Two line feeds: two lines, nothing left pending.
  EXPECT_EQ(lines_after([] { ff::av_log(nullptr, AV_LOG_INFO, "one\ntwo\n"); }),
            (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(lines_after([] { ff::av_log(nullptr, AV_LOG_INFO, "three\n"); }), (std::vector<std::string>{"three"}));
  // A lone line feed completes the pending line; an empty line is delivered.
  EXPECT_EQ(lines_after([] {
              ff::av_log(nullptr, AV_LOG_INFO, "four");
              ff::av_log(nullptr, AV_LOG_INFO, "\n\n");
            }),
            (std::vector<std::string>{"four", ""}));
  // Longer than the buffer: cut, and the thread's next line is whole.
  const std::string huge(5000, 'x');
  auto cut = lines_after([&] { ff::av_log(nullptr, AV_LOG_INFO, "%s\n", huge.c_str()); });
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_GT(cut[0].size(), 1000u);
  EXPECT_LT(cut[0].size(), klaventa::kLogBufferSize);
  lines_after([&] { ff::av_log(nullptr, AV_LOG_INFO, "%s", huge.c_str()); });
  cut = lines_after([&] {
    ff::av_log(nullptr, AV_LOG_INFO, "%s", huge.c_str());
    ff::av_log(nullptr, AV_LOG_INFO, "\n");
  });
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_LT(cut[0].size(), klaventa::kLogBufferSize);
  EXPECT_EQ(lines_after([] { ff::av_log(nullptr, AV_LOG_INFO, "after\n"); }), (std::vector<std::string>{"after"}));
}

TEST_F(ComponentTest, LogThresholdAndLevelMapping) {
  TestConverter c;
  ASSERT_EQ(c.LogLevel(), llInfo);
  auto level_of = [&](int av_level) -> int {
    const size_t before = c.rec.all(Event::Log).size();
    ff::av_log(nullptr, av_level, "level probe\n");
    const auto logs = c.rec.all(Event::Log);
    return logs.size() == before ? -100 : logs.back().level;
  };
  EXPECT_EQ(level_of(AV_LOG_ERROR), llError);
  EXPECT_EQ(level_of(AV_LOG_WARNING), llError);
  EXPECT_EQ(level_of(AV_LOG_INFO), llInfo);
  EXPECT_EQ(level_of(AV_LOG_VERBOSE), -100);
  EXPECT_EQ(level_of(AV_LOG_DEBUG), -100);
  c.SetLogLevel(llDebug);
  EXPECT_EQ(level_of(AV_LOG_DEBUG), llDebug);
  EXPECT_EQ(level_of(AV_LOG_TRACE), -100);
  c.SetLogLevel(llAll);
  EXPECT_EQ(level_of(AV_LOG_TRACE), llAll);
  c.SetLogLevel(llQuiet);
  EXPECT_EQ(level_of(AV_LOG_ERROR), -100);
  c.SetLogLevel(llInfo);

  for (auto [level, expected] : std::vector<std::pair<int, TLogLevel>>{
           {-5, llQuiet}, {-1, llQuiet}, {0, llError}, {1, llInfo}, {2, llDebug}, {3, llAll}, {4, llAll}, {5, llAll}})
    EXPECT_EQ(TCustomMediaConverter::LogLevelFromLibrary(level), expected) << level;
  c.DoLog(nullptr, 5, "five");
  c.DoLog(nullptr, -1, "minus one");
  const auto logs = c.rec.all(Event::Log);
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[logs.size() - 2].level, llAll);
  EXPECT_EQ(logs.back().level, llQuiet);
  EXPECT_EQ(logs.back().index, -1);
}

TEST_F(ComponentTest, ADestroyedComponentGetsNoMoreLines) {
  TestConverter stays;
  {
    TestConverter gone;
    ff::av_log(nullptr, AV_LOG_INFO, "both\n");
    EXPECT_EQ(gone.LogLines().size(), 1u);
  }
  ff::av_log(nullptr, AV_LOG_INFO, "only one\n");
  EXPECT_EQ(stays.LogLines(), (std::vector<std::string>{"both", "only one"}));
}

}  // namespace
