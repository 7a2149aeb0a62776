// One untrusted file through the media probe and through a small conversion,
// as the application does with a file a user adds. Shared by the fuzz targets
// and the regression suite, so both take the same path.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "binding/loader.h"
#include "component/logging.h"
#include "component/probe.h"
#include "engine/engine.h"

namespace klaventa_fuzz {

// Binds the libraries once and routes library messages through our callback
// at the information level (KLAVENTA_FUZZ_LOG set: the library prints them to
// stderr instead). False when the libraries cannot be loaded.
inline bool init() {
  static const bool ok = [] {
    if (!klaventa::load_libraries("", true)) return false;
    if (!std::getenv("KLAVENTA_FUZZ_LOG")) klaventa::install_library_log_callback();
    klaventa::set_log_threshold(1);
    ff::av_log_set_level(klaventa::av_level_from_old(1));
    return true;
  }();
  return ok;
}

// For LLVMFuzzerInitialize: without the libraries there is nothing to fuzz.
inline void init_or_abort() {
  if (init()) return;
  std::fprintf(stderr, "media libraries not loaded: %s\n", klaventa::library_load_error().c_str());
  std::abort();
}

// Folder for the per-process scratch files: $KLAVENTA_FUZZ_SCRATCH, else
// /dev/shm when there is one.
inline std::string scratch_dir() {
  if (const char* dir = std::getenv("KLAVENTA_FUZZ_SCRATCH"); dir && *dir) return dir;
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
  return std::filesystem::temp_directory_path(ec).string();
}

inline std::string scratch_path(const std::string& suffix) {
  return scratch_dir() + "/klaventa-fuzz-" + std::to_string(getpid()) + suffix;
}

// Writes bytes to a file; false when it cannot.
inline bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = (size == 0 || std::fwrite(data, 1, size, f) == size);
  return std::fclose(f) == 0 && ok;
}

struct ProbeOutcome {
  bool loaded = false;
  std::string error;
  bool consistent = true;  // stream counts agree with the container
};

// Loads the file and asks everything the intake asks.
inline ProbeOutcome probe_file(const std::string& path) {
  ProbeOutcome r;
  TAVProbe probe;
  r.loaded = probe.LoadFile(path);
  r.error = probe.LastError();
  if (!r.loaded) {
    r.consistent = !r.error.empty() && probe.StreamCount() == -1 && probe.FormatContext() == nullptr;
    return r;
  }
  TAVFileInfo file;
  probe.GetFileInfo(file);
  TAVVideoInfo video;
  probe.GetVideoInfo(video);
  const int n = probe.StreamCount();
  for (int i = -1; i <= n; ++i) probe.GetStreamVideoInfo(i, video);
  const int typed = probe.AudioStreamCount() + probe.VideoStreamCount() + probe.SubtitleStreamCount();
  r.consistent = n == static_cast<int>(probe.FormatContext()->nb_streams) && typed >= 0 && typed <= n &&
                 probe.FirstVideoStream() < n && probe.FirstAudioStream() < n;
  probe.CloseFile();
  return r;
}

// Output settings of the small conversion profiles.
struct Profile {
  const char* extension;
  std::vector<std::pair<const char*, const char*>> options;
};

inline const std::vector<Profile>& profiles() {
  static const std::vector<Profile> list = {
      {".avi",
       {{"vcodec", "mpeg4"}, {"s", "96x64"}, {"r", "25"}, {"b", "200000"},
        {"acodec", "mp2"}, {"ar", "22050"}, {"ac", "1"}, {"ab", "64000"}}},
      {".mp4",
       {{"vcodec", "mpeg4"}, {"s", "96x64"}, {"r", "10"}, {"b", "100000"}, {"padtop", "8"}, {"padbottom", "8"},
        {"acodec", "aac"}, {"ar", "16000"}, {"ac", "1"}, {"ab", "32000"}}},
  };
  return list;
}

// The profile an input of `size` bytes is converted with.
inline size_t profile_for(size_t size) { return size % profiles().size(); }

struct ConvertOutcome {
  bool input_opened = false;
  bool output_opened = false;
  bool terminated = false;
  bool finished = false;
  bool failed = false;
  std::string message;  // last_error, the set-up exception or the run's fail message
  bool output_left = false;
};

// Opens the input, creates `output_base` + the profile's extension and converts
// at most `recording_ms` (0: no limit) synchronously. The output is removed
// unless `kept_output` is given: then it receives the output's path when the
// file is there.
inline ConvertOutcome convert_file(const std::string& input, const std::string& output_base, size_t profile,
                                   std::string* kept_output = nullptr, int recording_ms = 1000) {
  ConvertOutcome r;
  const Profile& p = profiles()[profile % profiles().size()];
  const std::string output = output_base + p.extension;
  {
    TCustomFFmpeg e;
    e.reset();
    e.set_verbose(1);
    klaventa::set_log_threshold(1);
    try {
      r.input_opened = e.open_input_file(input);
      if (!r.input_opened) {
        r.message = e.last_error;
      } else {
        for (const auto& [name, value] : p.options) e.set_option(name, value);
        if (recording_ms > 0) e.set_recording_time_ms(recording_ms);
        r.output_opened = e.open_output_file(output);
        if (!r.output_opened) r.message = e.last_error;
      }
    } catch (const FFMpegException& ex) {
      r.message = ex.what();
    }
    if (r.output_opened) {
      e.start_conversion(false, tpNormal);
      r.terminated = e.terminated;
      r.finished = e.finished;
      r.failed = e.failed;
      if (r.failed) r.message = e.fail_message;
    }
  }
  std::error_code ec;
  r.output_left = std::filesystem::exists(output, ec);
  if (kept_output && r.output_left)
    *kept_output = output;
  else
    std::filesystem::remove(output, ec);
  return r;
}

// True when the outcome is one the application can show: a run that ended
// either done or failed with a reason, or a set-up that failed with one.
inline bool sane(const ConvertOutcome& r) {
  if (!r.output_opened) return !r.message.empty();
  if (!r.terminated) return false;
  if (r.failed) return !r.message.empty();
  return r.finished;
}

}  // namespace klaventa_fuzz
