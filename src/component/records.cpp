// Applying TInputOptions / TOutputOptions to a task's engine.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "binding/loader.h"
#include "component/converter.h"

namespace klaventa {
namespace {

// Blanks and control characters off both ends.
std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Decimal 64-bit integer with an optional sign; false when the text is not one.
bool parse_int64(const std::string& text, int64_t& out) {
  if (text.empty()) return false;
  size_t i = 0;
  if (text[0] == '+' || text[0] == '-') i = 1;
  if (i == text.size()) return false;
  for (size_t k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno == ERANGE || *end) return false;
  out = v;
  return true;
}

// Milliseconds text -> microseconds; -1 ms when the text is no number (or too large).
int64_t ms_text_to_us(const std::string& text) {
  int64_t v;
  if (!parse_int64(text, v) || v > INT64_MAX / 1000 || v < INT64_MIN / 1000) v = -1;
  return v * 1000;
}

// A fixed-size text field: up to its first zero byte, at most `size` characters.
std::string text_field(const std::string& s, size_t size) {
  std::string t = s.substr(0, s.find('\0'));
  if (t.size() > size) t.resize(size);
  return t;
}

}  // namespace

void apply_ext_options(TCustomFFmpeg& engine, const std::string& text) {
  std::string rest;
  const std::string t = trim(text);
  rest.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\r') {
      if (i + 1 < t.size() && t[i + 1] == '\n') ++i;
      rest += '\n';
    } else {
      rest += t[i];
    }
  }
  size_t pos = 0;
  while (pos < rest.size()) {
    size_t lf = rest.find('\n', pos);
    if (lf == std::string::npos) lf = rest.size();
    const std::string line = rest.substr(pos, lf - pos);
    pos = lf + 1;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
      engine.set_option(line, "");
    else
      engine.set_option(line.substr(0, eq), line.substr(eq + 1));
  }
}

void apply_input_options(TCustomFFmpeg& engine, const TInputOptions& o) {
  apply_ext_options(engine, o.ExtOptions);
  if (!o.ForceFormat.empty()) engine.set_input_format(o.ForceFormat);
  if (o.StartTime > 0) engine.set_start_time(static_cast<int64_t>(o.StartTime) * 1000);
  if (o.ProgramID >= 0) engine.set_program_id(o.ProgramID);
}

std::string encoder_successor(const std::string& name) {
  if (name.empty() || name == "copy") return name;
  if (libraries_loaded() && ff::avcodec_find_encoder_by_name(name.c_str())) return name;
  if (name == "libfaac" || name == "mpeg4aac") return "aac";
  if (name == "libamr_nb") return "libopencore_amrnb";
  return name;
}

int64_t timestamp_to_unix(double days) {
  tzset();
  const double bias_minutes = static_cast<double>(timezone) / 60.0;  // standard offset, west positive
  const double zone_days = -bias_minutes / 1440.0;
  return std::llround((days - 25569.0 - zone_days) * 86400.0);
}

std::vector<THookRange> parse_hook_ranges(const std::string& text) {
  std::vector<THookRange> ranges;
  const std::string t = trim(text);
  if (t.empty()) return ranges;
  size_t pos = 0;
  for (;;) {
    size_t comma = t.find(',', pos);
    const std::string piece = trim(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    const size_t dash = piece.find('-');
    const std::string start_text = trim(piece.substr(0, dash));
    const std::string end_text = dash == std::string::npos ? std::string() : trim(piece.substr(dash + 1));
    const int64_t start = ms_text_to_us(start_text);
    const int64_t end = ms_text_to_us(end_text);
    if (start <= end && end >= 0) ranges.push_back({start, end});
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return ranges;
}

void apply_output_options(TCustomFFmpeg& e, const TOutputOptions& o) {
  apply_ext_options(e, o.ExtOptions);
  if (!o.ForceFormat.empty()) e.set_output_format(o.ForceFormat);
  if (o.PacketSize > 0) e.set_library_option("packetsize", static_cast<int64_t>(o.PacketSize));
  if (o.MuxRate > 0) e.set_library_option("muxrate", static_cast<int64_t>(o.MuxRate));
  if (o.MuxDelay > 0) e.set_mux_max_delay(o.MuxDelay);
  if (o.MuxPreload > 0) e.set_mux_preload(o.MuxPreload);
  if (!o.AudioCodec.empty()) e.set_audio_codec(encoder_successor(o.AudioCodec));
  if (o.DisableAudio) e.audio_disable = true;
  if (o.AudioVolume >= 0) e.set_audio_volume(o.AudioVolume);
  if (o.AudioChannels > 0) e.set_audio_channels(o.AudioChannels);
  if (o.AudioSampleRate > 0) e.set_audio_sample_rate(o.AudioSampleRate);
  if (o.AudioBitrate > 0) e.set_library_option("ab", static_cast<int64_t>(o.AudioBitrate));
  // No "abt" any more: the prefix rule turns it into "bt" on the audio context.
  if (o.AudioBitrateTolerance > 0) e.set_library_option("abt", static_cast<int64_t>(o.AudioBitrateTolerance));
  e.audio_language = o.AudioLanguage;
  e.set_audio_sync_method(o.AudioSync);
  if (!o.AudioTag.empty()) e.set_audio_tag(o.AudioTag);
  if (!o.VideoCodec.empty()) e.set_video_codec(encoder_successor(o.VideoCodec));
  if (o.DisableVideo) e.video_disable = true;
  if (!o.FrameRate.empty()) e.set_frame_rate(o.FrameRate);
  if (!o.FrameSize.empty()) e.set_frame_size(o.FrameSize);
  if (!o.FrameAspectRatio.empty()) e.set_frame_aspect_ratio(o.FrameAspectRatio);
  if (o.CropTop >= 0) e.set_crop_top(o.CropTop);
  if (o.CropBottom >= 0) e.set_crop_bottom(o.CropBottom);
  if (o.CropLeft >= 0) e.set_crop_left(o.CropLeft);
  if (o.CropRight >= 0) e.set_crop_right(o.CropRight);
  if (o.PadTop >= 0) e.set_pad_top(o.PadTop);
  if (o.PadBottom >= 0) e.set_pad_bottom(o.PadBottom);
  if (o.PadLeft >= 0) e.set_pad_left(o.PadLeft);
  if (o.PadRight >= 0) e.set_pad_right(o.PadRight);
  e.set_pad_color(static_cast<int32_t>(o.PadColor & 0xFFFFFF));
  if (o.GOPSize > 0) e.set_library_option("g", static_cast<int64_t>(o.GOPSize));  // was "gop"
  if (o.VideoBitrate > 0) e.set_library_option("vb", static_cast<int64_t>(o.VideoBitrate));
  if (o.VideoMaxRate > 0) e.set_library_option("maxrate", static_cast<int64_t>(o.VideoMaxRate));
  if (o.VideoMinRate > 0) e.set_library_option("minrate", static_cast<int64_t>(o.VideoMinRate));
  if (o.VideoBitrateTolerance > 0) e.set_library_option("bt", static_cast<int64_t>(o.VideoBitrateTolerance));
  if (o.VideoBufSize > 0) e.set_library_option("bufsize", static_cast<int64_t>(o.VideoBufSize));
  e.set_video_sync_method(o.VideoSync);
  if (!o.VideoTag.empty()) e.set_video_tag(o.VideoTag);
  if (o.DisableSubtitle) e.subtitle_disable = true;
  e.subtitle_language = o.SubtitleLanguage;
  e.copy_ts = o.CopyTS;
  if (o.RecordingTime > 0) e.set_recording_time_ms(o.RecordingTime);
  if (o.Timestamp == 0)
    e.rec_timestamp = static_cast<int64_t>(std::time(nullptr));
  else if (o.Timestamp > 0)
    e.rec_timestamp = timestamp_to_unix(o.Timestamp);
  if (o.Year > 0) e.set_year(o.Year);
  if (o.Track > 0) e.set_track(o.Track);
  const std::string title = text_field(o.Title, 512), author = text_field(o.Author, 512),
                    copyright = text_field(o.Copyright, 512), comment = text_field(o.Comment, 512),
                    album = text_field(o.Album, 512), genre = text_field(o.Genre, 32);
  if (!title.empty()) e.set_title(title);
  if (!author.empty()) e.set_author(author);
  if (!copyright.empty()) e.set_copyright(copyright);
  if (!comment.empty()) e.set_comment(comment);
  if (!album.empty()) e.set_album(album);
  if (!genre.empty()) e.set_genre(genre);
  if (o.Target >= 1 && o.Target <= 3) {
    static const char* const kTargets[] = {"vcd", "svcd", "dvd"};
    const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
    e.apply_target(kTargets[o.Target - 1], norm, o.TargetDefaultNorm == 1 ? "pal" : "ntsc");
  }
}

}  // namespace klaventa
