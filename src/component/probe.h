// TAVProbe: opens a media file only to describe it (container, stream counts,
// one video stream's size, aspect, format and rate). Decodes nothing.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

struct TAVFileInfo {
  int64_t StartTime = 0;  // microseconds, the container's value (AV_NOPTS_VALUE when it has none)
  int64_t Duration = 0;   // microseconds
  int32_t BitRate = 0;    // bits per second
  int64_t Timestamp = 0;  // creation time, seconds since 1970-01-01 UTC (0 when absent)
  char Title[512] = {};
  char Author[512] = {};
  char Copyright[512] = {};
  char Comment[512] = {};
  char Album[512] = {};
  int32_t Year = 0;
  int32_t Track = 0;
  char Genre[32] = {};
};

struct TAVVideoInfo {
  char Language[4] = {};
  char CodecName[32] = {};
  int64_t StartTime = -1;    // stream time base
  int64_t StartTimeUs = -1;  // microseconds
  int64_t Duration = -1;     // stream time base
  int64_t DurationUs = -1;   // microseconds
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float DisplayAspectRatio = -1.0f;
  int32_t PixFmt = -1;  // AVPixelFormat
  int32_t FrameRateNum = -1;
  int32_t FrameRateDen = -1;
};

class TAVProbe {
 public:
  TAVProbe();
  ~TAVProbe();
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Loads a file, replacing the one loaded before; an empty format name lets
  // the library detect the format. False with LastError() on failure (nothing
  // stays loaded then).
  bool LoadFile(const std::string& FileName, const std::string& FormatName = "");
  void CloseFile();
  // Recounts the streams of the loaded file (all -1 when none is loaded).
  void CountStreams();
  void GetFileInfo(TAVFileInfo& Info);
  void GetVideoInfo(TAVVideoInfo& Info) { GetStreamVideoInfo(-1, Info); }
  void GetStreamVideoInfo(int Index, TAVVideoInfo& Info);
  // Throws std::runtime_error ("LibAVCodec not loaded." ...) when a library is not bound.
  static void CheckLibraries();

  const AVFormatContext* FormatContext() const { return FormatContext_; }
  const std::string& LastError() const { return LastError_; }
  const std::string& FormatName() const { return FormatName_; }
  int StreamCount() const { return StreamCount_; }
  int ProgramCount() const { return ProgramCount_; }
  int AudioStreamCount() const { return AudioStreamCount_; }
  int VideoStreamCount() const { return VideoStreamCount_; }
  int SubtitleStreamCount() const { return SubtitleStreamCount_; }
  int FirstAudioStream() const { return FirstAudioStream_; }
  int FirstVideoStream() const { return FirstVideoStream_; }
  int FirstSubtitleStream() const { return FirstSubtitleStream_; }

 private:
  AVFormatContext* FormatContext_ = nullptr;
  std::string LastError_;
  std::string FormatName_;
  int StreamCount_ = -1;
  int ProgramCount_ = -1;
  int AudioStreamCount_ = -1;
  int VideoStreamCount_ = -1;
  int SubtitleStreamCount_ = -1;
  int FirstAudioStream_ = -1;
  int FirstVideoStream_ = -1;
  int FirstSubtitleStream_ = -1;
};
