// Hostile inputs and faults: inputs are never written over, only our own empty
// outputs are deleted, a stop ends a stalled network run at once, full disks,
// vanishing output folders and broken inputs fail cleanly.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "binding/loader.h"
#include "component/converter.h"
#include "media/testmedia.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testmedia::Clip;

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

bool is_char_device(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Small clip with video and audio, about 50 KB.
std::string small_clip() {
  testmedia::ClipSpec spec;
  spec.audio_codec = "pcm_s16le";
  spec.sample_rate = 22050;
  spec.channels = 1;
  return testmedia::make(spec);
}

// Waits until done() or the timeout; true when done.
bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class Reliability : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }

  void SetUp() override {
    dir_ = fs::path(testmedia::temp_dir()) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

// ---------------------------------------------------------------- a stalling HTTP server

// Serves `body` to every request but sends only its first `limit` bytes, then
// holds the connection open without sending more (up to 20 s).
class StallingServer {
 public:
  StallingServer(std::string body, size_t limit) : body_(std::move(body)), limit_(std::min(limit, body_.size())) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("cannot listen");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~StallingServer() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
    ::close(fd_);
  }

  std::string Url(const std::string& name) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + name; }

  // Waits until a client has been sent everything it will get.
  bool WaitSent(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return sent_; });
  }

 private:
  void Serve() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (done_) return;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string request;
      char buf[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd q{c, POLLIN, 0};
        if (::poll(&q, 1, 2000) <= 0) break;
        const ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
      Send(c, head.data(), head.size());
      Send(c, body_.data(), limit_);
      std::unique_lock lock(mutex_);
      sent_ = true;
      cv_.notify_all();
      cv_.wait_for(lock, 20s, [this] { return done_; });
      lock.unlock();
      ::close(c);
    }
  }

  static void Send(int c, const char* p, size_t n) {
    while (n > 0) {
      const ssize_t k = ::send(c, p, n, MSG_NOSIGNAL);
      if (k <= 0) return;
      p += k;
      n -= static_cast<size_t>(k);
    }
  }

  std::string body_;
  size_t limit_;
  int fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool sent_ = false, done_ = false;
  std::thread thread_;
};

// A stream the demuxer reads front to back: 20 s of small MPEG-TS.
std::string streamable_clip() {
  testmedia::ClipSpec spec;
  spec.container = "mpegts";
  spec.audio_codec = "mp2";
  spec.sample_rate = 22050;
  spec.channels = 1;
  spec.seconds = 20.0;
  return read_file(testmedia::make(spec));
}

// ---------------------------------------------------------------- tests

TEST_F(Reliability, OutputNeverWritesOverAnInput) {
  const std::string in = testmedia::copy_to_temp(small_clip(), "same.avi");
  const std::string original = read_file(in);
  const std::string hard = path("hard.avi"), soft = path("soft.avi");
  fs::create_hard_link(in, hard);
  fs::create_symlink(in, soft);
  const std::string dotted = (fs::path(in).parent_path() / "." / "same.avi").string();
  struct Case {
    std::string input, output;
  } cases[] = {{in, in}, {in, "file:" + in}, {"file:" + in, in}, {in, dotted}, {in, hard}, {in, soft}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + " -> " + c.output);
    TCustomFFmpeg e;
    e.reset();
    ASSERT_TRUE(e.open_input_file(c.input)) << e.last_error;
    EXPECT_FALSE(e.open_output_file(c.output));
    EXPECT_EQ(e.last_error, "Output file is the same as input file '" + c.input + "'");
    EXPECT_EQ(e.nb_output_files, 0);
    e.release_all();
    EXPECT_TRUE(read_file(in) == original) << "the input is untouched";
  }
  // Another name in the same folder is fine.
  TCustomFFmpeg e;
  e.reset();
  ASSERT_TRUE(e.open_input_file(in)) << e.last_error;
  ASSERT_TRUE(e.open_output_file(path("other.avi"))) << e.last_error;
  e.start_conversion(false, tpNormal);
  EXPECT_TRUE(e.finished) << e.fail_message;
  EXPECT_TRUE(testmedia::probe(path("other.avi")).ok);
}

TEST_F(Reliability, ReleaseDeletesOnlyItsOwnEmptyRegularFile) {
  const std::string own = path("own.avi"), replaced = path("replaced.avi");
  struct Case {
    std::string output;
    bool replace;  // someone else's empty file takes the name before the release
    bool kept;
  } cases[] = {{"/dev/null", false, true}, {"/dev/full", false, true}, {own, false, false}, {replaced, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    TCustomFFmpeg e;
    e.reset();
    e.set_option("f", "avi");
    ASSERT_TRUE(e.open_output_file(c.output)) << e.last_error;
    if (c.replace) {
      fs::remove(c.output);
      write_file(c.output, "");
    }
    e.release_all();  // never started: nothing was written
    EXPECT_EQ(fs::exists(c.output), c.kept);
  }
  EXPECT_TRUE(is_char_device("/dev/null"));
  EXPECT_TRUE(is_char_device("/dev/full"));
}

TEST_F(Reliability, DeviceOutputsRunAndAFullDiskFailsTheRun) {
  struct Case {
    const char* device;
    bool fails;
  } cases[] = {{"/dev/null", false}, {"/dev/full", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    TCustomFFmpeg e;
    e.reset();
    ASSERT_TRUE(e.open_input_file(testmedia::path(Clip::Mpeg4Mp3Avi))) << e.last_error;
    e.set_option("f", "avi");
    ASSERT_TRUE(e.open_output_file(c.device)) << e.last_error;
    e.start_conversion(false, tpNormal);
    EXPECT_EQ(e.failed.load(), c.fails) << e.fail_message;
    EXPECT_EQ(e.finished.load(), !c.fails);
    if (c.fails) {
      const bool write_error = e.fail_message == "av_interleaved_write_frame(): no space left on device" ||
                               e.fail_message == "av_write_trailer(): no space left on device";
      EXPECT_TRUE(write_error) << e.fail_message;
    }
    EXPECT_TRUE(is_char_device(c.device));
  }
}

TEST_F(Reliability, StopEndsAStalledNetworkRunWithinASecond) {
  const std::string body = streamable_clip();
  StallingServer server(body, body.size() / 2);
  TCustomFFmpeg e;
  e.reset();
  ASSERT_TRUE(e.open_input_file(server.Url("clip.ts"))) << e.last_error;
  const std::string out = path("stalled.avi");
  ASSERT_TRUE(e.open_output_file(out)) << e.last_error;
  std::atomic<int> position_ms{0};
  std::atomic<bool> ended{false};
  std::atomic<int64_t> ended_at{0};
  e.progress_interval = 20000;
  e.OnProgress = [&](int, int, int current_ms, float, float, int64_t, int) { position_ms = current_ms; };
  e.OnTerminate = [&] {
    ended_at = Clock::now().time_since_epoch().count();
    ended = true;
  };
  TFFmpegThread* thread = e.start_conversion(true, tpNormal);
  ASSERT_NE(thread, nullptr);
  thread->resume();

  // The run takes up what was sent (about half of the 20 s) and then waits for more.
  ASSERT_TRUE(server.WaitSent(10s));
  int last = -1, same = 0;
  ASSERT_TRUE(wait_for(
      [&] {
        std::this_thread::sleep_for(100ms);
        const int now = position_ms;
        same = (now > 3000 && now == last) ? same + 1 : 0;
        last = now;
        return same >= 4;
      },
      20s))
      << "position " << last << " ms";
  ASSERT_FALSE(ended);

  const auto stop_at = Clock::now();
  e.request_stop();
  ASSERT_TRUE(wait_for([&] { return ended.load(); }, 5s));
  const auto took = Clock::time_point(Clock::duration(ended_at.load())) - stop_at;
  EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  e.finish_run();
  EXPECT_FALSE(e.finished);
  EXPECT_FALSE(e.failed) << e.fail_message;

  // The output was closed properly and holds what was converted.
  const testmedia::FileInfo info = testmedia::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_NE(info.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_GT(info.first(AVMEDIA_TYPE_VIDEO)->frames_decoded, 50);
}

// With rate emulation a picture far ahead is waited for at the input's pace,
// but a stop still ends the wait at once.
TEST_F(Reliability, StopEndsARateEmulationWait) {
  testmedia::ClipSpec spec;
  spec.container = "matroska";
  spec.video_codec = "mpeg4";
  spec.audio_codec = "";
  spec.width = 64;
  spec.height = 48;
  spec.fps = AVRational{1, 8};  // one picture every 8 s
  spec.frames = 3;
  const std::string src = testmedia::make(spec);
  TCustomFFmpeg e;
  e.reset();
  e.set_option("re", "1");
  ASSERT_TRUE(e.open_input_file(src)) << e.last_error;
  ASSERT_TRUE(e.open_output_file(path("paced.mkv"))) << e.last_error;
  std::atomic<bool> ended{false};
  e.OnTerminate = [&] { ended = true; };
  TFFmpegThread* thread = e.start_conversion(true, tpNormal);
  ASSERT_NE(thread, nullptr);
  thread->resume();
  std::this_thread::sleep_for(1500ms);  // waiting for the second picture
  ASSERT_FALSE(ended) << e.fail_message;
  const auto stop_at = Clock::now();
  e.request_stop();
  ASSERT_TRUE(wait_for([&] { return ended.load(); }, 10s));
  EXPECT_LT(Clock::now() - stop_at, 1s);
  e.finish_run();
  EXPECT_FALSE(e.finished);
}

TEST_F(Reliability, StopEndsAStalledOpening) {
  const std::string body = streamable_clip();
  StallingServer server(body, 4096);
  TCustomFFmpeg e;
  e.reset();
  const std::string url = server.Url("clip.ts");
  auto opened = std::async(std::launch::async, [&] { return e.open_input_file(url); });
  ASSERT_TRUE(server.WaitSent(10s));
  ASSERT_EQ(opened.wait_for(300ms), std::future_status::timeout) << "the opening waits for more data";
  e.request_stop();
  ASSERT_EQ(opened.wait_for(1s), std::future_status::ready);
  EXPECT_FALSE(opened.get());
  EXPECT_EQ(e.last_error, url + ": Error while opening file");
  EXPECT_EQ(e.nb_input_files, 0);
}

TEST_F(Reliability, OutputFolderRemovedMidBatchFailsTheRestCleanly) {
  const fs::path folder = dir_ / "outputs";
  fs::create_directories(folder);
  struct End {
    int index;
    bool finished, exception;
    std::string message;
  };
  std::mutex mutex;
  std::vector<End> ends;
  bool batch_done = false;
  TMediaConverter c;
  // Removed while the first file is written (its last report comes before its end).
  c.OnProgress = [&](int index, int, int, int, float, float, int64_t, int) {
    if (index == 0) fs::remove_all(folder);
  };
  c.OnTerminate = [&](int index, bool finished, bool exception, const std::string& message) {
    std::lock_guard lock(mutex);
    if (index < 0) batch_done = true;
    else ends.push_back({index, finished, exception, message});
  };
  const std::string clip = small_clip();
  const std::vector<std::string> outputs = {(folder / "a.avi").string(), (folder / "b.avi").string(),
                                            (folder / "c.avi").string()};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(c.AddTask(clip), i) << c.LastErrMsg();
    ASSERT_TRUE(c.SetOutputFile(i, outputs[static_cast<size_t>(i)])) << c.LastErrMsg();
  }
  c.StartConvert(1);
  ASSERT_TRUE(wait_for(
      [&] {
        std::lock_guard lock(mutex);
        return batch_done;
      },
      60s));
  ASSERT_EQ(ends.size(), 3u);
  for (const End& end : ends) {
    SCOPED_TRACE(end.index);
    EXPECT_FALSE(end.finished);
    EXPECT_TRUE(end.exception);
    EXPECT_EQ(end.message, "Output file '" + outputs[static_cast<size_t>(end.index)] + "' no longer exists");
  }
  EXPECT_FALSE(fs::exists(folder)) << "nothing was written into a new folder";

  // A file prepared after the removal fails at once.
  const int late = c.AddTask(clip);
  ASSERT_GE(late, 0) << c.LastErrMsg();
  const std::string d = (folder / "d.avi").string();
  EXPECT_FALSE(c.SetOutputFile(late, d));
  EXPECT_EQ(c.LastErrMsg(), "Could not open '" + d + "'");
}

// Broken inputs: the intake (probe) finds nothing to convert, and the
// conversion fails at the input or in the run; never a crash or a hang. A
// file cut after its header converts the part it still has.
TEST_F(Reliability, BrokenInputsFailCleanly) {
  const std::string mp4 = read_file(testmedia::path(Clip::H264AacMp4));
  write_file(path("cut.mp4"), mp4.substr(0, mp4.size() / 2));  // its index was at the end
  write_file(path("nostreams.mkv"), ";FFMETADATA1\ntitle=a container without streams\n");
  std::mt19937 random(9);
  std::string garbage(65536, '\0');
  for (char& ch : garbage) ch = static_cast<char>(random());
  write_file(path("garbage.avi"), garbage);

  struct Case {
    std::string file;
    std::string error;  // of the input opening, or of the run; empty: converts
  } cases[] = {
      {testmedia::path(Clip::Empty), testmedia::path(Clip::Empty) + ": Unknown format"},
      {path("cut.mp4"), path("cut.mp4") + ": Error while parsing header"},
      {path("nostreams.mkv"), "Output file does not contain any stream"},
      {path("garbage.avi"), path("garbage.avi") + ": Unknown format"},
      {testmedia::path(Clip::Truncated), ""},
  };
  const fs::path folder = dir_ / "outputs";
  fs::create_directories(folder);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TMediaConverter conv;
    TAVProbe& probe = conv.AVProbe();
    EXPECT_EQ(probe.LoadFile(c.file, "") && probe.StreamCount() > 0, c.error.empty()) << "intake";
    probe.CloseFile();

    std::atomic<bool> done{false};
    bool finished = false, exception = false;
    std::string message;
    conv.OnTerminate = [&](int index, bool f, bool x, const std::string& m) {
      if (index < 0) {
        done = true;
        return;
      }
      finished = f;
      exception = x;
      message = m;
    };
    const int task = conv.AddTask(c.file);
    if (task < 0) {
      EXPECT_EQ(conv.LastErrMsg(), c.error);
      continue;
    }
    ASSERT_TRUE(conv.SetOutputFile(task, (folder / "out.avi").string())) << conv.LastErrMsg();
    conv.StartConvert(1);
    ASSERT_TRUE(wait_for([&] { return done.load(); }, 60s)) << "the run ends";
    EXPECT_EQ(exception, !c.error.empty());
    EXPECT_EQ(finished, c.error.empty());
    EXPECT_EQ(message, c.error);
    conv.ClearTasks();
    if (!c.error.empty()) {
      EXPECT_FALSE(fs::exists(folder / "out.avi")) << "no empty output is left";
    }
  }
  const testmedia::FileInfo part = testmedia::probe((folder / "out.avi").string());
  ASSERT_TRUE(part.ok) << part.error;
  EXPECT_GT(part.first(AVMEDIA_TYPE_VIDEO)->frames_decoded, 10);
}

}  // namespace
