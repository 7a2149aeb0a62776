// Audio output path: drift correction against the input clock, channel and
// rate conversion, framing to the encoder's frame size and encoding.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace {

// Largest block the silence insertion produces, in bytes.
constexpr int kMaxSilenceBlock = 131072;
// Extra output room for one resampler call beyond the rate ratio (drift compensation).
constexpr int kCompensationRoom = 256;
// Highest input rate resampled: a damaged header can claim any rate, and far
// above this the resampler's filter takes seconds and gigabytes to build.
constexpr int kMaxResampleInputRate = 768000;

inline int16_t sample_at(const uint8_t* s16, size_t i) {
  int16_t v;
  memcpy(&v, s16 + 2 * i, 2);
  return v;
}

// Interleaved s16 -> one frame of `fmt`; `store` writes one converted sample.
template <typename T, typename Convert>
void convert_samples(AVFrame* f, const uint8_t* s16, int nb, int ch, bool planar, Convert convert) {
  if (planar) {
    for (int c = 0; c < ch; ++c) {
      T* out = reinterpret_cast<T*>(f->extended_data[c]);
      for (int n = 0; n < nb; ++n) out[n] = convert(sample_at(s16, static_cast<size_t>(n) * ch + c));
    }
  } else {
    T* out = reinterpret_cast<T*>(f->data[0]);
    const size_t total = static_cast<size_t>(nb) * ch;
    for (size_t i = 0; i < total; ++i) out[i] = convert(sample_at(s16, i));
  }
}

// A resampler between channel counts (default layouts on both sides), sample
// formats and rates; throws when it cannot be made.
SwrContext* make_resampler(int in_ch, AVSampleFormat in_fmt, int in_rate, int out_ch, AVSampleFormat out_fmt,
                           int out_rate) {
  AVChannelLayout out_layout{}, in_layout{};
  ff::av_channel_layout_default(&out_layout, out_ch);
  ff::av_channel_layout_default(&in_layout, in_ch);
  SwrContext* swr = nullptr;
  int ret = in_rate > kMaxResampleInputRate ? AVERROR(EINVAL)
                                            : ff::swr_alloc_set_opts2(&swr, &out_layout, out_fmt, out_rate,
                                                                      &in_layout, in_fmt, in_rate, 0, nullptr);
  if (ret >= 0) ret = ff::swr_init(swr);
  ff::av_channel_layout_uninit(&out_layout);
  ff::av_channel_layout_uninit(&in_layout);
  if (ret < 0) {
    ff::swr_free(&swr);
    throw FFMpegException(format_text("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", in_ch, in_rate,
                                      out_ch, out_rate));
  }
  return swr;
}

}  // namespace

// Encodes one frame in the encoder's format at the stream's sample clock.
static int send_audio_frame(TCustomFFmpeg& e, AVFormatContext* os, OutputStream* ost, AVFrame* f) {
  AVCodecContext* enc = ost->enc;
  // sync_opts counts samples at the encoder's rate.
  f->pts = ff::av_rescale_q(ost->sync_opts, AVRational{1, enc->sample_rate}, enc->time_base);
  const int written = e.encode_and_write(os, ost, f);
  if (written < 0) throw FFMpegException("Audio encoding failed");
  e.audio_size += written;
  ost->sync_opts += f->nb_samples;
  return written;
}

void TCustomFFmpeg::do_audio_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, const uint8_t* buf,
                                 int size) {
  AVCodecContext* enc = ost->enc;
  AVCodecContext* dec = ist->dec;
  const int enc_ch = enc->ch_layout.nb_channels, dec_ch = dec->ch_layout.nb_channels;
  const int enc_rate = enc->sample_rate, dec_rate = dec->sample_rate;
  if (enc_ch <= 0 || dec_ch <= 0 || enc_rate <= 0 || dec_rate <= 0 || size <= 0) return;

  if (enc_ch != dec_ch || enc_rate != dec_rate) ost->audio_resample = true;
  if (ost->audio_resample && !ost->resample) {
    ost->resample = make_resampler(dec_ch, AV_SAMPLE_FMT_S16, dec_rate, enc_ch, AV_SAMPLE_FMT_S16, enc_rate);
  }

  const int enc_frame_bytes = enc_ch * 2;
  const int dec_frame_bytes = dec_ch * 2;
  const InputStream* sync = ost->sync_ist ? ost->sync_ist : ist;
  const double ipts = static_cast<double>(sync->pts - start_time) / 1000000.0;
  const int64_t fifo_bytes = ost->fifo ? static_cast<int64_t>(ff::av_fifo_can_read(ost->fifo)) : 0;

  if (audio_sync_method) {
    // Samples the output is behind (positive) or ahead (negative) of the input clock.
    const double delta = ipts * enc_rate - static_cast<double>(ost->sync_opts) -
                         static_cast<double>(fifo_bytes) / enc_frame_bytes;
    const double idelta = delta * dec_rate / enc_rate;
    // Clamped: a wild timestamp must not overflow the byte count.
    const double bytes = std::trunc(idelta) * dec_frame_bytes;
    int64_t byte_delta = static_cast<int64_t>(std::clamp(bytes, -2147483648.0, 2147483647.0));

    if (std::fabs(delta) > 50) {
      if (ist->is_start || std::fabs(delta) > audio_drift_threshold * enc_rate) {
        if (byte_delta < 0) {
          byte_delta = std::max<int64_t>(byte_delta, -size);
          buf += -byte_delta;
          size += static_cast<int>(byte_delta);
          if (verbose > 2)
            log(1, format_text("discarding %lld audio samples", static_cast<long long>(std::clamp(
                                                                    -delta, -9.2e18, 9.2e18))));
          if (size <= 0) return;
          ist->is_start = false;
        } else {
          if (byte_delta + size <= kMaxSilenceBlock)
            ist->is_start = false;
          else
            byte_delta = std::max(kMaxSilenceBlock - size, 0);
          const size_t total = static_cast<size_t>(byte_delta) + static_cast<size_t>(size);
          if (silence_buf.size() < total) silence_buf.resize(total);
          memset(silence_buf.data(), 0, static_cast<size_t>(byte_delta));
          memcpy(silence_buf.data() + byte_delta, buf, static_cast<size_t>(size));
          buf = silence_buf.data();
          size += static_cast<int>(byte_delta);
          if (verbose > 2)
            log(1, format_text("adding %lld audio samples of silence",
                               static_cast<long long>(std::clamp(delta, -9.2e18, 9.2e18))));
        }
      } else if (audio_sync_method > 1) {
        const int comp = static_cast<int>(
            std::clamp(std::trunc(delta), -static_cast<double>(audio_sync_method), static_cast<double>(audio_sync_method)));
        if (verbose > 2)
          log(1, format_text("compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, enc_rate));
        if (ost->resample) ff::swr_set_compensation(ost->resample, comp, enc_rate);
      }
    }
  } else {
    ost->sync_opts = std::llrint(ipts * enc_rate) - fifo_bytes / enc_frame_bytes;
  }

  // Room for the resampler's output and for one encoder frame; grows, never shrinks.
  const int frame_samples = enc->frame_size > 1 ? enc->frame_size : 0;
  size_t room = static_cast<size_t>(frame_samples) * enc_frame_bytes;
  int64_t out_capacity = 0;
  if (ost->audio_resample) {
    const int64_t in_samples = size / dec_frame_bytes;
    out_capacity = ff::av_rescale_rnd(ff::swr_get_delay(ost->resample, dec_rate) + in_samples, enc_rate, dec_rate,
                                      AV_ROUND_UP) +
                   kCompensationRoom;
    room = std::max(room, static_cast<size_t>(out_capacity) * enc_frame_bytes);
  }
  if (resample_buf.size() < room) resample_buf.resize(room);

  const uint8_t* data = buf;
  int64_t size_out = size;
  if (ost->audio_resample) {
    uint8_t* out = resample_buf.data();
    const uint8_t* in = buf;
    const int n = ff::swr_convert(ost->resample, &out, static_cast<int>(out_capacity), &in, size / dec_frame_bytes);
    if (n < 0) return;
    data = resample_buf.data();
    size_out = static_cast<int64_t>(n) * enc_frame_bytes;
  }

  if (frame_samples) {
    if (!ost->fifo) {
      ost->fifo = ff::av_fifo_alloc2(1024, 1, AV_FIFO_FLAG_AUTO_GROW);
      if (!ost->fifo) return;
    }
    if (size_out > 0) {
      int ret = ff::av_fifo_write(ost->fifo, data, static_cast<size_t>(size_out));
      if (ret < 0) {  // beyond the automatic growth limit
        ret = ff::av_fifo_grow2(ost->fifo, static_cast<size_t>(size_out));
        if (ret >= 0) ret = ff::av_fifo_write(ost->fifo, data, static_cast<size_t>(size_out));
      }
      if (ret < 0) return;
    }
    const size_t frame_bytes = static_cast<size_t>(frame_samples) * enc_frame_bytes;
    while (ff::av_fifo_can_read(ost->fifo) >= frame_bytes) {
      ff::av_fifo_read(ost->fifo, resample_buf.data(), frame_bytes);
      encode_audio_samples(os, ost, resample_buf.data(), frame_samples);
    }
  } else {
    // Encoders without a frame size (PCM) take the whole block.
    const int nb = static_cast<int>(size_out / enc_frame_bytes);
    if (nb > 0) encode_audio_samples(os, ost, data, nb);
  }
}

// End of stream on the 16-bit path: what the resampler still holds goes to the
// FIFO (or straight to a frame-size-less encoder).
void TCustomFFmpeg::flush_audio_resampler(AVFormatContext* os, OutputStream* ost) {
  AVCodecContext* enc = ost->enc;
  const int enc_ch = enc->ch_layout.nb_channels;
  if (!ost->resample || enc_ch <= 0) return;
  const int64_t capacity = ff::swr_get_delay(ost->resample, enc->sample_rate) + kCompensationRoom;
  const size_t room = static_cast<size_t>(capacity) * enc_ch * 2;
  if (resample_buf.size() < room) resample_buf.resize(room);
  uint8_t* out = resample_buf.data();
  const int n = ff::swr_convert(ost->resample, &out, static_cast<int>(capacity), nullptr, 0);
  if (n <= 0) return;
  if (enc->frame_size > 1) {
    if (ost->fifo) ff::av_fifo_write(ost->fifo, resample_buf.data(), static_cast<size_t>(n) * enc_ch * 2);
  } else {
    encode_audio_samples(os, ost, resample_buf.data(), n);
  }
}

int TCustomFFmpeg::encode_audio_samples(AVFormatContext* os, OutputStream* ost, const uint8_t* s16, int nb_samples) {
  AVCodecContext* enc = ost->enc;
  if (nb_samples <= 0) return 0;
  const int ch = enc->ch_layout.nb_channels;
  const AVSampleFormat fmt = enc->sample_fmt;
  const bool planar = ff::av_sample_fmt_is_planar(fmt);
  const int bps = ff::av_get_bytes_per_sample(fmt);
  if (ch <= 0 || bps <= 0) throw FFMpegException("Audio encoding failed");

  if (!ost->audio_frame) {
    ost->audio_frame = ff::av_frame_alloc();
    if (!ost->audio_frame) throw FFMpegException("Audio encoding failed");
  }
  AVFrame* f = ost->audio_frame;
  const size_t need = static_cast<size_t>(nb_samples) * bps * (planar ? 1 : ch);
  const bool fits = f->buf[0] && f->format == fmt && f->sample_rate == enc->sample_rate &&
                    ff::av_channel_layout_compare(&f->ch_layout, &enc->ch_layout) == 0 && f->buf[0]->size >= need;
  int ret;
  if (fits) {
    // The encoder may still hold the last frame: then this gives a fresh buffer.
    f->nb_samples = nb_samples;
    ret = ff::av_frame_make_writable(f);
  } else {
    ff::av_frame_unref(f);
    f->format = fmt;
    f->sample_rate = enc->sample_rate;
    f->nb_samples = nb_samples;
    ret = ff::av_channel_layout_copy(&f->ch_layout, &enc->ch_layout);
    if (ret >= 0) ret = ff::av_frame_get_buffer(f, 0);
  }
  if (ret < 0) throw FFMpegException("Audio encoding failed");

  switch (fmt) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P:
      convert_samples<uint8_t>(f, s16, nb_samples, ch, planar, [](int16_t s) { return uint8_t((s >> 8) + 128); });
      break;
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
      convert_samples<int16_t>(f, s16, nb_samples, ch, planar, [](int16_t s) { return s; });
      break;
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P:
      convert_samples<int32_t>(f, s16, nb_samples, ch, planar,
                               [](int16_t s) { return static_cast<int32_t>(static_cast<uint32_t>(s) << 16); });
      break;
    case AV_SAMPLE_FMT_S64:
    case AV_SAMPLE_FMT_S64P:
      convert_samples<int64_t>(f, s16, nb_samples, ch, planar,
                               [](int16_t s) { return static_cast<int64_t>(static_cast<uint64_t>(s) << 48); });
      break;
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP:
      convert_samples<float>(f, s16, nb_samples, ch, planar, [](int16_t s) { return s * (1.0f / 32768.0f); });
      break;
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP:
      convert_samples<double>(f, s16, nb_samples, ch, planar, [](int16_t s) { return s * (1.0 / 32768.0); });
      break;
    default:
      throw FFMpegException("Audio encoding failed");
  }

  return send_audio_frame(*this, os, ost, f);
}

// Audio that needs no 16-bit stage: one conversion from the decoder's format to
// the encoder's, so the encoder sees the decoder's full precision.
void TCustomFFmpeg::do_audio_out_direct(AVFormatContext* os, OutputStream* ost, InputStream* ist,
                                        const AVFrame* frame) {
  AVCodecContext* enc = ost->enc;
  const int enc_ch = enc->ch_layout.nb_channels, in_ch = frame->ch_layout.nb_channels;
  const int enc_rate = enc->sample_rate, in_rate = frame->sample_rate;
  if (enc_ch <= 0 || in_ch <= 0 || enc_rate <= 0 || in_rate <= 0 || frame->nb_samples <= 0) return;

  if (!ost->direct || ost->direct_format != frame->format || ost->direct_rate != in_rate ||
      ost->direct_channels != in_ch) {
    // Pending samples of the previous input format go out first.
    if (ost->direct) flush_direct_resampler(ost);
    ff::swr_free(&ost->direct);
    ost->direct = make_resampler(in_ch, static_cast<AVSampleFormat>(frame->format), in_rate, enc_ch,
                                 enc->sample_fmt, enc_rate);
    ost->direct_format = frame->format;
    ost->direct_rate = in_rate;
    ost->direct_channels = in_ch;
  }
  if (!ost->direct_fifo) {
    ost->direct_fifo = ff::av_audio_fifo_alloc(enc->sample_fmt, enc_ch, std::max(enc->frame_size, 1024));
    if (!ost->direct_fifo) throw FFMpegException("av_fifo_init fail");
  }

  const InputStream* sync = ost->sync_ist ? ost->sync_ist : ist;
  const double ipts = static_cast<double>(sync->pts - start_time) / 1000000.0;
  ost->sync_opts = std::llrint(ipts * enc_rate) - ff::av_audio_fifo_size(ost->direct_fifo);

  const int capacity = static_cast<int>(ff::av_rescale_rnd(ff::swr_get_delay(ost->direct, in_rate) + frame->nb_samples,
                                                           enc_rate, in_rate, AV_ROUND_UP));
  if (!reserve_direct_buf(ost, capacity)) throw FFMpegException("Audio encoding failed");
  const int n = ff::swr_convert(ost->direct, ost->direct_buf->extended_data, capacity,
                                const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (n < 0) return;
  if (n > 0 && ff::av_audio_fifo_write(ost->direct_fifo, reinterpret_cast<void**>(ost->direct_buf->extended_data), n) < n)
    throw FFMpegException("Audio encoding failed");

  if (enc->frame_size > 1) {
    while (ff::av_audio_fifo_size(ost->direct_fifo) >= enc->frame_size) encode_direct_frame(os, ost, enc->frame_size);
  } else {
    // Encoders without a frame size (PCM) take the whole block.
    const int nb = ff::av_audio_fifo_size(ost->direct_fifo);
    if (nb > 0) encode_direct_frame(os, ost, nb);
  }
}

// End of stream on the direct path: the resampler's delay, then the tail that
// does not fill a frame (a short last frame where the encoder takes one, else
// padded with silence).
void TCustomFFmpeg::flush_audio_direct(AVFormatContext* os, OutputStream* ost) {
  AVCodecContext* enc = ost->enc;
  if (!ost->direct_fifo) return;
  if (ost->direct) flush_direct_resampler(ost);
  const int frame = enc->frame_size > 1 ? enc->frame_size : 0;
  while (frame && ff::av_audio_fifo_size(ost->direct_fifo) >= frame) encode_direct_frame(os, ost, frame);
  const int left = ff::av_audio_fifo_size(ost->direct_fifo);
  if (left <= 0) return;
  const bool short_ok =
      !frame || (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  encode_direct_frame(os, ost, left, short_ok ? left : frame);
}

// Drains the direct resampler's delay into the FIFO.
void TCustomFFmpeg::flush_direct_resampler(OutputStream* ost) {
  AVCodecContext* enc = ost->enc;
  const int capacity = static_cast<int>(
      ff::av_rescale_rnd(ff::swr_get_delay(ost->direct, ost->direct_rate), enc->sample_rate, ost->direct_rate,
                         AV_ROUND_UP)) + 32;
  if (!reserve_direct_buf(ost, capacity)) return;
  const int n = ff::swr_convert(ost->direct, ost->direct_buf->extended_data, capacity, nullptr, 0);
  if (n > 0) ff::av_audio_fifo_write(ost->direct_fifo, reinterpret_cast<void**>(ost->direct_buf->extended_data), n);
}

bool TCustomFFmpeg::reserve_direct_buf(OutputStream* ost, int samples) {
  AVCodecContext* enc = ost->enc;
  AVFrame*& b = ost->direct_buf;
  if (b && b->nb_samples >= samples) return true;
  ff::av_frame_free(&b);
  b = ff::av_frame_alloc();
  if (!b) return false;
  b->format = enc->sample_fmt;
  b->sample_rate = enc->sample_rate;
  b->nb_samples = std::max(samples, 4096);
  if (ff::av_channel_layout_copy(&b->ch_layout, &enc->ch_layout) < 0 || ff::av_frame_get_buffer(b, 0) < 0) {
    ff::av_frame_free(&b);
    return false;
  }
  return true;
}

// Takes `nb` samples from the direct FIFO into one encoder frame of `total`
// samples (the rest silence) and encodes it.
void TCustomFFmpeg::encode_direct_frame(AVFormatContext* os, OutputStream* ost, int nb, int total) {
  AVCodecContext* enc = ost->enc;
  if (total < nb) total = nb;
  if (!ost->audio_frame) {
    ost->audio_frame = ff::av_frame_alloc();
    if (!ost->audio_frame) throw FFMpegException("Audio encoding failed");
  }
  AVFrame* f = ost->audio_frame;
  int ret;
  if (f->buf[0] && f->format == enc->sample_fmt && f->nb_samples == total) {
    ret = ff::av_frame_make_writable(f);  // the encoder may still hold the last one
  } else {
    ff::av_frame_unref(f);
    f->format = enc->sample_fmt;
    f->sample_rate = enc->sample_rate;
    f->nb_samples = total;
    ret = ff::av_channel_layout_copy(&f->ch_layout, &enc->ch_layout);
    if (ret >= 0) ret = ff::av_frame_get_buffer(f, 0);
  }
  if (ret < 0 || ff::av_audio_fifo_read(ost->direct_fifo, reinterpret_cast<void**>(f->extended_data), nb) < nb)
    throw FFMpegException("Audio encoding failed");
  if (total > nb)
    ff::av_samples_set_silence(f->extended_data, nb, total - nb, enc->ch_layout.nb_channels, enc->sample_fmt);
  send_audio_frame(*this, os, ost, f);
}
