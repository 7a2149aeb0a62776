// Long run: 200 small files through the component, two at a time, with seeded
// random stops, pauses and resumes. Every task must report its end, and file
// descriptors, threads and live heap must come back to where they were.
// KLAVENTA_SOAK_SEED=n picks another seed.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "component/converter.h"
#include "media/testmedia.h"

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif
#ifdef SOAK_ASAN
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else  // GCC ships no such header; the runtime has the call
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#endif

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kFiles = 200;
constexpr int kBatch = 5;    // files per batch
constexpr int kWarmUp = 50;  // files converted before the heap reference

int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

int open_fds() { return count_entries("/proc/self/fd") - 1; }  // less the one reading it
int live_threads() { return count_entries("/proc/self/task"); }

size_t live_heap() {
#ifdef SOAK_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;  // small chunks in use plus mapped large ones
#endif
}

// glibc counts blocks parked in its per-thread caches as in use: they grow
// for a while (about 15 KiB over this run) without being live.
#ifdef SOAK_ASAN
constexpr long long kHeapSlack = 16 * 1024;
#else
constexpr long long kHeapSlack = 64 * 1024;
#endif

// Threads may still be leaving right after the last task is freed.
int settled_threads(int expected) {
  int n = live_threads();
  for (int i = 0; i < 200 && n != expected; ++i) {
    std::this_thread::sleep_for(10ms);
    n = live_threads();
  }
  return n;
}

struct InputKind {
  const char* container;
  const char* ext;
  const char* video;
  const char* audio;
  int rate;
};

const InputKind kInputs[] = {
    {"avi", ".avi", "mpeg4", "libmp3lame", 44100},
    {"matroska", ".mkv", "mpeg4", "mp2", 44100},
    {"mp4", ".mp4", "mpeg4", "aac", 48000},
    {"mpeg", ".mpg", "mpeg2video", "mp2", 44100},
};

struct Input {
  std::string path;
  int frames;
  double seconds;
};

// File i: the input kinds in turn; size, length and tone vary. Empty path on failure.
Input write_input(int i, const std::string& dir, std::string* error) {
  const InputKind& kind = kInputs[i % 4];
  testmedia::ClipSpec s;
  s.container = kind.container;
  s.video_codec = kind.video;
  s.audio_codec = kind.audio;
  s.sample_rate = kind.rate;
  s.width = i % 2 ? 160 : 96;
  s.height = i % 2 ? 120 : 64;
  s.frames = 8 + i % 5;  // 0.32 - 0.48 s at 25 fps
  s.seconds = s.frames / 25.0;
  s.tone_hz = 300 + 10 * (i % 40);
  s.gop = 6;
  const std::string path = dir + "/in-" + std::to_string(i) + kind.ext;
  if (!testmedia::write_clip(s, path, error)) return {"", 0, 0};
  return {path, s.frames, s.seconds};
}

struct Output {
  const char* ext;
  const char* video;  // nullptr: audio only
  const char* audio;
  const char* size;  // "" keeps the input's
};

const Output kOutputs[] = {
    {".avi", "mpeg4", "mp2", ""},
    {".mp4", "mpeg4", "aac", "128x96"},
    {".mpg", "mpeg1video", "mp2", "160x120"},
    {".mp3", nullptr, "libmp3lame", ""},
};

struct Termination {
  int index;
  bool finished, exception;
  std::string msg;
};

class SoakConverter : public TMediaConverter {
 public:
  SoakConverter() {
    OnTerminate = [this](int i, bool f, bool x, const std::string& m) {
      {
        std::lock_guard lock(mutex_);
        terms_.push_back({i, f, x, m});
      }
      cv_.notify_all();
    };
  }
  ~SoakConverter() override { Shutdown(); }
  bool WaitBatchEnd(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return !terms_.empty() && terms_.back().index < 0; });
  }
  std::vector<Termination> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(terms_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Termination> terms_;
};

TEST(Soak, TwoHundredFilesWithRandomStopPauseAndResume) {
  const auto t0 = std::chrono::steady_clock::now();
  {
    TMediaConverter loader;
    ASSERT_TRUE(loader.LoadAVLib("", 1)) << loader.LastErrMsg();
  }
  const std::string dir = testmedia::temp_dir();
  std::vector<Input> inputs;
  for (int i = 0; i < kFiles; ++i) {
    std::string err;
    inputs.push_back(write_input(i, dir, &err));
    ASSERT_FALSE(inputs.back().path.empty()) << err;
  }
  const auto t1 = std::chrono::steady_clock::now();

  unsigned seed = 20240917;
  if (const char* e = std::getenv("KLAVENTA_SOAK_SEED")) seed = static_cast<unsigned>(std::strtoul(e, nullptr, 10));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

  const int fds0 = open_fds(), threads0 = live_threads();
  size_t heap_warm = 0, heap_end = 0;
  double slowest_stop = 0;  // seconds from StopConvert to the end of the batch
  int stops = 0, pauses = 0, finished = 0, stopped = 0, partial = 0, checked = 0;
  {
    SoakConverter c;
    c.SetProgressInterval(100);
    for (int first = 0; first < kFiles; first += kBatch) {
      SCOPED_TRACE("files " + std::to_string(first) + ".." + std::to_string(first + kBatch - 1));
      struct Job {
        const Input* in;
        const Output* kind;
        std::string out;
      };
      std::vector<Job> jobs;  // by task index
      for (int k = 0; k < kBatch; ++k) {
        const int f = first + k;
        const int index = c.AddTask(inputs[f].path);
        ASSERT_EQ(index, k) << c.LastErrMsg();
        const Output& kind = kOutputs[pick(4)];
        TOutputOptions o;
        if (kind.video)
          o.VideoCodec = kind.video;
        else
          o.DisableVideo = true;
        o.AudioCodec = kind.audio;
        o.FrameSize = kind.size;
        const std::string out = dir + "/out-" + std::to_string(f) + kind.ext;
        ASSERT_TRUE(c.SetOutputFile(index, out, &o)) << c.LastErrMsg();
        jobs.push_back({&inputs[f], &kind, out});
      }

      // 0, 1: run through; 2: pause and resume; 3: stop; 4: pause, then stop.
      const int action = pick(5);
      c.StartConvert(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(pick(60)));
      if (action == 2 || action == 4) {
        c.PauseConvert();
        ++pauses;
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(30)));
        if (action == 2) c.ResumeConvert();
      }
      const auto stop_at = std::chrono::steady_clock::now();
      if (action >= 3) {
        c.StopConvert();
        ++stops;
      }
      ASSERT_TRUE(c.WaitBatchEnd(60s)) << "batch did not end (action " << action << ")";
      if (action >= 3)
        slowest_stop =
            std::max(slowest_stop, std::chrono::duration<double>(std::chrono::steady_clock::now() - stop_at).count());
      c.ClearTasks();  // joins every worker: nothing can be reported after this
      const std::vector<Termination> terms = c.Take();

      ASSERT_EQ(terms.size(), static_cast<size_t>(kBatch + 1));
      EXPECT_EQ(terms.back().index, -1);
      EXPECT_TRUE(terms.back().finished);
      std::vector<int> seen(kBatch);
      for (size_t t = 0; t + 1 < terms.size(); ++t) {
        const Termination& e = terms[t];
        ASSERT_TRUE(e.index >= 0 && e.index < kBatch) << e.index;
        ++seen[e.index];
        const Job& job = jobs[e.index];
        EXPECT_FALSE(e.exception) << e.msg;
        if (action < 3) {
          EXPECT_TRUE(e.finished) << "task " << e.index << " not finished without a stop";
        }
        if (!e.finished) {
          ++stopped;
          // A stopped run leaves no file or a readable one; an mp3 stopped
          // before its first frame holds just its tag and info frame.
          if (fs::exists(job.out)) {
            ++partial;
            const testmedia::FileInfo info = testmedia::probe(job.out);
            const bool header_only = !job.kind->video && fs::file_size(job.out) < 1024;
            EXPECT_TRUE(info.ok || header_only) << job.out << ": " << info.error;
          }
          continue;
        }
        ++finished;
        // Read the output back: every picture and all the sound arrived.
        const testmedia::FileInfo info = testmedia::probe(job.out);
        ASSERT_TRUE(info.ok) << job.out << ": " << info.error;
        const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
        ASSERT_NE(a, nullptr) << job.out;
        EXPECT_EQ(a->decode_errors, 0) << job.out;
        EXPECT_NEAR(static_cast<double>(a->samples_decoded) / a->sample_rate, job.in->seconds, 0.08) << job.out;
        const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
        if (job.kind->video) {
          ASSERT_NE(v, nullptr) << job.out;
          EXPECT_EQ(v->frames_decoded, job.in->frames) << job.out;
          EXPECT_EQ(v->decode_errors, 0) << job.out;
        } else {
          EXPECT_EQ(v, nullptr) << job.out;
        }
        ++checked;
      }
      for (int k = 0; k < kBatch; ++k) EXPECT_EQ(seen[k], 1) << "ends reported by task " << k;
      for (const Job& job : jobs) fs::remove(job.out);
      if (first + kBatch == kWarmUp) heap_warm = live_heap();
      if (first + kBatch == kFiles) heap_end = live_heap();  // at the same point as the warm-up figure
    }
  }
  const int fds1 = open_fds(), threads1 = settled_threads(threads0);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
  const double gen = std::chrono::duration<double>(t1 - t0).count();

  std::printf(
      "soak: seed %u, %d files: %d finished (%d outputs read back), %d stopped (%d left an output), %d stops, "
      "%d pauses\n"
      "soak: generation %.1f s, conversion %.1f s, slowest stop %.0f ms\n"
      "soak: fds %d -> %d, threads %d -> %d\n"
      "soak: live heap after %d files %zu bytes, at the end %zu bytes (%+lld)\n",
      seed, kFiles, finished, checked, stopped, partial, stops, pauses, gen, secs, slowest_stop * 1000, fds0, fds1,
      threads0, threads1, kWarmUp, heap_warm, heap_end,
      static_cast<long long>(heap_end) - static_cast<long long>(heap_warm));
  EXPECT_EQ(finished + stopped, kFiles);
  EXPECT_GT(stops, 0);
  EXPECT_GT(pauses, 0);
  EXPECT_EQ(fds1, fds0);
  EXPECT_EQ(threads1, threads0);
  EXPECT_LT(static_cast<long long>(heap_end), static_cast<long long>(heap_warm) + kHeapSlack);
}

}  // namespace
