// Conversion component under load: four tasks at once, twenty batches, random
// stops and pauses, library lines from a foreign thread. Meant for ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "component/converter.h"
#include "media/testmedia.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> g_live_tasks{0};

class CountedTask : public TFFmpeg {
 public:
  CountedTask() { ++g_live_tasks; }
  ~CountedTask() override { --g_live_tasks; }
};

struct Termination {
  int index;
  bool finished, exception;
  std::string msg;
};

class StressConverter : public TMediaConverter {
 public:
  StressConverter() {
    OnTerminate = [this](int i, bool f, bool x, const std::string& m) {
      {
        std::lock_guard lock(mutex_);
        terms_.push_back({i, f, x, m});
      }
      cv_.notify_all();
    };
    OnLog = [this](int, TLogLevel, const std::string&) { ++lines; };
    OnProgress = [this](int, int, int, int, float, float, int64_t, int) { ++progress; };
  }
  bool WaitBatchEnd(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] {
      for (const Termination& t : terms_)
        if (t.index < 0) return true;
      return false;
    });
  }
  std::vector<Termination> TakeTerminations() {
    std::lock_guard lock(mutex_);
    return std::exchange(terms_, {});
  }
  ~StressConverter() override { Shutdown(); }
  std::atomic<long> lines{0}, progress{0};

 protected:
  std::unique_ptr<TFFmpeg> NewTask() override { return std::make_unique<CountedTask>(); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Termination> terms_;
};

TEST(ComponentStress, FourTasksTwentyBatchesWithRandomStopAndPause) {
  {
    TMediaConverter loader;
    ASSERT_TRUE(loader.LoadAVLib("", 1)) << loader.LastErrMsg();
  }
  testmedia::ClipSpec clip;
  clip.width = 96, clip.height = 64, clip.frames = 12, clip.seconds = 0.5;
  clip.audio_codec = "mp2";
  const std::string input = testmedia::make(clip);
  const std::string dir = testmedia::temp_dir();

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

  StressConverter c;
  std::atomic<bool> spam{true};
  std::thread spammer([&] {  // partial library lines from a thread that runs no task
    int n = 0;
    while (spam) {
      ff::av_log(nullptr, AV_LOG_INFO, "spam %d ", n);
      ff::av_log(nullptr, AV_LOG_INFO, "line\n");
      if (++n % 50 == 0) std::this_thread::sleep_for(1ms);
    }
  });

  int stopped_batches = 0, finished_tasks = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    c.ClearTasks();
    ASSERT_EQ(g_live_tasks.load(), 0);
    c.SetLogLevel(round % 3 == 2 ? llDebug : llInfo);
    c.SetProgressInterval(100);
    for (int i = 0; i < 4; ++i) {
      ASSERT_EQ(c.AddTask(input), i) << c.LastErrMsg();
      TOutputOptions o;
      o.VideoCodec = "mpeg4";
      o.AudioCodec = "mp2";
      const std::string out = dir + "/stress-" + std::to_string(round) + "-" + std::to_string(i) + ".avi";
      ASSERT_TRUE(c.SetOutputFile(i, out, &o)) << c.LastErrMsg();
    }
    TMediaConverter* passer_by = new TMediaConverter;  // joins and leaves the registry mid-batch

    const int action = pick(4);
    c.StartConvert(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(40)));
    delete passer_by;
    switch (action) {
      case 1:  // pause and resume
        c.PauseConvert();
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(30)));
        c.ResumeConvert();
        break;
      case 2:  // stop
        c.StopConvert();
        ++stopped_batches;
        break;
      case 3:  // stop while paused
        c.PauseConvert();
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(30)));
        c.StopConvert();
        ++stopped_batches;
        break;
      default:
        break;
    }
    ASSERT_TRUE(c.WaitBatchEnd(120s)) << "batch did not end";
    std::this_thread::sleep_for(20ms);  // nothing may follow the end of the batch
    const std::vector<Termination> terms = c.TakeTerminations();
    ASSERT_EQ(terms.size(), 5u);
    EXPECT_EQ(terms.back().index, -1);
    EXPECT_TRUE(terms.back().finished);
    std::set<int> indices;
    for (size_t i = 0; i + 1 < terms.size(); ++i) {
      indices.insert(terms[i].index);
      EXPECT_FALSE(terms[i].exception) << terms[i].msg;
      if (terms[i].finished) {
        ++finished_tasks;
        const std::string out = dir + "/stress-" + std::to_string(round) + "-" + std::to_string(terms[i].index) + ".avi";
        const auto info = testmedia::probe(out, false);
        ASSERT_TRUE(info.ok) << out << ": " << info.error;
        EXPECT_NE(info.first(AVMEDIA_TYPE_VIDEO), nullptr);
      }
    }
    EXPECT_EQ(indices, (std::set<int>{0, 1, 2, 3}));
  }
  spam = false;
  spammer.join();
  c.ClearTasks();
  EXPECT_EQ(g_live_tasks.load(), 0);
  EXPECT_GT(c.lines.load(), 0);
  std::printf("stress: %d batches stopped, %d tasks finished, %ld lines, %ld progress events\n", stopped_batches,
              finished_tasks, c.lines.load(), c.progress.load());
}

}  // namespace
