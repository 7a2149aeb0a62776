// Target presets: vcd, svcd, dvd, dv, dv50 for the PAL, NTSC and FILM norms.
#include <string_view>

#include "engine/engine.h"

namespace {

enum Norm { kPal = 0, kNtsc = 1, kFilm = 2 };

const char* const kNormRates[] = {"25", "30000/1001", "24000/1001"};

// Frame rate x 1000, rounded to the nearest integer.
int64_t milli_rate(int num, int den) {
  const int64_t n = static_cast<int64_t>(num) * 1000;
  const int64_t d = den;
  const int64_t q = n / d, r = n % d;
  const bool neg = (n < 0) != (d < 0);
  const int64_t twice = 2 * (r < 0 ? -r : r), ad = d < 0 ? -d : d;
  return twice >= ad ? (neg ? q - 1 : q + 1) : q;
}

// 25000 is PAL, 29970 and 23976 NTSC; -1 for anything else.
int norm_of_rate(int64_t r) {
  if (r == 25000) return kPal;
  if (r == 29970 || r == 23976) return kNtsc;
  return -1;
}

std::string_view trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

void TCustomFFmpeg::set_target(const std::string& v) {
  std::string_view text = trim(v);
  std::string norm = "auto";
  for (const char* prefix : {"pal-", "ntsc-", "film-"}) {
    const std::string_view p(prefix);
    if (text.substr(0, p.size()) == p) {
      norm = std::string(p.substr(0, p.size() - 1));
      text.remove_prefix(p.size());
      break;
    }
  }
  apply_target(std::string(text), norm, "ntsc");
}

void TCustomFFmpeg::apply_target(const std::string& type, const std::string& norm_text,
                                 const std::string& fallback_norm) {
  int norm;
  if (norm_text == "pal") {
    norm = kPal;
  } else if (norm_text == "ntsc") {
    norm = kNtsc;
  } else if (norm_text == "film") {
    norm = kFilm;
  } else {
    if (frame_rate.den == 0) throw FFMpegException("frame_rate is invalid.");
    norm = norm_of_rate(milli_rate(frame_rate.num, frame_rate.den));
    // Then the video streams of the opened inputs, by their frame rate (the
    // rate the demuxer reports; codec time bases no longer carry it).
    for (int i = 0; norm < 0 && i < nb_input_files; ++i) {
      const AVFormatContext* ic = input_files[i];
      if (!ic) continue;
      for (unsigned j = 0; norm < 0 && j < ic->nb_streams; ++j) {
        const AVStream* st = ic->streams[j];
        if (!st->codecpar || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational rate = st->r_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = st->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) continue;
        norm = norm_of_rate(milli_rate(rate.num, rate.den));
      }
    }
    if (norm < 0) norm = fallback_norm == "film" ? kFilm : fallback_norm == "ntsc" ? kNtsc : kPal;
    if (verbose > 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Assuming %s for target.", norm == kPal ? "PAL" : "NTSC");
      log(1, buf);
    }
  }

  const bool pal = norm == kPal;
  const char* rate = kNormRates[norm];
  const char* gop = pal ? "15" : "18";

  // Options that moved out of the generic contexts go where they live now:
  // the group length is "g", mux rate and scan offset are private options of
  // the mpeg muxers and the mpeg1/2 video encoders.
  auto set_muxrate = [this](const char* value) { ff::av_dict_set(&private_format_opts, "muxrate", value, 0); };

  if (type == "vcd") {
    set_video_codec("mpeg1video");
    set_audio_codec("mp2");
    set_output_format("vcd");
    set_frame_size(pal ? "352x288" : "352x240");
    set_frame_rate(rate);
    set_library_option("g", gop);
    set_library_option("b", "1150000");
    set_library_option("maxrate", "1150000");
    set_library_option("minrate", "1150000");
    set_library_option("bufsize", "327680");
    set_library_option("ab", "224000");
    audio_sample_rate = 44100;
    audio_channels = 2;
    set_library_option("packetsize", "2324");
    set_muxrate("1411200");
    mux_preload = 0.44f;
    if (frame_aspect_ratio == 0) set_frame_aspect_ratio("4:3");
  } else if (type == "svcd") {
    set_video_codec("mpeg2video");
    set_audio_codec("mp2");
    set_output_format("svcd");
    set_frame_size(pal ? "480x576" : "480x480");
    set_frame_rate(rate);
    set_library_option("g", gop);
    set_library_option("b", "2040000");
    set_library_option("maxrate", "2516000");
    set_library_option("minrate", "0");
    set_library_option("bufsize", "1835008");
    ff::av_dict_set(&private_codec_opts[AVMEDIA_TYPE_VIDEO], "scan_offset", "1", 0);
    set_library_option("ab", "224000");
    audio_sample_rate = 44100;
    set_library_option("packetsize", "2324");
    if (audio_channels == 1) audio_channels = 2;
    if (frame_aspect_ratio == 0) set_frame_aspect_ratio("4:3");
  } else if (type == "dvd") {
    set_video_codec("mpeg2video");
    set_audio_codec("ac3");
    set_output_format("dvd");
    set_frame_size(pal ? "720x576" : "720x480");
    set_frame_rate(rate);
    set_library_option("g", gop);
    set_library_option("b", "6000000");
    set_library_option("maxrate", "9000000");
    set_library_option("minrate", "0");
    set_library_option("bufsize", "1835008");
    set_library_option("packetsize", "2048");
    set_muxrate("10080000");
    set_library_option("ab", "448000");
    audio_sample_rate = 48000;
    if (audio_channels == 1) audio_channels = 2;
    if (frame_aspect_ratio == 0) set_frame_aspect_ratio("16:9");
  } else if (type == "dv" || type == "dv50") {
    set_output_format("dv");
    set_frame_size(pal ? "720x576" : "720x480");
    set_frame_pix_fmt(type == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    set_frame_rate(rate);
    audio_sample_rate = 48000;
    audio_channels = 2;
  } else {
    throw FFMpegException("Unknown target type");
  }
}
