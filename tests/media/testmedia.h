// Test media: a generator of small deterministic clips and read-back helpers.
// Everything goes through the ff:: table; the libraries are loaded on first use.
//
// Picture content (every generated video stream, w x h):
//  - counter band: the top `band_height(h)` rows hold 16 cells of w/16 columns;
//    cell i is white (Y 235) when bit i of the frame counter is set, else black
//    (Y 16). The counter is the frame index (0, 1, ...); the second video stream
//    of a clip counts from 1000. read_counter() decodes it back.
//  - below the band: a diagonal luma ramp (Y 16..175, repeating every 160 px)
//    moving 3 px per frame; a light (Y 235) vertical bar w/10 wide whose left
//    edge is at x = 4 * frame (mod w); chroma ramps 64..192 (U across, V down). Interlaced clips draw the odd lines (second field) as the picture
//    half a frame later: bar 2 px further right, ramp shifted by 40 levels, so
//    the frames comb strongly (see comb_score).
// Sound: the same sine tone on every channel, amplitude in 0..1 of full scale.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace testmedia {

struct ClipSpec {
  std::string container = "avi";  // muxer short name ("avi", "mp4", "mpeg", "matroska") or extension ("mkv")
  std::string file_ext;           // ".avi"; empty = the muxer's first extension

  // Video; empty codec name = no video stream.
  std::string video_codec = "mpeg4";
  int width = 160, height = 120;
  AVRational fps{25, 1};
  int frames = 0;           // 0 = seconds * fps
  AVRational sar{1, 1};     // {0, 1} leaves the aspect unset
  bool interlaced = false;  // top field first, interlaced DCT/ME where supported
  int bframes = 0;
  int gop = 12;
  int64_t video_bit_rate = 0;  // 0 = constant quantiser (qscale 3) or the encoder's default
  std::string pix_fmt;         // empty = the encoder's first pixel format (yuv420p for most)
  std::map<std::string, std::string> video_opts;  // private encoder options, e.g. {"preset","ultrafast"}

  // Audio; empty codec name = no audio stream.
  std::string audio_codec = "libmp3lame";
  int sample_rate = 44100;
  int channels = 2;
  double seconds = 1.0;  // length of the audio; with frames == 0 also of the video
  double tone_hz = 440.0;
  double amplitude = 0.5;  // peak, 0..1 of full scale
  int64_t audio_bit_rate = 0;  // 0 = 128000 (ignored by pcm)
  std::map<std::string, std::string> audio_opts;

  // Extras.
  bool second_video = false;  // a second video stream (same codec), counter from 1000
  int second_width = 176, second_height = 144;
  bool subtitles = false;              // a text subtitle stream: one event every 0.5 s
  std::string subtitle_codec = "subrip";  // "subrip" or "ass" (container must take it: matroska)
  int64_t start_offset_us = 0;  // added to every timestamp: container start time (use MPEG-PS/MP4/MKV)
  double audio_delay_s = 0;     // audio starts this much later than video (containers with timestamps, not AVI)
  // With video in a container that cannot store negative timestamps (avi, mpeg,
  // matroska), the audio encoder's priming is counted into the timeline so that
  // audio and video both start at start_offset_us (the tone then starts a few ms later).
  std::map<std::string, std::string> mux_opts;  // muxer private options
  std::map<std::string, std::string> metadata;  // container metadata
  int threads = 1;  // encoder threads (0 = automatic)
};

// Writes the clip to `out_path`. False with `error` filled on failure.
bool write_clip(const ClipSpec& spec, const std::string& out_path, std::string* error = nullptr);

// Writes the clip into the media cache and returns its path; the same spec gives
// the same file (also across processes of one build). Throws std::runtime_error
// when the clip cannot be made. Treat the result as read-only: use copy_to_temp
// before changing a file.
std::string make(const ClipSpec& spec);

enum class Clip {
  Mpeg4Mp3Avi,            // 320x240 25 fps mpeg4, 50 frames; mp3 44.1 kHz stereo 2 s, 440 Hz, 0.5
  H264AacMp4,             // 320x240 25 fps h264 with 2 B-frames, 50 frames; aac 44.1 kHz stereo 2 s
  Mpeg2Mp2PsInterlaced720x576,  // MPEG-PS: 720x576 25 fps interlaced mpeg2video 4 Mbit/s (TFF, SAR 16/15),
                                //   25 frames; mp2 48 kHz stereo 1 s; start_time 0.54 (the muxer's preload)
  Mp3Only,                // mp3 file: 44.1 kHz stereo 2 s, 1 kHz, 0.5 (start_time 0.0251: lame priming)
  WavOnly,                // wav: pcm_s16le 44.1 kHz stereo 1 s, 440 Hz, 0.5
  SubtitleMkv,            // matroska: mpeg4 160x120 50 frames, mp3, subrip: 4 events of 0.4 s every 0.5 s
  SubtitleAssMkv,         // the same with ass subtitles
  TwoVideoStreams,        // avi: mpeg4 320x240 and mpeg4 176x144 (counter from 1000), 25 frames each; mp3 1 s
  StartOffset,            // MPEG-PS: mpeg2video 160x120 25 frames + mp2 44.1 kHz 1 s, every timestamp +1 s
                          //   (start_time exactly 1.0)
  Sar0_640x480,           // mp4: h264 640x480 without aspect (SAR 0/1), 25 frames; aac 1 s
  Sar16_11_720x576,       // avi: mpeg4 720x576 SAR 16/11, 25 frames; mp3 1 s
  Empty,                  // empty .avi
  Truncated,              // Mpeg4Mp3Avi cut after half its bytes
  TextAsAvi,              // a text file named .avi
  CorruptedAvi,           // avi as Mpeg4Mp3Avi (2 s) with payload bytes of some packets in the middle overwritten
  LongAudio90s,           // wav: pcm_s16le 8 kHz mono, exactly 90 s
  LongVideo90s,           // avi: mpeg4 64x48 25 fps 2250 frames (90 s), no audio
  Bench720p30s,           // mp4: libx264 ultrafast 1280x720 25 fps 750 frames; aac 48 kHz stereo 30 s (slow to make)
};

// The spec of a generated standard clip (not for the broken ones).
ClipSpec spec_of(Clip clip);
// Path of a standard clip, generated on first use and cached.
std::string path(Clip clip);

// The media cache folder ($KLAVENTA_MEDIA_DIR, else <tmp>/klaventa-media-<uid>).
std::string cache_dir();
// A private copy of `file` in a fresh per-process temp folder (for tests that change files).
std::string copy_to_temp(const std::string& file, const std::string& new_name = "");
// A fresh, empty per-process temp folder for outputs; removed when the process ends.
std::string temp_dir();

// Rows of the counter band for a picture of height h.
int band_height(int h);

// ---------------------------------------------------------------- read-back

struct StreamInfo {
  int index = -1;
  AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
  std::string codec;  // codec id name: "mpeg4", "h264", "mp3", "aac", "pcm_s16le", "subrip"
  int64_t bit_rate = 0;
  // Video.
  int width = 0, height = 0;
  AVRational sar{0, 1};         // codec parameters' sample aspect (after stream info)
  AVRational stream_sar{0, 1};  // the container's sample aspect
  std::string pix_fmt;
  AVRational frame_rate{0, 1};  // average frame rate; {0,1} if unknown
  AVFieldOrder field_order = AV_FIELD_UNKNOWN;
  int has_b_frames = 0;
  // Audio.
  int sample_rate = 0, channels = 0;
  // Container timing, NaN when unknown.
  double start_s = 0, duration_s = 0;
  std::map<std::string, std::string> metadata;
  // From decoding (decode_all): frames, subtitles or per-channel samples.
  int64_t packets = 0;
  int64_t frames_decoded = 0;
  int64_t samples_decoded = 0;  // audio, per channel
  int64_t key_frames = 0;        // decoded pictures flagged key
  int64_t interlaced_frames = 0; // decoded pictures flagged interlaced
  int64_t b_frames = 0;          // decoded pictures of type B
  int64_t decode_errors = 0;     // send/receive failures and corrupt-flagged frames
  double first_pts_s = 0, last_end_s = 0;  // NaN when no timestamps
  double peak_amplitude = 0;  // audio, 0..1 over all channels
  double rms = 0;             // audio, 0..1 over all channels (a sine of peak A gives A/sqrt 2)
  double tone_hz = 0;         // audio, from zero crossings of channel 0
};

struct FileInfo {
  bool ok = false;
  std::string error;
  std::string format;  // demuxer name: "avi", "mov,mp4,m4a,3gp,3g2,mj2", "mpeg", "matroska,webm"
  double duration_s = 0;  // NaN when unknown
  double start_s = 0;     // NaN when unknown
  int64_t bit_rate = 0;
  std::map<std::string, std::string> metadata;
  std::vector<StreamInfo> streams;

  // First stream of a type, or nullptr.
  const StreamInfo* first(AVMediaType type) const;
  int count(AVMediaType type) const;
};

// Opens, reads the stream information and (decode_all) decodes every packet.
FileInfo probe(const std::string& path, bool decode_all = true);

// Decodes picture n (0-based, output order) of the first video stream, or of
// stream `stream` when >= 0. Fills `out` with the Y plane (w*h bytes) or, with
// rgb, packed RGB24 (w*h*3). False when the picture does not exist.
bool read_video_frame(const std::string& path, int n, std::vector<uint8_t>& out, int& w, int& h,
                      bool rgb = false, int stream = -1);

// The counter drawn into a picture; (x0, y0, w, h) is where the generated
// picture lies inside the plane (e.g. after padding). -1 when unreadable.
int read_counter(const uint8_t* y_plane, int stride, int x0, int y0, int w, int h);
inline int read_counter(const std::vector<uint8_t>& y_plane, int w, int h) {
  return read_counter(y_plane.data(), w, 0, 0, w, h);
}
// Difference between neighbouring rows over the difference between rows two apart,
// below the counter band: under 1 for progressive pictures, far above for combed ones.
double comb_score(const std::vector<uint8_t>& y_plane, int w, int h);
// The counter of every decoded picture of the first video stream (or `stream`), in output order.
std::vector<int> read_counters(const std::string& path, int stream = -1);

// Every decoded sample of the first audio stream (or `stream`) as interleaved
// float; `channels` and `sample_rate` receive the stream's layout.
bool read_audio(const std::string& path, std::vector<float>& samples, int& channels, int& sample_rate,
                int stream = -1);

}  // namespace testmedia
