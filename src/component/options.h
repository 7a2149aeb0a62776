// Task option records: plain values describing one task's input and output.
// Negative numbers, empty texts and false mean "not set".
#pragma once

#include <cstdint>
#include <string>

struct TInputOptions {
  std::string FileName;
  std::string ForceFormat;
  int StartTime = -1;  // milliseconds
  int ProgramID = -1;
  std::string ExtOptions;  // name=value lines
};

struct TOutputOptions {
  std::string FileName;
  std::string ForceFormat;
  int PacketSize = -1;
  int MuxRate = -1;
  float MuxDelay = -1.0f;    // seconds
  float MuxPreload = -1.0f;  // seconds
  std::string AudioCodec;    // encoder name or "copy"
  bool DisableAudio = false;
  int AudioVolume = -1;  // 256 = unchanged
  int AudioChannels = -1;
  int AudioSampleRate = -1;
  int AudioBitrate = -1;  // bits per second
  int AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int AudioSync = 0;
  std::string AudioTag;
  std::string VideoCodec;  // encoder name or "copy"
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string FrameAspectRatio;
  int CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int PadTop = -1, PadBottom = -1, PadLeft = -1, PadRight = -1;
  uint32_t PadColor = 0;  // RGB: red in bits 0-7, green 8-15, blue 16-23
  int GOPSize = -1;
  int VideoBitrate = -1;
  int VideoMaxRate = -1;
  int VideoMinRate = -1;
  int VideoBitrateTolerance = -1;
  int VideoBufSize = -1;
  int VideoSync = -1;
  std::string VideoTag;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool CopyTS = false;
  int RecordingTime = -1;   // milliseconds
  double Timestamp = -1.0;  // days since 1899-12-30, local time
  int Year = -1;
  int Track = -1;
  std::string Title;      // at most 511 characters
  std::string Author;     // at most 511 characters
  std::string Copyright;  // at most 511 characters
  std::string Comment;    // at most 511 characters
  std::string Album;      // at most 511 characters
  std::string Genre;      // at most 31 characters
  int Target = 0;         // 0 none, 1 VCD, 2 SVCD, 3 DVD
  int TargetNorm = 0;     // 0 automatic, 1 PAL, 2 NTSC
  int TargetDefaultNorm = 1;
  bool CustomHook = false;
  bool BeforeHook = false;
  std::string HookRanges;  // "start-end" milliseconds, comma separated
  std::string ExtOptions;  // name=value lines
};
