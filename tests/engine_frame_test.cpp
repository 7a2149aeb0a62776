// Engine frame: start checks, run on a worker thread, stop, pause, destruction,
// reset and the release of what a run leaves open.
#include <fenv.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "binding/loader.h"
#include "engine/engine.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// An engine whose transcode is a script of the test.
class ScriptedEngine : public TCustomFFmpeg {
 public:
  ~ScriptedEngine() override { finish_run(); }  // the run uses `script`
  std::function<void(ScriptedEngine&)> script;
  void transcode() override {
    if (script) script(*this);
  }
};

// What the engine reported through OnLog and OnTerminate.
struct Reports {
  std::mutex m;
  std::condition_variable cv;
  int terminations = 0;
  std::vector<uint64_t> terminate_threads;
  std::vector<std::pair<int, std::string>> logs;

  void attach(TCustomFFmpeg& e) {
    e.OnLog = [this](int level, const std::string& text) {
      std::lock_guard lock(m);
      logs.emplace_back(level, text);
    };
    e.OnTerminate = [this] {
      std::lock_guard lock(m);
      ++terminations;
      terminate_threads.push_back(current_thread_id());
      cv.notify_all();
    };
  }
  bool wait_terminations(int n, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, timeout, [&] { return terminations >= n; });
  }
  int count() {
    std::lock_guard lock(m);
    return terminations;
  }
};

template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = 5s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Pretends one input and one output are there so the start checks pass.
void pretend_files(TCustomFFmpeg& e) {
  e.nb_input_files = 1;
  e.nb_output_files = 1;
}

// A loop standing in for the packet loop: one turn per millisecond or so.
void packet_loop(ScriptedEngine& e, std::atomic<int>& turns) {
  while (!e.stop_requested) {
    e.wait_if_paused();
    ++turns;
    std::this_thread::sleep_for(1ms);
  }
  e.finished = !e.stop_requested;
}

class EngineFrame : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }
  void SetUp() override {
    char tmpl[] = "/tmp/klaventa-frame-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Creates an output the way output creation does: muxer context and opened file.
  void add_output(TCustomFFmpeg& e, const fs::path& path) {
    AVFormatContext* oc = nullptr;
    ASSERT_GE(ff::avformat_alloc_output_context2(&oc, nullptr, nullptr, path.c_str()), 0);
    ASSERT_GE(ff::avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    e.output_files[e.nb_output_files++] = oc;
  }

  fs::path dir_;
};

TEST_F(EngineFrame, StartWithoutOutputOrInputFailsThroughTerminate) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();
  bool ran = false;
  e.script = [&](ScriptedEngine&) { ran = true; };

  EXPECT_EQ(e.start_conversion(true, tpNormal), nullptr);
  ASSERT_EQ(r.count(), 1);
  EXPECT_EQ(r.terminate_threads[0], current_thread_id());  // reported inline, no thread
  ASSERT_EQ(r.logs.size(), 1u);
  EXPECT_EQ(r.logs[0], std::make_pair(-1, std::string("Must supply at least one output file")));
  EXPECT_TRUE(e.failed);
  EXPECT_EQ(e.fail_message, "Must supply at least one output file");
  EXPECT_TRUE(e.terminated);
  EXPECT_FALSE(e.running);
  EXPECT_EQ(e.worker_thread.load(), nullptr);

  // Refused until reset, in both modes.
  EXPECT_EQ(e.start_conversion(true, tpNormal), nullptr);
  EXPECT_EQ(e.start_conversion(false, tpNormal), nullptr);
  EXPECT_EQ(r.count(), 1);
  EXPECT_EQ(r.logs.size(), 1u);

  // After reset: an output but still no input.
  e.reset();
  EXPECT_FALSE(e.failed);
  EXPECT_FALSE(e.terminated);
  const fs::path out = dir_ / "out.avi";
  add_output(e, out);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(e.start_conversion(true, tpNormal), nullptr);
  ASSERT_EQ(r.count(), 2);
  EXPECT_EQ(r.logs.back(), std::make_pair(-1, std::string("Must supply at least one input file")));
  EXPECT_EQ(e.fail_message, "Must supply at least one input file");
  EXPECT_EQ(e.nb_output_files, 0);
  EXPECT_FALSE(fs::exists(out)) << "an empty output is not left on disk";
  EXPECT_FALSE(ran);
}

TEST_F(EngineFrame, ReleaseDeletesOnlyEmptyOutputs) {
  struct Case {
    const char* name;
    std::string content;
    bool kept;
  };
  const Case cases[] = {{"empty.avi", "", false}, {"data.mp4", "12345", true}, {"data.mpg", "x", true}};
  ScriptedEngine e;
  e.reset();
  for (const Case& c : cases) {
    add_output(e, dir_ / c.name);
    std::ofstream(dir_ / c.name, std::ios::app) << c.content;
  }
  e.release_all();
  EXPECT_EQ(e.nb_output_files, 0);
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(dir_ / c.name), c.kept) << c.name;
    if (c.kept) {
      EXPECT_EQ(fs::file_size(dir_ / c.name), c.content.size()) << c.name;
    }
  }
}

TEST_F(EngineFrame, StoppingAnIdleEngineReportsOnceFromAnotherThread) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();

  e.stop_conversion();
  e.stop_conversion();  // the first report is still on its way
  ASSERT_TRUE(r.wait_terminations(1));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(r.count(), 1);
  EXPECT_NE(r.terminate_threads[0], current_thread_id());
  EXPECT_TRUE(e.terminated);
  EXPECT_FALSE(e.running);
  EXPECT_FALSE(e.finished);
  EXPECT_FALSE(e.failed);
  EXPECT_TRUE(r.logs.empty());

  e.stop_conversion();  // terminated: nothing more
  pretend_files(e);
  EXPECT_EQ(e.start_conversion(true, tpNormal), nullptr);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(r.count(), 1);
}

TEST_F(EngineFrame, RunOnWorkerThreadStartsOnResumeAndCompletes) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();
  pretend_files(e);
  std::atomic<uint64_t> run_thread{0};
  e.script = [&](ScriptedEngine& self) {
    run_thread = current_thread_id();
    self.finished = !self.stop_requested;
  };

  TFFmpegThread* t = e.start_conversion(true, tpNormal);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(e.worker_thread.load(), t);
  EXPECT_TRUE(e.running);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(run_thread.load(), 0u) << "created suspended";
  EXPECT_EQ(r.count(), 0);

  t->resume();
  ASSERT_TRUE(r.wait_terminations(1));
  EXPECT_EQ(run_thread.load(), t->thread_id());
  EXPECT_EQ(r.terminate_threads[0], t->thread_id());
  EXPECT_NE(t->thread_id(), current_thread_id());
  EXPECT_TRUE(e.finished);
  EXPECT_FALSE(e.failed);
  EXPECT_TRUE(eventually([&] { return e.worker_thread.load() == nullptr; }));
  EXPECT_FALSE(e.running);
  EXPECT_TRUE(e.terminated);
  EXPECT_EQ(e.start_conversion(true, tpNormal), nullptr);
}

TEST_F(EngineFrame, FailedRunReportsItsMessage) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();
  pretend_files(e);
  e.script = [](ScriptedEngine&) { throw FFMpegException("Could not write header for output file #0"); };

  EXPECT_EQ(e.start_conversion(false, tpNormal), nullptr);  // inline: done on return
  ASSERT_EQ(r.count(), 1);
  EXPECT_EQ(r.terminate_threads[0], current_thread_id());
  ASSERT_EQ(r.logs.size(), 1u);
  EXPECT_EQ(r.logs[0], std::make_pair(-1, std::string("Could not write header for output file #0")));
  EXPECT_TRUE(e.failed);
  EXPECT_EQ(e.fail_message, "Could not write header for output file #0");
  EXPECT_FALSE(e.finished);
  EXPECT_FALSE(e.running);
}

TEST_F(EngineFrame, PauseHoldsTheRunAndStopEndsAPausedRun) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();
  pretend_files(e);
  std::atomic<int> turns{0};
  e.script = [&](ScriptedEngine& self) { packet_loop(self, turns); };

  TFFmpegThread* t = e.start_conversion(true, tpNormal);
  ASSERT_NE(t, nullptr);
  t->resume();
  ASSERT_TRUE(eventually([&] { return turns > 5; }));

  e.pause_conversion();
  std::this_thread::sleep_for(50ms);
  int held = turns;
  std::this_thread::sleep_for(300ms);
  EXPECT_LE(turns, held + 1) << "no progress while paused";

  e.resume_conversion();
  EXPECT_TRUE(eventually([&] { return turns > held + 5; }));

  e.pause_conversion();
  std::this_thread::sleep_for(50ms);
  held = turns;
  e.stop_conversion();  // running: a stop request, which opens the gate
  ASSERT_TRUE(r.wait_terminations(1, 2s));
  EXPECT_LE(turns, held + 2);
  EXPECT_FALSE(e.finished);
  EXPECT_FALSE(e.failed);
  EXPECT_TRUE(e.terminated);
}

TEST_F(EngineFrame, DestroyingAnEngineEndsItsRunFirst) {
  for (bool paused : {false, true}) {
    SCOPED_TRACE(paused ? "paused run" : "running");
    Reports r;
    std::atomic<int> turns{0};
    auto engine = std::make_unique<ScriptedEngine>();
    r.attach(*engine);
    engine->reset();
    pretend_files(*engine);
    engine->script = [&](ScriptedEngine& self) { packet_loop(self, turns); };
    TFFmpegThread* t = engine->start_conversion(true, tpNormal);
    ASSERT_NE(t, nullptr);
    t->resume();
    ASSERT_TRUE(eventually([&] { return turns > 3; }));
    if (paused) engine->pause_conversion();

    const auto t0 = std::chrono::steady_clock::now();
    engine = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
    EXPECT_EQ(r.count(), 1) << "the run ended and reported before the engine went";
  }
}

TEST_F(EngineFrame, DestroyingAnEngineNeverResumedDoesNotRunIt) {
  std::atomic<bool> entered{false};
  Reports r;
  {
    TCustomFFmpeg engine;  // the plain engine: its own transcode would run
    r.attach(engine);
    engine.reset();
    pretend_files(engine);
    ASSERT_NE(engine.start_conversion(true, tpNormal), nullptr);
  }
  EXPECT_EQ(r.count(), 0);

  // Stopping such an engine does start it, so that it sees the request.
  ScriptedEngine e;
  r.attach(e);
  e.reset();
  pretend_files(e);
  e.script = [&](ScriptedEngine& self) { entered = self.stop_requested.load(); };
  ASSERT_NE(e.start_conversion(true, tpNormal), nullptr);
  e.stop_conversion();
  ASSERT_TRUE(r.wait_terminations(1));
  EXPECT_TRUE(entered);
  EXPECT_FALSE(e.finished);
}

TEST_F(EngineFrame, ThreadPriorityMapsToLinuxScheduling) {
  struct Case {
    TConvertPriority priority;
    int policy;
    int nice_step;
  };
  const Case cases[] = {
      {tpIdle, SCHED_IDLE, 0}, {tpLowest, SCHED_OTHER, 10}, {tpLower, SCHED_OTHER, 5}, {tpNormal, SCHED_OTHER, 0}};
  errno = 0;
  const int base_nice = getpriority(PRIO_PROCESS, gettid());
  for (const Case& c : cases) {
    ScriptedEngine e;
    Reports r;
    r.attach(e);
    e.reset();
    pretend_files(e);
    int policy = -1, nice_value = -100;
    e.script = [&](ScriptedEngine&) {
      policy = sched_getscheduler(0);
      nice_value = getpriority(PRIO_PROCESS, gettid());
    };
    TFFmpegThread* t = e.start_conversion(true, c.priority);
    ASSERT_NE(t, nullptr);
    t->resume();
    ASSERT_TRUE(r.wait_terminations(1));
    EXPECT_EQ(policy, c.policy) << c.priority;
    if (c.policy != SCHED_IDLE) {
      EXPECT_EQ(nice_value, std::min(base_nice + c.nice_step, 19)) << c.priority;
    }
  }
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the caller's thread keeps its priority";
}

TEST_F(EngineFrame, LeftoverCodecsAreClosedAfterAFailedRun) {
  ScriptedEngine e;
  Reports r;
  r.attach(e);
  e.reset();
  pretend_files(e);

  auto open_encoder = [](AVCodecContext*& enc) {
    const AVCodec* codec = ff::avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    ASSERT_NE(codec, nullptr);
    enc = ff::avcodec_alloc_context3(codec);
    enc->width = 64;
    enc->height = 48;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, 25};
    std::lock_guard lock(library_lock());
    ASSERT_EQ(ff::avcodec_open2(enc, codec, nullptr), 0);
  };
  OutputStream* closed_by_loop = nullptr;
  OutputStream* left_open = nullptr;
  InputStream* left_decoder = nullptr;
  e.script = [&](ScriptedEngine& self) {
    self.output_streams[0].resize(2);
    for (int i = 0; i < 2; ++i) {
      open_encoder(self.output_streams[0][i].enc);
      auto ost = std::make_unique<OutputStream>();
      ost->index = i;
      ost->setup = &self.output_streams[0][i];
      ost->enc = ost->setup->enc;
      ost->encoding_needed = true;
      self.add_opened_encoder(ost.get());
      self.ost_table.push_back(std::move(ost));
    }
    self.output_streams[0][1].enc->stats_in = ff::av_strdup("pass one statistics");

    self.input_streams[0].resize(1);
    const AVCodec* decoder = ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    AVCodecContext*& dec = self.input_streams[0][0].dec;
    dec = ff::avcodec_alloc_context3(decoder);
    {
      std::lock_guard lock(library_lock());
      ASSERT_EQ(ff::avcodec_open2(dec, decoder, nullptr), 0);
    }
    auto ist = std::make_unique<InputStream>();
    ist->dec = dec;
    ist->decoding_needed = true;
    self.add_opened_decoder(ist.get());
    left_decoder = ist.get();
    self.ist_table.push_back(std::move(ist));

    // The loop closes the first encoder itself, as at a normal end.
    closed_by_loop = self.ost_table[0].get();
    left_open = self.ost_table[1].get();
    {
      std::lock_guard lock(library_lock());
      ff::avcodec_free_context(&closed_by_loop->setup->enc);
    }
    closed_by_loop->enc = nullptr;
    self.remove_opened_encoder(closed_by_loop);
    self.remove_opened_encoder(closed_by_loop);  // absent now: no effect
    ASSERT_EQ(self.opened_encoders.size(), 1u);
    throw FFMpegException("Error while opening codec for output stream #0.1");
  };

  EXPECT_EQ(e.start_conversion(false, tpNormal), nullptr);
  ASSERT_EQ(r.count(), 1);
  EXPECT_TRUE(e.failed);
  EXPECT_TRUE(e.opened_encoders.empty());
  EXPECT_TRUE(e.opened_decoders.empty());
  ASSERT_NE(left_open, nullptr);
  EXPECT_EQ(left_open->enc, nullptr);
  EXPECT_EQ(left_decoder->dec, nullptr);
  EXPECT_TRUE(e.output_streams[0].empty());
  EXPECT_TRUE(e.input_streams[0].empty());
  EXPECT_TRUE(library_lock().try_lock()) << "the lock is free again";
  library_lock().unlock();
}

TEST_F(EngineFrame, ResetRestoresDefaultsAndMakesOptionContexts) {
  ScriptedEngine e;
  e.reset();
  e.video_codec_name = ff::av_strdup("mpeg4");
  e.audio_codec_name = ff::av_strdup("mp2");
  e.video_standard = ff::av_strdup("pal");
  e.video_rc_override = ff::av_strdup("0,10,2");
  e.vstats_filename = ff::av_strdup((dir_ / "vstats.log").c_str());
  e.vstats_file = std::fopen((dir_ / "vstats.log").c_str(), "w");
  e.intra_matrix = static_cast<uint16_t*>(ff::av_mallocz(64 * sizeof(uint16_t)));
  e.option_names.push_back("b");
  ff::av_dict_set(&e.private_format_opts, "muxrate", "10080000", 0);
  ff::av_dict_set(&e.private_codec_opts[0], "scan_offset", "1", 0);
  std::string hook = KLAVENTA_TEST_HOOK;
  char* argv[] = {hook.data(), nullptr};
  ASSERT_EQ(klaventa::add_frame_hook(&e.frame_hooks, 1, argv), 0);
  e.using_vhook = true;
  e.hook_ranges.push_back({0, 1000});
  e.frame_width = 320;
  e.audio_sample_rate = 22050;
  e.max_frames[0] = 5;
  e.recording_time = 5000000;
  e.audio_language = "eng";
  e.verbose = 2;
  e.sws_flags = 1;
  e.stream_maps[0] = StreamMap{1, 2, 1, 2};
  e.nb_stream_maps = 1;
  e.input_ts_scale[1][2] = 2.0;
  e.input_ts_offset[0] = 77;
  e.video_size = 1000;
  e.failed = true;

  e.reset();
  EXPECT_EQ(e.video_codec_name, nullptr);
  EXPECT_EQ(e.audio_codec_name, nullptr);
  EXPECT_EQ(e.video_standard, nullptr);
  EXPECT_EQ(e.video_rc_override, nullptr);
  EXPECT_EQ(e.vstats_filename, nullptr);
  EXPECT_EQ(e.vstats_file, nullptr);
  EXPECT_EQ(e.intra_matrix, nullptr);
  EXPECT_TRUE(e.option_names.empty());
  EXPECT_EQ(e.private_format_opts, nullptr);
  EXPECT_EQ(e.private_codec_opts[0], nullptr);
  EXPECT_EQ(e.frame_hooks, nullptr);
  EXPECT_FALSE(e.using_vhook);
  EXPECT_TRUE(e.hook_ranges.empty());
  EXPECT_EQ(e.frame_width, 0);
  EXPECT_EQ(e.audio_sample_rate, 44100);
  EXPECT_EQ(e.max_frames[0], 2147483647);
  EXPECT_EQ(e.recording_time, INT64_MAX);
  EXPECT_EQ(e.audio_language, "");
  EXPECT_EQ(e.verbose, 1);
  EXPECT_EQ(e.sws_flags, 4);
  EXPECT_EQ(e.nb_stream_maps, 0);
  EXPECT_EQ(e.stream_maps[0].file_index, 0);
  EXPECT_EQ(e.input_ts_scale[1][2], 0.0);
  EXPECT_EQ(e.input_ts_offset[0], 77) << "each input opening sets its own offset";
  EXPECT_EQ(e.video_size, 0);
  EXPECT_FALSE(e.failed);
  EXPECT_EQ(e.total_output_duration, -1);
  EXPECT_EQ(e.hook_rgb_pix_fmt, AV_PIX_FMT_BGR24);
  EXPECT_EQ(e.bit_buffer_size, 262144);

  for (int t = 0; t < 5; ++t) {
    ASSERT_NE(e.codec_option_ctx[t], nullptr) << t;
    EXPECT_EQ(e.codec_option_ctx[t]->codec_type, static_cast<AVMediaType>(t));
  }
  ASSERT_NE(e.format_option_ctx, nullptr);
  ASSERT_NE(e.scaler_option_ctx, nullptr);
  int64_t sws_flags = 0;
  ASSERT_EQ(ff::av_opt_get_int(e.scaler_option_ctx, "sws_flags", 0, &sws_flags), 0);
  EXPECT_EQ(sws_flags, SWS_BICUBIC);
}

TEST_F(EngineFrame, FloatingPointExceptionsStayMasked) {
  ScriptedEngine e;
  e.reset();
  pretend_files(e);
  e.script = [](ScriptedEngine& self) {
    volatile double zero = 0;
    self.fail_message = std::isinf(1.0 / zero) && std::isnan(zero / zero) ? "masked" : "trapped";
  };
  e.start_conversion(false, tpNormal);
  EXPECT_EQ(e.fail_message, "masked");
  EXPECT_EQ(fegetexcept(), 0);
}

}  // namespace
