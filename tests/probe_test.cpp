// Media probe: stream counts, file and video information, messages.
#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "binding/loader.h"
#include "component/converter.h"
#include "media/testmedia.h"

namespace {

using testmedia::Clip;

// A component that keeps the library lines it receives.
class Listener : public TMediaConverter {
 public:
  Listener() {
    OnLog = [this](int, TLogLevel level, const std::string& msg) {
      std::lock_guard lock(mutex_);
      lines_.push_back({level, msg});
    };
  }
  struct Line {
    TLogLevel level;
    std::string text;
  };
  std::vector<Line> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }
  // True when `text` arrived at `level` since the last Take().
  bool Got(const std::string& text, TLogLevel level) {
    for (const Line& l : Take())
      if (l.text == text && l.level == level) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TMediaConverter loader;
    ASSERT_TRUE(loader.LoadAVLib("", 1)) << loader.LastErrMsg();
  }
  Listener c;
  TAVProbe& probe = c.AVProbe();
};

TEST_F(ProbeTest, AudioOnlyMp3HasNoVideo) {
  ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::Mp3Only))) << probe.LastError();
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.ProgramCount(), 0);
  EXPECT_EQ(probe.AudioStreamCount(), 1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.SubtitleStreamCount(), 0);
  EXPECT_EQ(probe.FirstAudioStream(), 0);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.FormatName(), "");
  c.Take();
  TAVVideoInfo v;
  probe.GetVideoInfo(v);
  EXPECT_TRUE(c.Got("no video stream.", llError));
  EXPECT_EQ(v.Width, -1);
  EXPECT_EQ(v.Height, -1);
  EXPECT_EQ(v.FrameRateNum, -1);
  EXPECT_EQ(v.CodecName[0], '\0');
}

TEST_F(ProbeTest, StreamIndexChecks) {
  ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::TwoVideoStreams))) << probe.LastError();
  ASSERT_EQ(probe.StreamCount(), 3);
  EXPECT_EQ(probe.VideoStreamCount(), 2);
  EXPECT_EQ(probe.FirstVideoStream(), 0);
  EXPECT_EQ(probe.FirstAudioStream(), 2);
  struct Case {
    int index;
    std::string message;  // empty: no message, a picture size instead
    int width;
  };
  for (const Case& k : std::vector<Case>{{3, "stream index #3 is invalid.", -1},
                                         {2, "stream #2 is not video stream.", -1},
                                         {1, "", 176},
                                         {-1, "", 320}}) {
    SCOPED_TRACE(k.index);
    c.Take();
    TAVVideoInfo v;
    probe.GetStreamVideoInfo(k.index, v);
    if (!k.message.empty()) {
      EXPECT_TRUE(c.Got(k.message, llError));
    }
    EXPECT_EQ(v.Width, k.width);
  }
}

TEST_F(ProbeTest, VideoInfoFields) {
  struct Case {
    Clip clip;
    const char* codec;
    int width, height;
    float aspect;
  };
  for (const Case& k : std::vector<Case>{{Clip::Sar0_640x480, "h264", 640, 480, 0.0f},
                                         {Clip::Sar16_11_720x576, "mpeg4", 720, 576, 720.0f * 16 / 11 / 576},
                                         {Clip::Mpeg4Mp3Avi, "mpeg4", 320, 240, 320.0f / 240}}) {
    SCOPED_TRACE(k.codec);
    ASSERT_TRUE(probe.LoadFile(testmedia::path(k.clip))) << probe.LastError();
    TAVVideoInfo v;
    probe.GetVideoInfo(v);
    EXPECT_STREQ(v.CodecName, k.codec);
    EXPECT_EQ(v.Width, k.width);
    EXPECT_EQ(v.Height, k.height);
    EXPECT_NEAR(v.DisplayAspectRatio, k.aspect, 1e-4);
    EXPECT_EQ(v.PixFmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(v.FrameRateNum, 25);
    EXPECT_EQ(v.FrameRateDen, 1);
    EXPECT_EQ(v.StartTimeUs, 0);
  }
}

TEST_F(ProbeTest, StartTimes) {
  // A raw stream has no start time: the raw value is "no timestamp", microseconds -1.
  testmedia::ClipSpec raw;
  raw.container = "h264";
  raw.video_codec = "libx264";
  raw.video_opts = {{"preset", "ultrafast"}};
  raw.audio_codec.clear();
  raw.width = 64, raw.height = 48, raw.frames = 10;
  ASSERT_TRUE(probe.LoadFile(testmedia::make(raw))) << probe.LastError();
  TAVVideoInfo v;
  probe.GetVideoInfo(v);
  EXPECT_EQ(v.Width, 64);
  EXPECT_EQ(v.StartTime, AV_NOPTS_VALUE);
  EXPECT_EQ(v.StartTimeUs, -1);
  TAVFileInfo f;
  probe.GetFileInfo(f);
  EXPECT_EQ(f.StartTime, AV_NOPTS_VALUE);

  // MPEG-PS whose timestamps begin one second in: 90 kHz raw value, microseconds.
  ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::StartOffset))) << probe.LastError();
  probe.GetVideoInfo(v);
  EXPECT_NEAR(static_cast<double>(v.StartTimeUs), 1.0e6, 0.6e6);
  EXPECT_EQ(v.StartTime, v.StartTimeUs * 90000 / 1000000);
  probe.GetFileInfo(f);
  EXPECT_NEAR(static_cast<double>(f.StartTime), 1.0e6, 0.6e6);
}

TEST_F(ProbeTest, FileInfoFromContainerMetadata) {
  testmedia::ClipSpec s = testmedia::spec_of(Clip::Mp3Only);
  s.metadata = {{"title", "Night Drive"}, {"artist", "The Testers"}, {"album", "Fixtures"},
                {"genre", "Synthwave"},   {"track", "3/12"},         {"date", "2007-05-01"},
                {"comment", "made here"}, {"copyright", "(c) us"}};
  ASSERT_TRUE(probe.LoadFile(testmedia::make(s))) << probe.LastError();
  TAVFileInfo f;
  probe.GetFileInfo(f);
  EXPECT_STREQ(f.Title, "Night Drive");
  EXPECT_STREQ(f.Author, "The Testers");
  EXPECT_STREQ(f.Album, "Fixtures");
  EXPECT_STREQ(f.Genre, "Synthwave");
  EXPECT_STREQ(f.Comment, "made here");
  EXPECT_STREQ(f.Copyright, "(c) us");
  EXPECT_EQ(f.Track, 3);
  EXPECT_EQ(f.Year, 2007);
  EXPECT_NEAR(static_cast<double>(f.Duration), 2.0e6, 0.1e6);
  EXPECT_GT(f.BitRate, 100000);

  // Texts longer than the record's field are cut, zero-terminated.
  s.metadata = {{"title", std::string(700, 'T')}, {"genre", std::string(50, 'G')}};
  ASSERT_TRUE(probe.LoadFile(testmedia::make(s))) << probe.LastError();
  probe.GetFileInfo(f);
  EXPECT_EQ(std::string(f.Title), std::string(511, 'T'));
  EXPECT_EQ(std::string(f.Genre), std::string(31, 'G'));
}

TEST_F(ProbeTest, SecondLoadReplacesTheFirstAndAFailedLoadLeavesNothing) {
  ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::Mpeg4Mp3Avi))) << probe.LastError();
  EXPECT_EQ(probe.VideoStreamCount(), 1);
  ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::Mp3Only), "mp3")) << probe.LastError();
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.FormatName(), "mp3");

  struct Case {
    std::string file, format, error;
  };
  const std::string missing = testmedia::temp_dir() + "/missing.avi";
  const std::string text = testmedia::path(Clip::TextAsAvi);
  for (const Case& k : std::vector<Case>{{missing, "", missing + ": no such file or directory"},
                                         {text, "", ""},
                                         {testmedia::path(Clip::Mp3Only), "nosuch", "Unknown input format: nosuch"}}) {
    SCOPED_TRACE(k.file);
    ASSERT_TRUE(probe.LoadFile(testmedia::path(Clip::Mpeg4Mp3Avi))) << probe.LastError();
    EXPECT_FALSE(probe.LoadFile(k.file, k.format));
    if (!k.error.empty()) {
      EXPECT_EQ(probe.LastError(), k.error);
    } else {
      EXPECT_EQ(probe.LastError().rfind(k.file + ": ", 0), 0u) << probe.LastError();
    }
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.VideoStreamCount(), -1);
    EXPECT_EQ(probe.FirstAudioStream(), -1);
    EXPECT_EQ(probe.FormatName(), "");
  }

  c.Take();
  TAVFileInfo f;
  probe.GetFileInfo(f);
  EXPECT_TRUE(c.Got("file not loaded.", llInfo));
  EXPECT_EQ(f.Duration, -1);
  EXPECT_EQ(f.StartTime, -1);
  EXPECT_EQ(f.Year, -1);
  EXPECT_EQ(f.Title[0], '\0');
  TAVVideoInfo v;
  probe.GetVideoInfo(v);
  EXPECT_TRUE(c.Got("file not loaded.", llInfo));
  EXPECT_EQ(v.Width, -1);
}

TEST_F(ProbeTest, SubtitleOnlyFile) {
  testmedia::ClipSpec s;
  s.container = "matroska";
  s.video_codec.clear();
  s.audio_codec.clear();
  s.subtitles = true;
  s.seconds = 2.0;
  ASSERT_TRUE(probe.LoadFile(testmedia::make(s))) << probe.LastError();
  EXPECT_EQ(probe.StreamCount(), 1);
  EXPECT_EQ(probe.FirstSubtitleStream(), 0);
  EXPECT_EQ(probe.SubtitleStreamCount(), 1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.FirstAudioStream(), -1);
}

}  // namespace
