#include "media/testmedia.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "binding/ffapi.h"
#include "binding/loader.h"

namespace fs = std::filesystem;

namespace testmedia {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Changes with every build of this file, so a changed generator never reuses old clips.
constexpr const char* kGeneratorStamp = "testmedia-3 " __DATE__ " " __TIME__;

std::recursive_mutex g_mutex;

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void ensure_loaded() {
  if (!klaventa::libraries_loaded() && !klaventa::load_libraries("", true))
    throw Failure("media libraries not loaded: " + klaventa::library_load_error());
}

std::string av_error(int code) {
  char buf[256];
  return ff::error_text(code, buf, sizeof buf);
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw Failure(what + ": " + av_error(rc));
}

// Keeps the libraries' default log output down while media is made or read;
// nested and concurrent users share one saved level.
class QuietLog {
 public:
  explicit QuietLog(int old_level) {
    std::lock_guard lock(mutex());
    if (depth()++ == 0) saved() = ff::av_log_get_level();
    const int level = klaventa::av_level_from_old(old_level);
    if (ff::av_log_get_level() > level) ff::av_log_set_level(level);
  }
  ~QuietLog() {
    std::lock_guard lock(mutex());
    if (--depth() == 0) ff::av_log_set_level(saved());
  }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static int& depth() {
    static int d = 0;
    return d;
  }
  static int& saved() {
    static int s = 0;
    return s;
  }
};

std::string q_text(AVRational q) { return std::to_string(q.num) + "/" + std::to_string(q.den); }

std::string spec_key(const ClipSpec& s) {
  std::ostringstream o;
  o << kGeneratorStamp << '|' << s.container << '|' << s.file_ext << '|' << s.video_codec << '|' << s.width << 'x'
    << s.height << '|' << q_text(s.fps) << '|' << s.frames << '|' << q_text(s.sar) << '|' << s.interlaced << '|'
    << s.bframes << '|' << s.gop << '|' << s.video_bit_rate << '|' << s.pix_fmt << '|';
  for (auto& [k, v] : s.video_opts) o << k << '=' << v << ';';
  o << '|' << s.audio_codec << '|' << s.sample_rate << '|' << s.channels << '|' << s.seconds << '|' << s.tone_hz
    << '|' << s.amplitude << '|' << s.audio_bit_rate << '|';
  for (auto& [k, v] : s.audio_opts) o << k << '=' << v << ';';
  o << '|' << s.second_video << '|' << s.second_width << 'x' << s.second_height << '|' << s.subtitles << '|'
    << s.subtitle_codec << '|' << s.start_offset_us << '|' << s.audio_delay_s << '|';
  for (auto& [k, v] : s.mux_opts) o << k << '=' << v << ';';
  o << '|';
  for (auto& [k, v] : s.metadata) o << k << '=' << v << ';';
  o << '|' << s.threads;
  return o.str();
}

std::string hash_text(const std::string& text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

const AVOutputFormat* find_muxer(const std::string& container) {
  const AVOutputFormat* fmt = ff::av_guess_format(container.c_str(), nullptr, nullptr);
  if (!fmt) fmt = ff::av_guess_format(nullptr, ("x." + container).c_str(), nullptr);
  return fmt;
}

std::string extension_for(const ClipSpec& s) {
  if (!s.file_ext.empty()) return s.file_ext[0] == '.' ? s.file_ext : "." + s.file_ext;
  ensure_loaded();
  const AVOutputFormat* fmt = find_muxer(s.container);
  if (fmt && fmt->extensions && *fmt->extensions) {
    std::string exts = fmt->extensions;
    return "." + exts.substr(0, exts.find(','));
  }
  return "." + s.container;
}

// ------------------------------------------------------------------ picture

void draw_picture(uint8_t* const data[], const int linesize[], int w, int h, int t, int counter, bool interlaced) {
  const int bh = band_height(h);
  const int cell = std::max(1, w / 16);
  const int bar_w = std::max(2, w / 10);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = data[0] + static_cast<ptrdiff_t>(y) * linesize[0];
    if (y < bh) {
      for (int x = 0; x < w; ++x) {
        const int c = x / cell;
        row[x] = (c < 16 && ((counter >> c) & 1)) ? 235 : 16;
      }
      continue;
    }
    const bool late = interlaced && (y & 1);  // odd lines: the second field
    const int ramp_shift = 3 * t + (late ? 40 : 0);
    const int bar_x = (4 * t + (late ? 2 : 0)) % w;
    int ramp = (y + ramp_shift) % 160;
    for (int x = 0; x < w; ++x) {
      row[x] = static_cast<uint8_t>(16 + ramp);
      if (++ramp == 160) ramp = 0;
    }
    for (int i = 0; i < bar_w; ++i) row[(bar_x + i) % w] = 235;
  }
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const int cbh = bh / 2;
  for (int y = 0; y < ch; ++y) {
    uint8_t* u = data[1] + static_cast<ptrdiff_t>(y) * linesize[1];
    uint8_t* v = data[2] + static_cast<ptrdiff_t>(y) * linesize[2];
    for (int x = 0; x < cw; ++x) {
      if (y < cbh) {
        u[x] = v[x] = 128;
      } else {
        u[x] = static_cast<uint8_t>(64 + x * 128 / cw);
        v[x] = static_cast<uint8_t>(64 + y * 128 / ch);
      }
    }
  }
}

// ------------------------------------------------------------------ writer

struct OutStream {
  AVStream* st = nullptr;
  AVCodecContext* enc = nullptr;
  int64_t offset_us = 0;
  // Video.
  int width = 0, height = 0, counter_base = 0, total_frames = 0, next_frame = 0;
  bool interlaced = false;
  AVRational sar{0, 1};
  SwsContext* sws = nullptr;
  AVFrame* canvas = nullptr;  // yuv420p picture when the encoder wants another format
  // Audio.
  SwrContext* swr = nullptr;
  int64_t total_samples = 0, next_sample = 0;
  int frame_size = 0;
  double tone_hz = 0, amplitude = 0;
  bool done = false;

  ~OutStream() {
    ff::avcodec_free_context(&enc);
    if (sws) ff::sws_freeContext(sws);
    ff::swr_free(&swr);
    ff::av_frame_free(&canvas);
  }
};

void apply_options(const std::map<std::string, std::string>& opts, AVDictionary** dict) {
  for (auto& [k, v] : opts) ff::av_dict_set(dict, k.c_str(), v.c_str(), 0);
}

void reject_leftovers(AVDictionary* dict, const std::string& where) {
  if (!dict) return;
  const AVDictionaryEntry* e = ff::av_dict_get(dict, "", nullptr, AV_DICT_IGNORE_SUFFIX);
  if (e) {
    std::string name = e->key;
    AVDictionary* d = dict;
    ff::av_dict_free(&d);
    throw Failure(where + ": unknown option '" + name + "'");
  }
}

class Writer {
 public:
  Writer(const ClipSpec& spec, const std::string& out) : spec_(spec), out_(out) {}
  ~Writer() {
    streams_.clear();
    if (oc_) {
      if (oc_->pb && !(oc_->oformat->flags & AVFMT_NOFILE)) ff::avio_closep(&oc_->pb);
      ff::avformat_free_context(oc_);
    }
    ff::av_packet_free(&pkt_);
  }

  void run() {
    const AVOutputFormat* fmt = find_muxer(spec_.container);
    if (!fmt) throw Failure("unknown container '" + spec_.container + "'");
    check(ff::avformat_alloc_output_context2(&oc_, fmt, nullptr, out_.c_str()), "output context");
    pkt_ = ff::av_packet_alloc();
    const int64_t video_frames = spec_.frames > 0 ? spec_.frames
                                                  : std::llround(spec_.seconds * av_q2d(spec_.fps));
    if (!spec_.video_codec.empty()) {
      add_video(spec_.width, spec_.height, 0, static_cast<int>(video_frames));
      if (spec_.second_video) add_video(spec_.second_width, spec_.second_height, 1000, static_cast<int>(video_frames));
    }
    if (!spec_.audio_codec.empty()) add_audio();
    if (spec_.subtitles) add_subtitles(video_frames > 0 && !spec_.video_codec.empty()
                                           ? video_frames / av_q2d(spec_.fps)
                                           : spec_.seconds);
    if (streams_.empty() && !sub_) throw Failure("clip without streams");
    for (auto& [k, v] : spec_.metadata) ff::av_dict_set(&oc_->metadata, k.c_str(), v.c_str(), 0);

    if (!(fmt->flags & AVFMT_NOFILE)) check(ff::avio_open(&oc_->pb, out_.c_str(), AVIO_FLAG_WRITE), "open " + out_);
    AVDictionary* mux = nullptr;
    for (auto& [k, v] : spec_.mux_opts) ff::av_dict_set(&mux, k.c_str(), v.c_str(), 0);
    const int rc = ff::avformat_write_header(oc_, &mux);
    if (rc < 0) {
      ff::av_dict_free(&mux);
      check(rc, "write header");
    }
    reject_leftovers(mux, "muxer");

    // Interleave by time: always feed the stream that is furthest behind.
    for (;;) {
      OutStream* next = nullptr;
      double next_t = 0;
      for (auto& os : streams_) {
        if (os->done) continue;
        const double t = time_of(*os);
        if (!next || t < next_t) next = os.get(), next_t = t;
      }
      const bool sub_due = sub_ && next_sub_ < subs_.size() && (!next || subs_[next_sub_].first <= next_t);
      if (sub_due) {
        write_subtitle(next_sub_++);
        continue;
      }
      if (!next) break;
      if (next->enc->codec_type == AVMEDIA_TYPE_VIDEO)
        feed_video(*next);
      else
        feed_audio(*next);
    }
    check(ff::av_write_trailer(oc_), "write trailer");
  }

 private:
  double time_of(const OutStream& os) const {
    if (os.enc->codec_type == AVMEDIA_TYPE_VIDEO) return os.next_frame / av_q2d(spec_.fps);
    return static_cast<double>(os.next_sample) / spec_.sample_rate + spec_.audio_delay_s;
  }

  void add_video(int w, int h, int counter_base, int frames) {
    const AVCodec* codec = ff::avcodec_find_encoder_by_name(spec_.video_codec.c_str());
    if (!codec) throw Failure("no video encoder '" + spec_.video_codec + "'");
    auto os = std::make_unique<OutStream>();
    os->st = ff::avformat_new_stream(oc_, nullptr);
    if (!os->st) throw Failure("new stream");
    AVCodecContext* enc = os->enc = ff::avcodec_alloc_context3(codec);
    enc->width = w;
    enc->height = h;
    enc->time_base = av_inv_q(spec_.fps);
    enc->framerate = spec_.fps;
    enc->sample_aspect_ratio = spec_.sar;
    enc->gop_size = spec_.gop;
    enc->max_b_frames = spec_.bframes;
    enc->thread_count = spec_.threads;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    if (!spec_.pix_fmt.empty()) {
      enc->pix_fmt = ff::av_get_pix_fmt(spec_.pix_fmt.c_str());
      if (enc->pix_fmt == AV_PIX_FMT_NONE) throw Failure("unknown pixel format '" + spec_.pix_fmt + "'");
    } else if (codec->pix_fmts) {
      bool has420 = false;
      for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) has420 |= *p == AV_PIX_FMT_YUV420P;
      if (!has420) enc->pix_fmt = codec->pix_fmts[0];
    }
    if (spec_.video_bit_rate > 0) {
      enc->bit_rate = spec_.video_bit_rate;
    } else if (codec->id != AV_CODEC_ID_H264 && codec->id != AV_CODEC_ID_HEVC) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = FF_QP2LAMBDA * 3;
    }
    if ((codec->id == AV_CODEC_ID_MPEG1VIDEO || codec->id == AV_CODEC_ID_MPEG2VIDEO) && !enc->rc_buffer_size)
      enc->rc_buffer_size = 224 * 1024 * 8, enc->rc_max_rate = 15000000;  // the MPEG muxers want a VBV size
    if (spec_.interlaced) {
      enc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
      enc->field_order = AV_FIELD_TT;
    }
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* opts = nullptr;
    apply_options(spec_.video_opts, &opts);
    const int rc = ff::avcodec_open2(enc, codec, &opts);
    if (rc < 0) {
      ff::av_dict_free(&opts);
      check(rc, "open video encoder " + spec_.video_codec);
    }
    reject_leftovers(opts, "video encoder " + spec_.video_codec);
    check(ff::avcodec_parameters_from_context(os->st->codecpar, enc), "video parameters");
    for (int i = 0; i < enc->nb_coded_side_data; ++i) {  // e.g. the VBV size the MPEG muxers read
      const AVPacketSideData& sd = enc->coded_side_data[i];
      uint8_t* dst = ff::av_stream_new_side_data(os->st, sd.type, sd.size);
      if (!dst) throw Failure("stream side data");
      std::memcpy(dst, sd.data, sd.size);
    }
    os->st->time_base = enc->time_base;
    os->st->avg_frame_rate = spec_.fps;
    os->st->sample_aspect_ratio = spec_.sar;
    os->offset_us = spec_.start_offset_us;
    os->width = w;
    os->height = h;
    os->counter_base = counter_base;
    os->total_frames = frames;
    os->interlaced = spec_.interlaced;
    os->sar = spec_.sar;
    if (enc->pix_fmt != AV_PIX_FMT_YUV420P) {
      os->canvas = ff::av_frame_alloc();
      os->canvas->format = AV_PIX_FMT_YUV420P;
      os->canvas->width = w;
      os->canvas->height = h;
      check(ff::av_frame_get_buffer(os->canvas, 0), "picture buffer");
      os->sws = ff::sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, enc->pix_fmt, SWS_POINT, nullptr, nullptr,
                                   nullptr);
      if (!os->sws) throw Failure("no conversion to the encoder's pixel format");
    }
    streams_.push_back(std::move(os));
  }

  void add_audio() {
    const AVCodec* codec = ff::avcodec_find_encoder_by_name(spec_.audio_codec.c_str());
    if (!codec) throw Failure("no audio encoder '" + spec_.audio_codec + "'");
    auto os = std::make_unique<OutStream>();
    os->st = ff::avformat_new_stream(oc_, nullptr);
    if (!os->st) throw Failure("new stream");
    AVCodecContext* enc = os->enc = ff::avcodec_alloc_context3(codec);
    enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    enc->sample_rate = spec_.sample_rate;
    if (codec->supported_samplerates) {
      bool ok = false;
      for (const int* r = codec->supported_samplerates; *r; ++r) ok |= *r == spec_.sample_rate;
      if (!ok) throw Failure(spec_.audio_codec + " does not take " + std::to_string(spec_.sample_rate) + " Hz");
    }
    ff::av_channel_layout_default(&enc->ch_layout, spec_.channels);
    enc->time_base = AVRational{1, spec_.sample_rate};
    enc->bit_rate = spec_.audio_bit_rate > 0 ? spec_.audio_bit_rate : 128000;
    enc->thread_count = 1;
    if (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) enc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* opts = nullptr;
    apply_options(spec_.audio_opts, &opts);
    const int rc = ff::avcodec_open2(enc, codec, &opts);
    if (rc < 0) {
      ff::av_dict_free(&opts);
      check(rc, "open audio encoder " + spec_.audio_codec);
    }
    reject_leftovers(opts, "audio encoder " + spec_.audio_codec);
    check(ff::avcodec_parameters_from_context(os->st->codecpar, enc), "audio parameters");
    os->st->time_base = enc->time_base;
    os->offset_us = spec_.start_offset_us + std::llround(spec_.audio_delay_s * 1e6);
    // Muxers that shift negative timestamps would move the whole clip (and the
    // video by a rounded frame) for the encoder's priming: count it into the timeline.
    if (!spec_.video_codec.empty() && !(oc_->oformat->flags & AVFMT_TS_NEGATIVE) && enc->initial_padding > 0)
      os->offset_us += ff::av_rescale(enc->initial_padding, AV_TIME_BASE, enc->sample_rate);
    os->frame_size = enc->frame_size > 0 ? enc->frame_size : 1024;
    os->total_samples = std::llround(spec_.seconds * spec_.sample_rate);
    os->tone_hz = spec_.tone_hz;
    os->amplitude = spec_.amplitude;
    check(ff::swr_alloc_set_opts2(&os->swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &enc->ch_layout,
                                  AV_SAMPLE_FMT_FLT, enc->sample_rate, 0, nullptr),
          "resampler");
    check(ff::swr_init(os->swr), "resampler init");
    streams_.push_back(std::move(os));
  }

  void add_subtitles(double seconds) {
    AVCodecID id;
    if (spec_.subtitle_codec == "subrip" || spec_.subtitle_codec == "srt")
      id = AV_CODEC_ID_SUBRIP;
    else if (spec_.subtitle_codec == "ass" || spec_.subtitle_codec == "ssa")
      id = AV_CODEC_ID_ASS;
    else
      throw Failure("subtitle codec '" + spec_.subtitle_codec + "' not made here");
    sub_ = ff::avformat_new_stream(oc_, nullptr);
    if (!sub_) throw Failure("new stream");
    sub_->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    sub_->codecpar->codec_id = id;
    sub_->time_base = AVRational{1, 1000};
    if (id == AV_CODEC_ID_ASS) {
      static const char header[] =
          "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n[V4+ Styles]\n"
          "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
          "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
          "MarginL, MarginR, MarginV, Encoding\n"
          "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n\n"
          "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
      const size_t n = sizeof header - 1;
      sub_->codecpar->extradata = static_cast<uint8_t*>(ff::av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(sub_->codecpar->extradata, header, n);
      sub_->codecpar->extradata_size = static_cast<int>(n);
    }
    for (int i = 0; i * 0.5 < seconds - 1e-9; ++i) {
      const std::string text = "Line " + std::to_string(i + 1);
      subs_.emplace_back(i * 0.5, id == AV_CODEC_ID_ASS ? std::to_string(i) + ",0,Default,,0,0,0,," + text : text);
    }
  }

  void write_subtitle(size_t i) {
    const auto& [start, text] = subs_[i];
    AVPacket* p = pkt_;
    ff::av_packet_unref(p);
    check(ff::av_new_packet(p, static_cast<int>(text.size())), "subtitle packet");
    std::memcpy(p->data, text.data(), text.size());
    p->pts = p->dts = std::llround(start * 1000);
    p->duration = 400;
    p->flags |= AV_PKT_FLAG_KEY;
    p->stream_index = sub_->index;
    ff::av_packet_rescale_ts(p, AVRational{1, 1000}, sub_->time_base);
    const int64_t off = ff::av_rescale_q(spec_.start_offset_us, AV_TIME_BASE_Q, sub_->time_base);
    p->pts += off;
    p->dts += off;
    check(ff::av_interleaved_write_frame(oc_, p), "write subtitle");
  }

  void feed_video(OutStream& os) {
    if (os.next_frame >= os.total_frames) {
      encode(os, nullptr);
      os.done = true;
      return;
    }
    AVFrame* f = ff::av_frame_alloc();
    f->format = os.enc->pix_fmt;
    f->width = os.width;
    f->height = os.height;
    const int rc = ff::av_frame_get_buffer(f, 0);
    if (rc < 0) {
      ff::av_frame_free(&f);
      check(rc, "picture buffer");
    }
    const int t = os.next_frame;
    if (os.canvas) {
      draw_picture(os.canvas->data, os.canvas->linesize, os.width, os.height, t, os.counter_base + t, os.interlaced);
      ff::sws_scale(os.sws, os.canvas->data, os.canvas->linesize, 0, os.height, f->data, f->linesize);
    } else {
      draw_picture(f->data, f->linesize, os.width, os.height, t, os.counter_base + t, os.interlaced);
    }
    f->pts = t;
    f->sample_aspect_ratio = os.sar;
    f->interlaced_frame = os.interlaced;
    f->top_field_first = os.interlaced;
    f->quality = os.enc->global_quality;
    ++os.next_frame;
    try {
      encode(os, f);
    } catch (...) {
      ff::av_frame_free(&f);
      throw;
    }
    ff::av_frame_free(&f);
  }

  void feed_audio(OutStream& os) {
    if (os.next_sample >= os.total_samples) {
      encode(os, nullptr);
      os.done = true;
      return;
    }
    const int n = static_cast<int>(std::min<int64_t>(os.frame_size, os.total_samples - os.next_sample));
    const int ch = os.enc->ch_layout.nb_channels;
    std::vector<float> pcm(static_cast<size_t>(n) * ch);
    const double w = 2 * std::numbers::pi * os.tone_hz / spec_.sample_rate;
    for (int i = 0; i < n; ++i) {
      const float v = static_cast<float>(os.amplitude * std::sin(w * static_cast<double>(os.next_sample + i)));
      for (int c = 0; c < ch; ++c) pcm[static_cast<size_t>(i) * ch + c] = v;
    }
    AVFrame* f = ff::av_frame_alloc();
    f->format = os.enc->sample_fmt;
    f->nb_samples = n;
    f->sample_rate = spec_.sample_rate;
    ff::av_channel_layout_copy(&f->ch_layout, &os.enc->ch_layout);
    int rc = ff::av_frame_get_buffer(f, 0);
    const uint8_t* in[] = {reinterpret_cast<const uint8_t*>(pcm.data())};
    if (rc >= 0) rc = ff::swr_convert(os.swr, f->extended_data, n, in, n);
    if (rc >= 0 && rc != n) rc = AVERROR_BUG;
    if (rc < 0) {
      ff::av_frame_free(&f);
      check(rc, "sample conversion");
    }
    f->pts = os.next_sample;
    os.next_sample += n;
    try {
      encode(os, f);
    } catch (...) {
      ff::av_frame_free(&f);
      throw;
    }
    ff::av_frame_free(&f);
  }

  void encode(OutStream& os, AVFrame* frame) {
    check(ff::avcodec_send_frame(os.enc, frame), "encode");
    for (;;) {
      const int rc = ff::avcodec_receive_packet(os.enc, pkt_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "encode");
      pkt_->stream_index = os.st->index;
      ff::av_packet_rescale_ts(pkt_, os.enc->time_base, os.st->time_base);
      if (os.offset_us) {
        const int64_t off = ff::av_rescale_q(os.offset_us, AV_TIME_BASE_Q, os.st->time_base);
        if (pkt_->pts != AV_NOPTS_VALUE) pkt_->pts += off;
        if (pkt_->dts != AV_NOPTS_VALUE) pkt_->dts += off;
      }
      check(ff::av_interleaved_write_frame(oc_, pkt_), "write packet");
    }
  }

  const ClipSpec& spec_;
  std::string out_;
  AVFormatContext* oc_ = nullptr;
  AVPacket* pkt_ = nullptr;
  std::vector<std::unique_ptr<OutStream>> streams_;
  AVStream* sub_ = nullptr;
  std::vector<std::pair<double, std::string>> subs_;
  size_t next_sub_ = 0;
};

// ------------------------------------------------------------------ files

std::string make_temp_folder(const char* prefix) {
  std::string tmpl = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw Failure("cannot create a temp folder in " + fs::temp_directory_path().string());
  return buf.data();
}

struct ProcessTemp {
  std::string dir;
  ~ProcessTemp() {
    if (dir.empty()) return;
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

ProcessTemp& process_temp() {
  static ProcessTemp t;
  return t;
}

void write_bytes(const std::string& file, const std::string& bytes) {
  std::ofstream f(file, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw Failure("cannot write " + file);
}

std::string read_bytes(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  if (!f) throw Failure("cannot read " + file);
  std::ostringstream o;
  o << f.rdbuf();
  return o.str();
}

std::string unique_suffix() {
  std::ostringstream o;
  o << ".part." << getpid() << '.' << std::hash<std::thread::id>{}(std::this_thread::get_id());
  return o.str();
}

// Makes `name` in the cache with `producer(tmp_path)` unless it is there; atomic for concurrent processes.
std::string cached(const std::string& name, const std::function<void(const std::string&)>& producer) {
  std::lock_guard lock(g_mutex);
  const std::string target = (fs::path(cache_dir()) / name).string();
  std::error_code ec;
  if (fs::is_regular_file(target, ec)) return target;
  const std::string tmp = target + unique_suffix();
  try {
    producer(tmp);
  } catch (...) {
    fs::remove(tmp, ec);
    throw;
  }
  fs::rename(tmp, target);
  return target;
}

// Overwrites the payload of some packets in the middle: the container structure stays intact.
void corrupt_packets(const std::string& file) {
  std::string bytes = read_bytes(file);
  struct Hit {
    int64_t offset;
    int size;
  };
  std::vector<Hit> hits;
  {
    AVFormatContext* ic = nullptr;
    check(ff::avformat_open_input(&ic, file.c_str(), nullptr, nullptr), "open for corruption");
    AVPacket* p = ff::av_packet_alloc();
    std::vector<int> seen(ic->nb_streams, 0);
    std::vector<int> total(ic->nb_streams, 0);
    std::vector<std::pair<int, std::pair<int64_t, std::string>>> packets;  // stream, (pos, head bytes)
    while (ff::av_read_frame(ic, p) >= 0) {
      std::string head(reinterpret_cast<const char*>(p->data), static_cast<size_t>(p->size));
      packets.push_back({p->stream_index, {p->pos, head}});
      ++total[p->stream_index];
      ff::av_packet_unref(p);
    }
    for (auto& [si, pp] : packets) {
      const int k = seen[si]++;
      const AVMediaType type = ic->streams[si]->codecpar->codec_type;
      // Video: two predicted pictures and one key picture in the second third; audio: two frames.
      const bool pick = type == AVMEDIA_TYPE_VIDEO ? (k == total[si] / 2 - 3 || k == total[si] / 2 + 1 ||
                                                      k == total[si] / 2 + 5)
                                                   : type == AVMEDIA_TYPE_AUDIO && (k == total[si] / 2 ||
                                                                                    k == total[si] / 2 + 7);
      if (!pick || pp.second.size() < 16) continue;
      const std::string& payload = pp.second;
      // The payload sits right after the chunk header at pos, or close by.
      int64_t at = -1;
      for (int64_t cand = std::max<int64_t>(0, pp.first); cand < pp.first + 64 && at < 0; ++cand)
        if (cand + static_cast<int64_t>(payload.size()) <= static_cast<int64_t>(bytes.size()) &&
            bytes.compare(static_cast<size_t>(cand), payload.size(), payload) == 0)
          at = cand;
      if (at >= 0) hits.push_back({at, static_cast<int>(payload.size())});
    }
    ff::av_packet_free(&p);
    ff::avformat_close_input(&ic);
  }
  if (hits.size() < 3) throw Failure("corruption: packets not found in " + file);
  uint32_t lcg = 12345;
  for (const Hit& h : hits) {
    for (int i = 0; i < h.size; ++i) {
      lcg = lcg * 1664525u + 1013904223u;
      bytes[static_cast<size_t>(h.offset + i)] = static_cast<char>(lcg >> 24);
    }
  }
  write_bytes(file, bytes);
}

// ------------------------------------------------------------------ reading

struct Input {
  AVFormatContext* ic = nullptr;
  std::vector<AVCodecContext*> dec;
  ~Input() {
    for (auto*& d : dec) ff::avcodec_free_context(&d);
    if (ic) ff::avformat_close_input(&ic);
  }
  std::string open(const std::string& path) {
    int rc = ff::avformat_open_input(&ic, path.c_str(), nullptr, nullptr);
    if (rc < 0) return av_error(rc);
    rc = ff::avformat_find_stream_info(ic, nullptr);
    if (rc < 0) return av_error(rc);
    dec.assign(ic->nb_streams, nullptr);
    return {};
  }
  bool open_decoder(unsigned i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
    if (!codec) return false;
    AVCodecContext* d = ff::avcodec_alloc_context3(codec);
    if (ff::avcodec_parameters_to_context(d, par) < 0) {
      ff::avcodec_free_context(&d);
      return false;
    }
    d->pkt_timebase = ic->streams[i]->time_base;
    d->thread_count = 1;
    if (ff::avcodec_open2(d, codec, nullptr) < 0) {
      ff::avcodec_free_context(&d);
      return false;
    }
    dec[i] = d;
    return true;
  }
  int find(AVMediaType type, int wanted) const {
    if (wanted >= 0)
      return wanted < static_cast<int>(ic->nb_streams) && ic->streams[wanted]->codecpar->codec_type == type ? wanted
                                                                                                             : -1;
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      if (ic->streams[i]->codecpar->codec_type == type) return static_cast<int>(i);
    return -1;
  }

  // Reads and decodes every packet of the streams with an open decoder. on_frame returns false to stop.
  void decode(const std::function<bool(int, AVFrame*)>& on_frame, const std::function<void(int)>& on_error,
              const std::function<void(int, AVPacket*)>& on_packet = {}) {
    AVPacket* p = ff::av_packet_alloc();
    AVFrame* f = ff::av_frame_alloc();
    bool stop = false;
    auto drain = [&](int si) {
      for (;;) {
        const int rc = ff::avcodec_receive_frame(dec[si], f);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
        if (rc < 0) {
          on_error(si);
          return;
        }
        if (f->decode_error_flags || (f->flags & AV_FRAME_FLAG_CORRUPT)) on_error(si);
        const bool go = on_frame(si, f);
        ff::av_frame_unref(f);
        if (!go) {
          stop = true;
          return;
        }
      }
    };
    while (!stop && ff::av_read_frame(ic, p) >= 0) {
      const int si = p->stream_index;
      if (on_packet) on_packet(si, p);
      AVCodecContext* d = dec[si];
      if (d && d->codec_type != AVMEDIA_TYPE_SUBTITLE) {
        const int rc = ff::avcodec_send_packet(d, p);
        if (rc < 0 && rc != AVERROR(EAGAIN)) on_error(si);
        drain(si);
      }
      ff::av_packet_unref(p);
    }
    for (unsigned si = 0; si < dec.size() && !stop; ++si) {
      if (!dec[si] || dec[si]->codec_type == AVMEDIA_TYPE_SUBTITLE) continue;
      ff::avcodec_send_packet(dec[si], nullptr);
      drain(static_cast<int>(si));
    }
    ff::av_frame_free(&f);
    ff::av_packet_free(&p);
  }
};

double ts_seconds(int64_t ts, AVRational tb) { return ts == AV_NOPTS_VALUE ? kNaN : ts * av_q2d(tb); }

std::map<std::string, std::string> dict_map(const AVDictionary* d) {
  std::map<std::string, std::string> m;
  const AVDictionaryEntry* e = nullptr;
  while ((e = ff::av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX))) m[e->key] = e->value;
  return m;
}

// Converts decoded audio to interleaved float.
class FloatConverter {
 public:
  ~FloatConverter() {
    ff::swr_free(&swr_);
    ff::av_channel_layout_uninit(&layout_);
  }
  bool convert(const AVFrame* f, std::vector<float>& out) {
    if (!swr_ || f->format != fmt_ || f->sample_rate != rate_ || ff::av_channel_layout_compare(&f->ch_layout, &layout_)) {
      ff::swr_free(&swr_);
      ff::av_channel_layout_uninit(&layout_);
      ff::av_channel_layout_copy(&layout_, &f->ch_layout);
      fmt_ = f->format;
      rate_ = f->sample_rate;
      if (ff::swr_alloc_set_opts2(&swr_, &layout_, AV_SAMPLE_FMT_FLT, f->sample_rate, &layout_,
                                  static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) < 0 ||
          ff::swr_init(swr_) < 0) {
        ff::swr_free(&swr_);
        return false;
      }
    }
    const int ch = f->ch_layout.nb_channels;
    out.resize(static_cast<size_t>(f->nb_samples) * ch);
    uint8_t* dst[] = {reinterpret_cast<uint8_t*>(out.data())};
    const int n = ff::swr_convert(swr_, dst, f->nb_samples, const_cast<const uint8_t**>(f->extended_data),
                                  f->nb_samples);
    if (n < 0) return false;
    out.resize(static_cast<size_t>(n) * ch);
    return true;
  }

 private:
  SwrContext* swr_ = nullptr;
  AVChannelLayout layout_{};
  int fmt_ = -1, rate_ = 0;
};

bool is_plain_luma(int format) {
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  return d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                            AV_PIX_FMT_FLAG_HWACCEL)) &&
         (d->flags & AV_PIX_FMT_FLAG_PLANAR) && d->comp[0].plane == 0 && d->comp[0].depth == 8 &&
         d->comp[0].step == 1 && d->comp[0].offset == 0;
}

// Y plane (w*h) or RGB24 (w*h*3) of a decoded picture.
bool picture_bytes(const AVFrame* f, bool rgb, std::vector<uint8_t>& out) {
  const int w = f->width, h = f->height;
  if (!rgb && is_plain_luma(f->format)) {
    out.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      std::memcpy(out.data() + static_cast<size_t>(y) * w, f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0],
                  static_cast<size_t>(w));
    return true;
  }
  const AVPixelFormat dst_fmt = rgb ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_GRAY8;
  SwsContext* sws = ff::sws_getContext(w, h, static_cast<AVPixelFormat>(f->format), w, h, dst_fmt, SWS_POINT,
                                       nullptr, nullptr, nullptr);
  if (!sws) return false;
  const int bpp = rgb ? 3 : 1;
  out.resize(static_cast<size_t>(w) * h * bpp);
  uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {w * bpp, 0, 0, 0};
  ff::sws_scale(sws, f->data, f->linesize, 0, h, dst, dst_stride);
  ff::sws_freeContext(sws);
  return true;
}

}  // namespace

// ------------------------------------------------------------------ public

int band_height(int h) { return std::max(2, h / 8); }

bool write_clip(const ClipSpec& spec, const std::string& out_path, std::string* error) {
  try {
    std::lock_guard lock(g_mutex);
    ensure_loaded();
    QuietLog quiet(0);
    {
      Writer w(spec, out_path);
      w.run();
    }
    return true;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    std::error_code ec;
    fs::remove(out_path, ec);
    return false;
  }
}

std::string cache_dir() {
  static std::string dir = [] {
    fs::path base;
    if (const char* env = std::getenv("KLAVENTA_MEDIA_DIR"); env && *env)
      base = env;
    else
      base = fs::temp_directory_path() / ("klaventa-media-" + std::to_string(getuid()));
    // Folders of other generator builds untouched for two days are dropped.
    std::error_code ec;
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(48);
    for (const auto& entry : fs::directory_iterator(base, ec))
      if (entry.is_directory(ec) && entry.last_write_time(ec) < cutoff) fs::remove_all(entry.path(), ec);
    base /= hash_text(kGeneratorStamp);
    fs::create_directories(base);
    fs::last_write_time(base, fs::file_time_type::clock::now(), ec);  // in use: keep it
    return base.string();
  }();
  return dir;
}

std::string temp_dir() {
  std::lock_guard lock(g_mutex);
  ProcessTemp& t = process_temp();
  if (t.dir.empty()) t.dir = make_temp_folder("klaventa-test-");
  return t.dir;
}

std::string copy_to_temp(const std::string& file, const std::string& new_name) {
  std::lock_guard lock(g_mutex);
  static int serial = 0;
  const fs::path src(file);
  const std::string name =
      new_name.empty() ? src.stem().string() + "-" + std::to_string(++serial) + src.extension().string() : new_name;
  const fs::path dst = fs::path(temp_dir()) / name;
  fs::copy_file(src, dst, fs::copy_options::overwrite_existing);
  return dst.string();
}

std::string make(const ClipSpec& spec) {
  const std::string name = "clip-" + hash_text(spec_key(spec)) + extension_for(spec);
  return cached(name, [&](const std::string& tmp) {
    std::string err;
    if (!write_clip(spec, tmp, &err)) throw std::runtime_error("testmedia: " + err);
  });
}

ClipSpec spec_of(Clip clip) {
  ClipSpec s;
  switch (clip) {
    case Clip::Mpeg4Mp3Avi:
    case Clip::Truncated:
    case Clip::CorruptedAvi:
      s.width = 320, s.height = 240, s.frames = 50, s.seconds = 2.0;
      break;
    case Clip::H264AacMp4:
      s.container = "mp4";
      s.video_codec = "libx264", s.width = 320, s.height = 240, s.frames = 50, s.bframes = 2;
      s.video_opts = {{"preset", "ultrafast"}};
      s.audio_codec = "aac", s.seconds = 2.0;
      break;
    case Clip::Mpeg2Mp2PsInterlaced720x576:
      s.container = "mpeg";
      s.video_codec = "mpeg2video", s.width = 720, s.height = 576, s.frames = 25, s.interlaced = true;
      s.sar = {16, 15}, s.video_bit_rate = 4000000;
      s.audio_codec = "mp2", s.sample_rate = 48000, s.audio_bit_rate = 192000;
      break;
    case Clip::Mp3Only:
      s.container = "mp3";
      s.video_codec.clear();
      s.seconds = 2.0, s.tone_hz = 1000;
      break;
    case Clip::WavOnly:
      s.container = "wav";
      s.video_codec.clear();
      s.audio_codec = "pcm_s16le";
      break;
    case Clip::SubtitleMkv:
    case Clip::SubtitleAssMkv:
      s.container = "matroska";
      s.frames = 50, s.seconds = 2.0;
      s.subtitles = true;
      s.subtitle_codec = clip == Clip::SubtitleMkv ? "subrip" : "ass";
      break;
    case Clip::TwoVideoStreams:
      s.width = 320, s.height = 240, s.second_video = true;
      break;
    case Clip::StartOffset:
      s.container = "mpeg";
      s.video_codec = "mpeg2video";
      s.audio_codec = "mp2";
      s.start_offset_us = 1000000;
      break;
    case Clip::Sar0_640x480:
      s.container = "mp4";
      s.video_codec = "libx264", s.width = 640, s.height = 480, s.sar = {0, 1};
      s.video_opts = {{"preset", "ultrafast"}};
      s.audio_codec = "aac";
      break;
    case Clip::Sar16_11_720x576:
      s.width = 720, s.height = 576, s.sar = {16, 11};
      break;
    case Clip::LongAudio90s:
      s.container = "wav";
      s.video_codec.clear();
      s.audio_codec = "pcm_s16le", s.sample_rate = 8000, s.channels = 1, s.seconds = 90;
      break;
    case Clip::LongVideo90s:
      s.width = 64, s.height = 48, s.frames = 2250, s.seconds = 90, s.gop = 250;
      s.audio_codec.clear();
      break;
    case Clip::Bench720p30s:
      s.container = "mp4";
      s.video_codec = "libx264", s.width = 1280, s.height = 720, s.frames = 750, s.gop = 250;
      s.video_opts = {{"preset", "ultrafast"}};
      s.audio_codec = "aac", s.sample_rate = 48000, s.seconds = 30;
      s.threads = 2;
      break;
    case Clip::Empty:
    case Clip::TextAsAvi:
      break;
  }
  return s;
}

std::string path(Clip clip) {
  const std::string stamp = hash_text(kGeneratorStamp);
  switch (clip) {
    case Clip::Empty:
      return cached("empty-" + stamp + ".avi", [](const std::string& tmp) { write_bytes(tmp, ""); });
    case Clip::TextAsAvi:
      return cached("text-" + stamp + ".avi", [](const std::string& tmp) {
        std::string text;
        for (int i = 1; i <= 40; ++i) text += "Line " + std::to_string(i) + ": this is a plain text file, not a video.\n";
        write_bytes(tmp, text);
      });
    case Clip::Truncated: {
      const std::string full = path(Clip::Mpeg4Mp3Avi);
      return cached("truncated-" + hash_text(full) + ".avi", [&](const std::string& tmp) {
        const std::string bytes = read_bytes(full);
        write_bytes(tmp, bytes.substr(0, bytes.size() / 2));
      });
    }
    case Clip::CorruptedAvi: {
      const std::string full = make(spec_of(Clip::CorruptedAvi));
      return cached("corrupted-" + hash_text(full) + ".avi", [&](const std::string& tmp) {
        ensure_loaded();
        QuietLog quiet(-1);
        write_bytes(tmp, read_bytes(full));
        corrupt_packets(tmp);
      });
    }
    default:
      return make(spec_of(clip));
  }
}

const StreamInfo* FileInfo::first(AVMediaType type) const {
  for (const StreamInfo& s : streams)
    if (s.type == type) return &s;
  return nullptr;
}

int FileInfo::count(AVMediaType type) const {
  int n = 0;
  for (const StreamInfo& s : streams) n += s.type == type;
  return n;
}

FileInfo probe(const std::string& file, bool decode_all) {
  FileInfo info;
  try {
    ensure_loaded();
  } catch (const std::exception& e) {
    info.error = e.what();
    return info;
  }
  QuietLog quiet(-1);
  Input in;
  info.error = in.open(file);
  if (!info.error.empty()) return info;
  AVFormatContext* ic = in.ic;
  info.ok = true;
  info.format = ic->iformat->name;
  info.duration_s = ic->duration == AV_NOPTS_VALUE ? kNaN : ic->duration / 1e6;
  info.start_s = ic->start_time == AV_NOPTS_VALUE ? kNaN : ic->start_time / 1e6;
  info.bit_rate = ic->bit_rate;
  info.metadata = dict_map(ic->metadata);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVStream* st = ic->streams[i];
    const AVCodecParameters* par = st->codecpar;
    StreamInfo s;
    s.index = static_cast<int>(i);
    s.type = par->codec_type;
    s.codec = ff::avcodec_get_name(par->codec_id);
    s.bit_rate = par->bit_rate;
    s.width = par->width;
    s.height = par->height;
    s.sar = par->sample_aspect_ratio;
    s.stream_sar = st->sample_aspect_ratio;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && par->format >= 0) {
      const char* name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
      s.pix_fmt = name ? name : "";
    }
    s.frame_rate = st->avg_frame_rate;
    s.field_order = par->field_order;
    s.has_b_frames = par->video_delay;
    s.sample_rate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    s.start_s = ts_seconds(st->start_time, st->time_base);
    s.duration_s = ts_seconds(st->duration, st->time_base);
    s.metadata = dict_map(st->metadata);
    s.first_pts_s = s.last_end_s = kNaN;
    info.streams.push_back(s);
  }
  if (!decode_all) return info;

  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVMediaType t = ic->streams[i]->codecpar->codec_type;
    if (t == AVMEDIA_TYPE_VIDEO || t == AVMEDIA_TYPE_AUDIO || t == AVMEDIA_TYPE_SUBTITLE) in.open_decoder(i);
  }
  struct Acc {
    double sum_sq = 0;
    int64_t values = 0;
    int64_t crossings = 0, first_cross = -1, last_cross = -1, position = 0;
    bool below = false;
    FloatConverter conv;
    std::vector<float> buf;
  };
  std::vector<Acc> acc(ic->nb_streams);
  auto extend = [](StreamInfo& s, double start, double end) {
    if (std::isnan(start)) return;
    if (std::isnan(s.first_pts_s) || start < s.first_pts_s) s.first_pts_s = start;
    if (std::isnan(s.last_end_s) || end > s.last_end_s) s.last_end_s = end;
  };
  auto on_frame = [&](int si, AVFrame* f) {
    StreamInfo& s = info.streams[si];
    const AVRational tb = ic->streams[si]->time_base;
    const double pts = ts_seconds(f->best_effort_timestamp, tb);
    ++s.frames_decoded;
    if (s.type == AVMEDIA_TYPE_VIDEO) {
      s.key_frames += f->key_frame != 0;
      s.interlaced_frames += f->interlaced_frame != 0;
      s.b_frames += f->pict_type == AV_PICTURE_TYPE_B;
      double dur = f->pkt_duration > 0 ? f->pkt_duration * av_q2d(tb) : 0;
      if (dur <= 0 && s.frame_rate.num > 0) dur = 1 / av_q2d(s.frame_rate);
      extend(s, pts, pts + dur);
    } else {
      s.samples_decoded += f->nb_samples;
      if (f->sample_rate > 0) extend(s, pts, pts + static_cast<double>(f->nb_samples) / f->sample_rate);
      Acc& a = acc[si];
      if (!a.conv.convert(f, a.buf)) {
        ++s.decode_errors;
        return true;
      }
      const int ch = f->ch_layout.nb_channels;
      for (size_t k = 0; k < a.buf.size(); ++k) {
        const double v = a.buf[k];
        s.peak_amplitude = std::max(s.peak_amplitude, std::fabs(v));
        a.sum_sq += v * v;
        ++a.values;
        if (ch > 0 && k % ch == 0) {  // channel 0: rising crossings with a little hysteresis
          if (v < -0.005) {
            a.below = true;
          } else if (v > 0.005 && a.below) {
            a.below = false;
            ++a.crossings;
            if (a.first_cross < 0) a.first_cross = a.position;
            a.last_cross = a.position;
          }
          ++a.position;
        }
      }
    }
    return true;
  };
  auto on_error = [&](int si) { ++info.streams[si].decode_errors; };
  auto on_packet = [&](int si, AVPacket* p) {
    StreamInfo& s = info.streams[si];
    ++s.packets;
    AVCodecContext* d = in.dec[si];
    if (!d || d->codec_type != AVMEDIA_TYPE_SUBTITLE) return;
    AVSubtitle sub{};
    int got = 0;
    if (ff::avcodec_decode_subtitle2(d, &sub, &got, p) < 0) {
      ++s.decode_errors;
      return;
    }
    if (got) {
      ++s.frames_decoded;
      const AVRational tb = ic->streams[si]->time_base;
      const double start = ts_seconds(p->pts, tb);
      extend(s, start, start + p->duration * av_q2d(tb));
      ff::avsubtitle_free(&sub);
    }
  };
  in.decode(on_frame, on_error, on_packet);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    StreamInfo& s = info.streams[i];
    if (s.type != AVMEDIA_TYPE_AUDIO || !acc[i].values) continue;
    s.rms = std::sqrt(acc[i].sum_sq / static_cast<double>(acc[i].values));
    const Acc& a = acc[i];
    if (a.crossings > 1 && a.last_cross > a.first_cross && s.sample_rate > 0)
      s.tone_hz = (a.crossings - 1) * static_cast<double>(s.sample_rate) / (a.last_cross - a.first_cross);
  }
  return info;
}

bool read_video_frame(const std::string& file, int n, std::vector<uint8_t>& out, int& w, int& h, bool rgb,
                      int stream) {
  ensure_loaded();
  QuietLog quiet(-1);
  Input in;
  if (!in.open(file).empty()) return false;
  const int si = in.find(AVMEDIA_TYPE_VIDEO, stream);
  if (si < 0 || !in.open_decoder(si)) return false;
  int index = 0;
  bool found = false;
  in.decode(
      [&](int, AVFrame* f) {
        if (index++ < n) return true;
        found = picture_bytes(f, rgb, out);
        w = f->width;
        h = f->height;
        return false;
      },
      [](int) {});
  return found;
}

int read_counter(const uint8_t* plane, int stride, int x0, int y0, int w, int h) {
  if (!plane || w < 16 || h < 8) return -1;
  const int ya = y0 + h * 3 / 64, yb = std::max(ya + 1, y0 + h * 5 / 64);
  int value = 0;
  for (int c = 0; c < 16; ++c) {
    const int xa = x0 + static_cast<int>((c + 0.3) * w / 16), xb = std::max(xa + 1, x0 + static_cast<int>((c + 0.7) * w / 16));
    long sum = 0, count = 0;
    for (int y = ya; y < yb; ++y)
      for (int x = xa; x < xb; ++x) sum += plane[static_cast<ptrdiff_t>(y) * stride + x], ++count;
    const int mean = static_cast<int>(sum / count);
    if (mean > 150) value |= 1 << c;
    else if (mean > 100) return -1;  // neither black nor white: not a counter band
  }
  return value;
}

double comb_score(const std::vector<uint8_t>& y_plane, int w, int h) {
  double across = 0, within = 0;  // neighbouring rows (other field) and rows two apart (same field)
  for (int y = band_height(h) + 2; y + 2 < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      across += std::abs(y_plane[i] - y_plane[i + w]);
      within += std::abs(y_plane[i] - y_plane[i + 2 * w]);
    }
  return across / std::max(within, 1.0);
}

std::vector<int> read_counters(const std::string& file, int stream) {
  std::vector<int> counters;
  ensure_loaded();
  QuietLog quiet(-1);
  Input in;
  if (!in.open(file).empty()) return counters;
  const int si = in.find(AVMEDIA_TYPE_VIDEO, stream);
  if (si < 0 || !in.open_decoder(si)) return counters;
  std::vector<uint8_t> y;
  in.decode(
      [&](int, AVFrame* f) {
        counters.push_back(picture_bytes(f, false, y) ? read_counter(y, f->width, f->height) : -1);
        return true;
      },
      [](int) {});
  return counters;
}

bool read_audio(const std::string& file, std::vector<float>& samples, int& channels, int& sample_rate, int stream) {
  samples.clear();
  ensure_loaded();
  QuietLog quiet(-1);
  Input in;
  if (!in.open(file).empty()) return false;
  const int si = in.find(AVMEDIA_TYPE_AUDIO, stream);
  if (si < 0 || !in.open_decoder(si)) return false;
  channels = in.dec[si]->ch_layout.nb_channels;
  sample_rate = in.dec[si]->sample_rate;
  FloatConverter conv;
  std::vector<float> buf;
  bool ok = true;
  in.decode(
      [&](int, AVFrame* f) {
        if (!conv.convert(f, buf)) return ok = false;
        channels = f->ch_layout.nb_channels;
        sample_rate = f->sample_rate;
        samples.insert(samples.end(), buf.begin(), buf.end());
        return true;
      },
      [](int) {});
  return ok;
}

}  // namespace testmedia
