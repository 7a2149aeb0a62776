// Audio output path: drift correction against the input clock, channel and
// rate conversion, framing to the encoder's frame size and encoding.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace {

// Largest block the silence insertion produces, in bytes.
constexpr int kMaxSilenceBlock = 131072;
// Extra output room for one resampler call beyond the rate ratio (drift compensation).
constexpr int kCompensationRoom = 256;

std::string format_text(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

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

}  // namespace

void TCustomFFmpeg::do_audio_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, const uint8_t* buf,
                                 int size) {
  AVCodecContext* enc = ost->enc;
  AVCodecContext* dec = ist->dec;
  const int enc_ch = enc->ch_layout.nb_channels, dec_ch = dec->ch_layout.nb_channels;
  const int enc_rate = enc->sample_rate, dec_rate = dec->sample_rate;
  if (enc_ch <= 0 || dec_ch <= 0 || enc_rate <= 0 || dec_rate <= 0 || size <= 0) return;

  if (enc_ch != dec_ch || enc_rate != dec_rate) ost->audio_resample = true;
  if (ost->audio_resample && !ost->resample) {
    AVChannelLayout out_layout{}, in_layout{};
    ff::av_channel_layout_default(&out_layout, enc_ch);
    ff::av_channel_layout_default(&in_layout, dec_ch);
    SwrContext* swr = nullptr;
    int ret = ff::swr_alloc_set_opts2(&swr, &out_layout, AV_SAMPLE_FMT_S16, enc_rate, &in_layout, AV_SAMPLE_FMT_S16,
                                      dec_rate, 0, nullptr);
    if (ret >= 0) ret = ff::swr_init(swr);
    ff::av_channel_layout_uninit(&out_layout);
    ff::av_channel_layout_uninit(&in_layout);
    if (ret < 0) {
      ff::swr_free(&swr);
      throw FFMpegException(format_text("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", dec_ch,
                                        dec_rate, enc_ch, enc_rate));
    }
    ost->resample = swr;
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

  // sync_opts counts samples at the encoder's rate.
  f->pts = ff::av_rescale_q(ost->sync_opts, AVRational{1, enc->sample_rate}, enc->time_base);
  const int written = encode_and_write(os, ost, f);
  if (written < 0) throw FFMpegException("Audio encoding failed");
  audio_size += written;
  ost->sync_opts += nb_samples;
  return written;
}
