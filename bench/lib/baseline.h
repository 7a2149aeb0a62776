// Codec-only conversion loop used as the reference the engine is measured
// against: demux, decode, scale, resample, encode and mux with nothing else.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// One conversion setting, expressed once for both the engine and the baseline.
struct Target {
  std::string label;
  std::string ext;  // output file extension, picks the muxer (".mp4", ".mpg", ".3gp")
  std::string video_codec;
  int width = 0, height = 0;  // 0 = the input's size
  int64_t video_bit_rate = 0;
  std::string audio_codec;
  int64_t audio_bit_rate = 0;
  int sample_rate = 0, channels = 0;  // 0 = the input's
  // What the output must read back as.
  std::string video_id, audio_id;  // codec id names
};

const std::vector<Target>& targets();

// Option values of a library object (AVCodecContext, AVFormatContext) and of
// its private options, as text under `prefix`.
using Snapshot = std::map<std::string, std::string>;
void snapshot_options(void* obj, const std::string& prefix, Snapshot& out);
// The encoder, decoder and muxer settings of one conversion, keyed
// "venc.", "aenc.", "vdec.", "adec.", "mux.".
void snapshot_codec(void* codec_ctx, const std::string& prefix, Snapshot& out);

// Converts `input` to `output` as `target` says, on the calling thread, with
// every codec single-threaded. Encoder and muxer settings are those the engine
// gives the same request. Fills `settings` (when given) once the encoders are
// open. With `s16_audio` float audio is cut to 16-bit steps before and after
// the resampler, as the engine's s16 audio path does (for diagnosis).
// Throws std::runtime_error on failure.
void run_baseline(const std::string& input, const std::string& output, const Target& target,
                  Snapshot* settings = nullptr, bool s16_audio = false);

}  // namespace bench
