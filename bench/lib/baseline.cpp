#include "lib/baseline.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "binding/ffapi.h"

namespace bench {

const std::vector<Target>& targets() {
  static const std::vector<Target> list = {
      {"MP4 mpeg4 1200k + aac 128k", ".mp4", "mpeg4", 0, 0, 1200000, "aac", 128000, 0, 0, "mpeg4", "aac"},
      {"368x208 mpeg4 768k + aac 64k 24 kHz", ".mp4", "mpeg4", 368, 208, 768000, "aac", 64000, 24000, 0, "mpeg4",
       "aac"},
      {"libx264 2000k 1280x720 + aac 96k", ".mp4", "libx264", 1280, 720, 2000000, "aac", 96000, 0, 0, "h264", "aac"},
      {"mpeg2video 2000k 320x240 + mp2 192k", ".mpg", "mpeg2video", 320, 240, 2000000, "mp2", 192000, 0, 0,
       "mpeg2video", "mp2"},
      {"176x144 mpeg4 128k + AMR-NB 7.4k mono 8 kHz", ".3gp", "mpeg4", 176, 144, 128000, "libopencore_amrnb", 7400,
       8000, 1, "mpeg4", "amr_nb"},
  };
  return list;
}

void snapshot_options(void* obj, const std::string& prefix, Snapshot& out) {
  if (!obj) return;
  const AVOption* o = nullptr;
  while ((o = ff::av_opt_next(obj, o))) {
    if (o->type == AV_OPT_TYPE_CONST || (o->flags & AV_OPT_FLAG_DEPRECATED)) continue;
    // Counters and values the decoders learn from the stream, not settings.
    if (!std::strcmp(o->name, "frame_number") || !std::strcmp(o->name, "x264_build")) continue;
    uint8_t* text = nullptr;
    if (ff::av_opt_get(obj, o->name, 0, &text) >= 0 && text)
      out[prefix + o->name] = reinterpret_cast<const char*>(text);
    else
      out[prefix + o->name] = "<unreadable>";
    ff::av_free(text);
  }
}

void snapshot_codec(void* codec_ctx, const std::string& prefix, Snapshot& out) {
  auto* c = static_cast<AVCodecContext*>(codec_ctx);
  if (!c) return;
  snapshot_options(c, prefix, out);
  if (c->codec && c->codec->priv_class && c->priv_data) snapshot_options(c->priv_data, prefix + "priv.", out);
  out[prefix + "codec"] = c->codec ? c->codec->name : "<none>";
  if (!c->codec || !ff::av_codec_is_encoder(c->codec)) {
    out.erase(prefix + "time_base");  // decoders set it from the stream
  } else {
    out[prefix + "frame_size"] = std::to_string(c->frame_size);
    out[prefix + "time_base"] = std::to_string(c->time_base.num) + "/" + std::to_string(c->time_base.den);
  }
}

namespace {

[[noreturn]] void fail(const std::string& what, int code) {
  char buf[128];
  throw std::runtime_error(what + ": " + ff::error_text(code, buf, sizeof buf));
}

int check(int ret, const char* what) {
  if (ret < 0) fail(what, ret);
  return ret;
}

// Sample aspect that keeps a display aspect on a w x h picture (as the engine
// derives it from the input's aspect).
AVRational sample_aspect(float display_aspect, int w, int h) {
  double d = static_cast<double>(display_aspect) * h / w;
  if (!std::isfinite(d) || d == 0) return AVRational{0, 1};
  int e = static_cast<int>(std::nearbyint(std::log(std::fabs(d) + 1e-20) / std::log(2.0)));
  if (e < 0) e = 0;
  const int64_t den = int64_t(1) << ((61 - e) & 31);
  const int64_t num = std::llrint(std::clamp(d * static_cast<double>(den) + 0.5, -9.2e18, 9.2e18));
  AVRational r{0, 1};
  ff::av_reduce(&r.num, &r.den, num, den, 255);
  return r;
}

// Time base of an encoder for `fps`: the nearest rate the codec supports.
AVRational encoder_time_base(const AVCodec* codec, AVRational fps) {
  AVRational tb{fps.den, fps.num};
  if (!codec->supported_framerates) return tb;
  AVRational best_diff{INT_MAX, 1};
  for (const AVRational* p = codec->supported_framerates; p->den; p++) {
    int n = 0, d = 1;
    ff::av_reduce(&n, &d, int64_t(p->den) * fps.num - int64_t(p->num) * fps.den, int64_t(p->den) * fps.den, INT_MAX);
    n = std::abs(n);
    if (int64_t(n) * best_diff.den < int64_t(best_diff.num) * d) {
      best_diff = AVRational{n, d};
      tb = AVRational{p->den, p->num};
    }
  }
  return tb;
}

// Cuts float samples to 16-bit steps, what a pass through s16 leaves of them.
void cut_to_s16(uint8_t** data, AVSampleFormat fmt, int channels, int nb) {
  if (fmt != AV_SAMPLE_FMT_FLTP && fmt != AV_SAMPLE_FMT_FLT) return;
  const bool planar = fmt == AV_SAMPLE_FMT_FLTP;
  for (int p = 0; p < (planar ? channels : 1); p++) {
    float* d = reinterpret_cast<float*>(data[p]);
    for (int k = 0, n = planar ? nb : nb * channels; k < n; k++)
      d[k] = std::clamp(std::nearbyint(d[k] * 32768.0f), -32768.0f, 32767.0f) / 32768.0f;
  }
}

struct Conversion {
  AVFormatContext* ic = nullptr;
  AVFormatContext* oc = nullptr;
  AVCodecContext *vdec = nullptr, *adec = nullptr, *venc = nullptr, *aenc = nullptr;
  AVStream *vin = nullptr, *ain = nullptr, *vout = nullptr, *aout = nullptr;
  SwsContext* sws = nullptr;
  SwrContext* swr = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVPacket* pkt = nullptr;   // demuxed
  AVPacket* opkt = nullptr;  // encoded
  AVFrame* frame = nullptr;  // decoded
  AVFrame* conv = nullptr;   // resampler output
  AVFrame* aframe = nullptr; // one encoder frame of audio
  int conv_capacity = 0;
  int64_t start_us = 0;
  int64_t last_vpts = INT64_MIN;
  int64_t audio_pts = 0;
  bool s16_audio = false;

  ~Conversion() {
    ff::sws_freeContext(sws);
    ff::swr_free(&swr);
    if (fifo) ff::av_audio_fifo_free(fifo);
    ff::av_packet_free(&pkt);
    ff::av_packet_free(&opkt);
    ff::av_frame_free(&frame);
    ff::av_frame_free(&conv);
    ff::av_frame_free(&aframe);
    ff::avcodec_free_context(&vdec);
    ff::avcodec_free_context(&adec);
    ff::avcodec_free_context(&venc);
    ff::avcodec_free_context(&aenc);
    ff::avformat_close_input(&ic);
    if (oc) {
      if (oc->pb) ff::avio_closep(&oc->pb);
      ff::avformat_free_context(oc);
    }
  }

  AVCodecContext* open_decoder(AVStream* st) {
    AVCodecContext* dec = ff::avcodec_alloc_context3(nullptr);
    if (!dec) throw std::runtime_error("out of memory");
    check(ff::avcodec_parameters_to_context(dec, st->codecpar), "decoder parameters");
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 1;
    const AVCodec* codec = ff::avcodec_find_decoder(dec->codec_id);
    if (!codec) throw std::runtime_error("no decoder");
    check(ff::avcodec_open2(dec, codec, nullptr), "opening the decoder");
    return dec;
  }

  // A context configured like the engine's: video encoders start from their
  // own defaults, audio encoders from the generic ones; one thread, global
  // headers where the muxer wants them.
  AVCodecContext* new_encoder(const std::string& name, AVMediaType type, const AVCodec*& codec) {
    codec = ff::avcodec_find_encoder_by_name(name.c_str());
    if (!codec || codec->type != type) throw std::runtime_error("no encoder " + name);
    AVCodecContext* enc = ff::avcodec_alloc_context3(type == AVMEDIA_TYPE_VIDEO ? codec : nullptr);
    if (!enc) throw std::runtime_error("out of memory");
    enc->codec_type = type;
    enc->codec_id = codec->id;
    enc->thread_count = 1;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return enc;
  }

  void open_encoder(AVCodecContext* enc, const AVCodec* codec, AVStream* st) {
    check(ff::avcodec_open2(enc, codec, nullptr), "opening the encoder");
    check(ff::avcodec_parameters_from_context(st->codecpar, enc), "encoder parameters");
    st->time_base = enc->time_base;
  }

  void encode(AVCodecContext* enc, AVStream* st, AVFrame* f) {
    int ret = ff::avcodec_send_frame(enc, f);
    if (ret < 0 && ret != AVERROR_EOF) fail("encoding", ret);
    for (;;) {
      ret = ff::avcodec_receive_packet(enc, opkt);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      check(ret, "encoding");
      if (opkt->duration <= 0 && enc->codec_type == AVMEDIA_TYPE_VIDEO) opkt->duration = 1;
      ff::av_packet_rescale_ts(opkt, enc->time_base, st->time_base);
      opkt->stream_index = st->index;
      check(ff::av_interleaved_write_frame(oc, opkt), "writing");
    }
  }

  void video_frame(AVFrame* f) {
    const int64_t ts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    int64_t pts = last_vpts + 1;
    if (ts != AV_NOPTS_VALUE) {
      const double s = static_cast<double>(ff::av_rescale_q(ts, vin->time_base, AV_TIME_BASE_Q) - start_us) / 1e6;
      pts = std::llrint(s / av_q2d(venc->time_base));
    }
    if (pts <= last_vpts) pts = last_vpts + 1;
    last_vpts = pts;
    if (sws) {
      AVFrame* s = ff::av_frame_alloc();
      if (!s) throw std::runtime_error("out of memory");
      s->format = venc->pix_fmt;
      s->width = venc->width;
      s->height = venc->height;
      if (ff::av_frame_get_buffer(s, 0) < 0) {
        ff::av_frame_free(&s);
        throw std::runtime_error("out of memory");
      }
      ff::sws_scale(sws, f->data, f->linesize, 0, f->height, s->data, s->linesize);
      s->pts = pts;
      try {
        encode(venc, vout, s);
      } catch (...) {
        ff::av_frame_free(&s);
        throw;
      }
      ff::av_frame_free(&s);
    } else {
      f->pts = pts;
      f->pict_type = AV_PICTURE_TYPE_NONE;
      f->quality = 0;
      encode(venc, vout, f);
    }
  }

  // Encodes whole frames from the FIFO; at the end also the rest.
  void drain_fifo(bool final) {
    const int fs = aenc->frame_size;
    for (;;) {
      const int have = ff::av_audio_fifo_size(fifo);
      if (have <= 0 || (fs > 0 && have < fs && !final)) return;
      const int n = fs > 0 ? std::min(have, fs) : have;
      const int room = fs > 0 ? fs : n;
      if (!aframe->buf[0] || aframe->nb_samples < room) {
        ff::av_frame_unref(aframe);
        aframe->format = aenc->sample_fmt;
        aframe->sample_rate = aenc->sample_rate;
        check(ff::av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout), "audio frame");
        aframe->nb_samples = room;
        check(ff::av_frame_get_buffer(aframe, 0), "audio frame");
      } else {
        aframe->nb_samples = room;
        check(ff::av_frame_make_writable(aframe), "audio frame");
      }
      check(ff::av_audio_fifo_read(fifo, reinterpret_cast<void**>(aframe->extended_data), n), "audio FIFO");
      aframe->nb_samples = n;
      const bool short_ok =
          aenc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
      if (fs > 0 && n < fs && !short_ok) {
        // Zero is silence for the signed and float formats these encoders take.
        const int bps = ff::av_get_bytes_per_sample(aenc->sample_fmt);
        const bool planar = ff::av_sample_fmt_is_planar(aenc->sample_fmt);
        const int ch = aenc->ch_layout.nb_channels;
        for (int p = 0; p < (planar ? ch : 1); p++)
          std::memset(aframe->extended_data[p] + static_cast<size_t>(n) * bps * (planar ? 1 : ch), 0,
                      static_cast<size_t>(fs - n) * bps * (planar ? 1 : ch));
        aframe->nb_samples = fs;
      }
      aframe->pts = audio_pts;
      audio_pts += aframe->nb_samples;
      encode(aenc, aout, aframe);
    }
  }

  void resample(AVFrame* f) {
    if (!swr) {
      check(ff::swr_alloc_set_opts2(&swr, &aenc->ch_layout, aenc->sample_fmt, aenc->sample_rate, &f->ch_layout,
                                    static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr),
            "resampler");
      check(ff::swr_init(swr), "resampler");
    }
    if (s16_audio) cut_to_s16(f->extended_data, static_cast<AVSampleFormat>(f->format), f->ch_layout.nb_channels,
                              f->nb_samples);
    const int in_rate = adec->sample_rate > 0 ? adec->sample_rate : f->sample_rate;
    const int cap = static_cast<int>(ff::av_rescale_rnd(ff::swr_get_delay(swr, in_rate) + f->nb_samples,
                                                        aenc->sample_rate, in_rate, AV_ROUND_UP));
    if (cap <= 0) return;
    if (cap > conv_capacity) {
      ff::av_frame_unref(conv);
      conv->format = aenc->sample_fmt;
      conv->sample_rate = aenc->sample_rate;
      check(ff::av_channel_layout_copy(&conv->ch_layout, &aenc->ch_layout), "audio frame");
      conv->nb_samples = cap;
      check(ff::av_frame_get_buffer(conv, 0), "audio frame");
      conv_capacity = cap;
    }
    const int n = check(ff::swr_convert(swr, conv->extended_data, cap, const_cast<const uint8_t**>(f->extended_data),
                                        f->nb_samples),
                        "resampling");
    if (s16_audio && n > 0) cut_to_s16(conv->extended_data, aenc->sample_fmt, aenc->ch_layout.nb_channels, n);
    if (n > 0) check(ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(conv->extended_data), n), "audio FIFO");
  }

  void flush_resampler() {
    if (!swr) return;
    for (;;) {
      const int n = check(ff::swr_convert(swr, conv->extended_data, conv_capacity, nullptr, 0), "resampling");
      if (n <= 0) break;
      if (s16_audio) cut_to_s16(conv->extended_data, aenc->sample_fmt, aenc->ch_layout.nb_channels, n);
      check(ff::av_audio_fifo_write(fifo, reinterpret_cast<void**>(conv->extended_data), n), "audio FIFO");
    }
  }

  // Feeds one packet (nullptr = end of stream) to a decoder and passes its frames on.
  void decode(AVCodecContext* dec, const AVPacket* p) {
    int ret = ff::avcodec_send_packet(dec, p);
    if (ret < 0 && ret != AVERROR_EOF) return;  // a damaged packet is skipped
    for (;;) {
      ret = ff::avcodec_receive_frame(dec, frame);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      if (ret < 0) return;
      if (dec == vdec) {
        video_frame(frame);
      } else {
        resample(frame);
        drain_fifo(false);
      }
      ff::av_frame_unref(frame);
    }
  }
};

}  // namespace

void run_baseline(const std::string& input, const std::string& output, const Target& t, Snapshot* settings,
                  bool s16_audio) {
  Conversion c;
  c.s16_audio = s16_audio;
  check(ff::avformat_open_input(&c.ic, input.c_str(), nullptr, nullptr), "opening the input");
  check(ff::avformat_find_stream_info(c.ic, nullptr), "reading stream information");
  for (unsigned i = 0; i < c.ic->nb_streams; i++) {
    AVStream* st = c.ic->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !c.vin) c.vin = st;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !c.ain) c.ain = st;
  }
  if (!c.vin || !c.ain) throw std::runtime_error("the input needs a video and an audio stream");
  c.start_us = c.ic->start_time != AV_NOPTS_VALUE ? c.ic->start_time : 0;
  c.vdec = c.open_decoder(c.vin);
  c.adec = c.open_decoder(c.ain);

  check(ff::avformat_alloc_output_context2(&c.oc, nullptr, nullptr, output.c_str()), "creating the output");

  // Video encoder.
  const AVCodec* vcodec = nullptr;
  AVCodecContext* venc = c.venc = c.new_encoder(t.video_codec, AVMEDIA_TYPE_VIDEO, vcodec);
  venc->bit_rate = t.video_bit_rate;
  venc->width = t.width ? t.width : c.vdec->width;
  venc->height = t.height ? t.height : c.vdec->height;
  venc->time_base = encoder_time_base(vcodec, c.vin->r_frame_rate);
  AVRational in_sar = c.vin->sample_aspect_ratio.num > 0 ? c.vin->sample_aspect_ratio : c.vin->codecpar->sample_aspect_ratio;
  if (in_sar.num <= 0 || in_sar.den <= 0) in_sar = AVRational{1, 1};
  const float display_aspect =
      static_cast<float>(c.vdec->width * (static_cast<double>(in_sar.num) / in_sar.den) / c.vdec->height);
  venc->sample_aspect_ratio = sample_aspect(display_aspect, venc->width, venc->height);
  venc->pix_fmt = c.vdec->pix_fmt;
  if (vcodec->pix_fmts) {
    bool listed = false;
    for (const AVPixelFormat* p = vcodec->pix_fmts; *p != AV_PIX_FMT_NONE; p++) listed |= *p == venc->pix_fmt;
    if (!listed) venc->pix_fmt = vcodec->pix_fmts[0];
  }
  c.vout = ff::avformat_new_stream(c.oc, nullptr);
  if (!c.vout) throw std::runtime_error("out of memory");
  c.vout->id = c.vout->index;
  c.vout->sample_aspect_ratio = venc->sample_aspect_ratio;

  // Audio encoder.
  const AVCodec* acodec = nullptr;
  AVCodecContext* aenc = c.aenc = c.new_encoder(t.audio_codec, AVMEDIA_TYPE_AUDIO, acodec);
  aenc->bit_rate = t.audio_bit_rate;
  ff::av_channel_layout_uninit(&aenc->ch_layout);
  ff::av_channel_layout_default(&aenc->ch_layout, t.channels ? t.channels : c.adec->ch_layout.nb_channels);
  aenc->sample_fmt = acodec->sample_fmts ? acodec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  aenc->sample_rate = t.sample_rate ? t.sample_rate : c.adec->sample_rate;
  aenc->time_base = AVRational{1, aenc->sample_rate};
  c.aout = ff::avformat_new_stream(c.oc, nullptr);
  if (!c.aout) throw std::runtime_error("out of memory");
  c.aout->id = c.aout->index;

  c.open_encoder(venc, vcodec, c.vout);
  c.open_encoder(aenc, acodec, c.aout);

  if (venc->width != c.vdec->width || venc->height != c.vdec->height || venc->pix_fmt != c.vdec->pix_fmt) {
    c.sws = ff::sws_getContext(c.vdec->width, c.vdec->height, c.vdec->pix_fmt, venc->width, venc->height,
                               venc->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!c.sws) throw std::runtime_error("no scaler");
  }
  c.fifo = ff::av_audio_fifo_alloc(aenc->sample_fmt, aenc->ch_layout.nb_channels, aenc->frame_size > 0 ? aenc->frame_size : 1024);
  c.pkt = ff::av_packet_alloc();
  c.opkt = ff::av_packet_alloc();
  c.frame = ff::av_frame_alloc();
  c.conv = ff::av_frame_alloc();
  c.aframe = ff::av_frame_alloc();
  if (!c.fifo || !c.pkt || !c.opkt || !c.frame || !c.conv || !c.aframe) throw std::runtime_error("out of memory");

  // Muxer settings as the engine gives them: interleaving delay and MPEG preload.
  AVDictionary* mux_opts = nullptr;
  c.oc->max_delay = static_cast<int>(0.7f * 1000000.0);
  if (c.oc->oformat->priv_class &&
      ff::av_opt_find((void*)&c.oc->oformat->priv_class, "preload", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
    ff::av_dict_set(&mux_opts, "preload", std::to_string(static_cast<int64_t>(0.5f * 1000000.0)).c_str(), 0);
  int ret = ff::avio_open(&c.oc->pb, output.c_str(), AVIO_FLAG_WRITE);
  if (ret >= 0) ret = ff::avformat_write_header(c.oc, &mux_opts);
  ff::av_dict_free(&mux_opts);
  check(ret, "writing the header");

  if (settings) {
    snapshot_codec(c.venc, "venc.", *settings);
    snapshot_codec(c.aenc, "aenc.", *settings);
    snapshot_codec(c.vdec, "vdec.", *settings);
    snapshot_codec(c.adec, "adec.", *settings);
    snapshot_options(c.oc, "mux.", *settings);
    snapshot_options(c.oc->priv_data, "mux.priv.", *settings);
  }

  while (ff::av_read_frame(c.ic, c.pkt) >= 0) {
    if (c.pkt->stream_index == c.vin->index)
      c.decode(c.vdec, c.pkt);
    else if (c.pkt->stream_index == c.ain->index)
      c.decode(c.adec, c.pkt);
    ff::av_packet_unref(c.pkt);
  }
  c.decode(c.vdec, nullptr);
  c.encode(c.venc, c.vout, nullptr);
  c.decode(c.adec, nullptr);
  c.flush_resampler();
  c.drain_fifo(true);
  c.encode(c.aenc, c.aout, nullptr);
  check(ff::av_write_trailer(c.oc), "writing the trailer");
  check(ff::avio_closep(&c.oc->pb), "closing the output");
}

}  // namespace bench
