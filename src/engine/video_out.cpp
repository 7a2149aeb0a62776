// Video output path: deinterlace and hooks on the decoded picture, then per
// output stream frame-rate sync, crop, scale, pad and encode.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "binding/hook_api.h"
#include "engine/engine.h"

namespace {

// Plane pointers and line sizes of a picture that lives in someone else's buffer.
struct PictureView {
  uint8_t* data[4] = {};
  int linesize[4] = {};
};

PictureView view_of(const AVFrame* f) {
  PictureView v;
  for (int i = 0; i < 4; ++i) {
    v.data[i] = f->data[i];
    v.linesize[i] = f->linesize[i];
  }
  return v;
}

bool is_chroma_plane(const AVPixFmtDescriptor* d, int plane) {
  return (plane == 1 || plane == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

// Largest pixel step in bytes of each plane.
void plane_steps(const AVPixFmtDescriptor* d, int steps[4]) {
  for (int i = 0; i < 4; ++i) steps[i] = 0;
  for (int c = 0; c < d->nb_components; ++c) steps[d->comp[c].plane] = std::max(steps[d->comp[c].plane], d->comp[c].step);
}

// Moves the plane pointers to (left, top); no copy. Negative when the format
// cannot be cut there.
int crop_view(PictureView& v, AVPixelFormat fmt, int top, int left) {
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(fmt);
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL))) return -1;
  // A packed subsampled format (yuyv) can only be cut on whole chroma pairs.
  if (!(d->flags & AV_PIX_FMT_FLAG_PLANAR) && (left & ((1 << d->log2_chroma_w) - 1))) return -1;
  int steps[4];
  plane_steps(d, steps);
  for (int p = 0; p < 4; ++p) {
    if (!v.data[p]) continue;
    const bool chroma = is_chroma_plane(d, p);
    const int sy = chroma ? top >> d->log2_chroma_h : top;
    const int sx = chroma ? left >> d->log2_chroma_w : left;
    v.data[p] += static_cast<ptrdiff_t>(sy) * v.linesize[p] + static_cast<ptrdiff_t>(sx) * steps[p];
  }
  return 0;
}

// Paints the border of a w x h picture with the pad colour (Y, U, V) and, when
// src is given, copies it into the inner area. 8-bit planar YUV and gray only.
int pad_picture(const PictureView& dst, const PictureView* src, int h, int w, AVPixelFormat fmt, int top,
                int bottom, int left, int right, const int color[3]) {
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(fmt);
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                         AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BE)))
    return -1;
  if (d->comp[0].depth != 8) return -1;
  if (d->nb_components > 1 && !(d->flags & AV_PIX_FMT_FLAG_PLANAR)) return -1;
  if (top < 0 || bottom < 0 || left < 0 || right < 0 || top + bottom >= h || left + right >= w) return -1;
  int nb_planes = 0;
  for (int c = 0; c < d->nb_components; ++c) nb_planes = std::max(nb_planes, d->comp[c].plane + 1);
  for (int p = 0; p < nb_planes; ++p) {
    const bool chroma = is_chroma_plane(d, p);
    const int sw = chroma ? d->log2_chroma_w : 0, sh = chroma ? d->log2_chroma_h : 0;
    const int pw = -((-w) >> sw), ph = -((-h) >> sh);
    const int x0 = left >> sw, x1 = (w - right) >> sw;
    const int y0 = top >> sh, y1 = (h - bottom) >> sh;
    const uint8_t value = p == 3 ? 255 : static_cast<uint8_t>(color[p] & 0xff);
    for (int y = 0; y < ph; ++y) {
      uint8_t* row = dst.data[p] + static_cast<ptrdiff_t>(y) * dst.linesize[p];
      if (y < y0 || y >= y1) {
        memset(row, value, pw);
        continue;
      }
      memset(row, value, x0);
      memset(row + x1, value, pw - x1);
      if (src) memcpy(row + x0, src->data[p] + static_cast<ptrdiff_t>(y - y0) * src->linesize[p], x1 - x0);
    }
  }
  return 0;
}

// Intra-field deinterlace of one plane: even lines kept, odd lines rebuilt
// from their neighbours with the (-1 4 2 4 -1)/8 kernel; rows beyond the edge
// are mirrored, which keeps each tap in its own field.
void deinterlace_plane(uint8_t* dst, int dst_ls, const uint8_t* src, int src_ls, int w, int h) {
  auto row = [&](int y) {
    if (y < 0) y = -y;
    if (y >= h) y = 2 * (h - 1) - y;
    y = std::clamp(y, 0, h - 1);
    return src + static_cast<ptrdiff_t>(y) * src_ls;
  };
  for (int y = 0; y < h; ++y) {
    uint8_t* out = dst + static_cast<ptrdiff_t>(y) * dst_ls;
    if (!(y & 1)) {
      memcpy(out, row(y), w);
      continue;
    }
    const uint8_t *m2 = row(y - 2), *m1 = row(y - 1), *c = row(y), *p1 = row(y + 1), *p2 = row(y + 2);
    for (int x = 0; x < w; ++x) {
      const int v = (-m2[x] + 4 * m1[x] + 2 * c[x] + 4 * p1[x] - p2[x] + 4) >> 3;
      out[x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
  }
}

int deinterlace(const PictureView& dst, const AVFrame* src, AVPixelFormat fmt, int w, int h) {
  switch (fmt) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_GRAY8:
      break;
    default:
      return -1;
  }
  if (w <= 0 || h <= 0 || (w & 3) || (h & 3)) return -1;
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(fmt);
  const int planes = fmt == AV_PIX_FMT_GRAY8 ? 1 : 3;
  for (int p = 0; p < planes; ++p) {
    const int pw = p ? w >> d->log2_chroma_w : w;
    const int ph = p ? h >> d->log2_chroma_h : h;
    deinterlace_plane(dst.data[p], dst.linesize[p], src->data[p], src->linesize[p], pw, ph);
  }
  return 0;
}

// True when every plane of v lies inside one of f's reference-counted buffers,
// so the encoder may hold a reference instead of a copy.
bool planes_in_buffers(const PictureView& v, const AVFrame* f) {
  if (!f || !f->buf[0]) return false;
  for (int p = 0; p < 4 && v.data[p]; ++p) {
    bool inside = false;
    for (int b = 0; b < AV_NUM_DATA_POINTERS && f->buf[b] && !inside; ++b)
      inside = v.data[p] >= f->buf[b]->data && v.data[p] < f->buf[b]->data + f->buf[b]->size;
    if (!inside) return false;
  }
  return true;
}

}  // namespace

void TCustomFFmpeg::pre_process_video(InputStream* ist, AVFrame* picture) {
  const AVPixelFormat fmt = static_cast<AVPixelFormat>(picture->format);
  const int width = picture->width, height = picture->height;

  ++hook_frame_number;
  const int64_t apts = ist->pts;

  // Which pictures the hook modules see.
  if (!OnCustomHook && using_vhook) {
    if (OnBeforeHook) {
      try {
        OnBeforeHook(apts, hook_action);
      } catch (const std::exception& e) {
        log(0, std::string("Error occurs OnBeforeHook: ") + e.what());
        hook_action = haStop;
      }
      if (hook_action == haStop) using_vhook = false;
    } else if (!hook_ranges.empty()) {
      hook_action = haIgnore;
      const int count = static_cast<int>(hook_ranges.size());
      for (int i = hook_range_index; i < count; ++i) {
        if (hook_ranges[i].start <= apts && apts <= hook_ranges[i].end) {
          hook_range_index = i;
          hook_action = haContinue;
          break;
        }
        if (i == count - 1 && hook_ranges[i].end < apts) {
          hook_action = haStop;
          using_vhook = false;
        }
      }
    }
  }

  PictureView work = view_of(picture);
  bool has_copy = false;
  if (do_deinterlace || OnCustomHook || (using_vhook && hook_action == haContinue)) {
    const int size = ff::av_image_get_buffer_size(fmt, width, height, 32);
    if (size > 0 && (!hook_buf || hook_buf_size < size)) {
      ff::av_freep(&hook_buf);
      hook_buf = static_cast<uint8_t*>(ff::av_malloc(size));
      hook_buf_size = hook_buf ? size : 0;
    }
    if (!hook_buf || size <= 0) {
      log(0, "hook buf malloc error.");
      return;
    }
    ff::av_image_fill_arrays(work.data, work.linesize, hook_buf, fmt, width, height, 32);
    has_copy = true;
    bool copy = !do_deinterlace;
    if (do_deinterlace && deinterlace(work, picture, fmt, width, height) < 0) {
      log(0, "deinterlace error.");
      // The picture goes on as decoded; hooks still get a copy, never the decoder's buffers.
      copy = OnCustomHook || (using_vhook && hook_action == haContinue);
      if (!copy) {
        work = view_of(picture);
        has_copy = false;
      }
    }
    if (copy)
      ff::av_image_copy(work.data, work.linesize, const_cast<const uint8_t**>(picture->data), picture->linesize, fmt,
                        width, height);
  }

  if (OnCustomHook) {
    if (!hook_bitmap) hook_bitmap = std::make_unique<TBitmap>();
    if (hook_bitmap->width() != width || hook_bitmap->height() != height) hook_bitmap->set_size(width, height);
    bool stop = false, update = false, called = false;
    const bool direct = fmt == hook_rgb_pix_fmt;
    PictureView rgb = work;
    bool have_rgb = true;
    if (!direct) {
      const AVPixelFormat rgb_fmt = static_cast<AVPixelFormat>(hook_rgb_pix_fmt);
      const int size = ff::av_image_get_buffer_size(rgb_fmt, width, height, 32);
      if (size > 0 && (!rgb_buf || rgb_buf_size < size)) {
        ff::av_freep(&rgb_buf);
        rgb_buf = static_cast<uint8_t*>(ff::av_malloc(size));
        rgb_buf_size = rgb_buf ? size : 0;
      }
      have_rgb = rgb_buf && size > 0;
      if (have_rgb) {
        ff::av_image_fill_arrays(rgb.data, rgb.linesize, rgb_buf, rgb_fmt, width, height, 32);
        // Contexts are remade only when the picture changes.
        if (hook_rgb_width != width || hook_rgb_height != height || hook_rgb_src_fmt != fmt) {
          if (to_rgb_ctx) ff::sws_freeContext(to_rgb_ctx);
          if (from_rgb_ctx) ff::sws_freeContext(from_rgb_ctx);
          to_rgb_ctx = from_rgb_ctx = nullptr;
          hook_rgb_width = width;
          hook_rgb_height = height;
          hook_rgb_src_fmt = fmt;
        }
        if (!to_rgb_ctx)
          to_rgb_ctx = ff::sws_getCachedContext(nullptr, width, height, fmt, width, height, rgb_fmt, SWS_BICUBIC,
                                                nullptr, nullptr, nullptr);
        if (!to_rgb_ctx) {
          log(0, "Cannot initialize the toRGB conversion context");
          stop = true;
        } else {
          ff::sws_scale(to_rgb_ctx, work.data, work.linesize, 0, height, rgb.data, rgb.linesize);
        }
      }
    }
    if (!stop && have_rgb) {
      const int row_bytes = width * 3;
      for (int r = 0; r < height; ++r)
        memcpy(hook_bitmap->scan_line(r), rgb.data[0] + static_cast<ptrdiff_t>(r) * rgb.linesize[0], row_bytes);
      update = true;
      called = true;
      try {
        std::lock_guard<std::recursive_mutex> canvas(hook_bitmap->canvas_lock());
        OnCustomHook(*hook_bitmap, hook_frame_number, apts, update, stop);
      } catch (const std::exception& e) {
        log(0, std::string("Error occurs OnCustomHook: ") + e.what());
        update = false;
      }
    }
    if (called && update) {
      const int row_bytes = width * 3;
      for (int r = 0; r < height; ++r)
        memcpy(rgb.data[0] + static_cast<ptrdiff_t>(r) * rgb.linesize[0], hook_bitmap->scan_line(r), row_bytes);
      if (!direct) {
        if (!from_rgb_ctx)
          from_rgb_ctx = ff::sws_getCachedContext(nullptr, width, height, static_cast<AVPixelFormat>(hook_rgb_pix_fmt),
                                                  width, height, fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!from_rgb_ctx) {
          log(0, "Cannot initialize the fromRGB conversion context");
          stop = true;
        } else {
          ff::sws_scale(from_rgb_ctx, rgb.data, rgb.linesize, 0, height, work.data, work.linesize);
        }
      }
    }
    if (stop) {
      OnCustomHook = nullptr;
      hook_action = haStop;
      using_vhook = false;
    }
  } else if (using_vhook && hook_action == haContinue) {
    KlaventaPicture pic;
    for (int i = 0; i < 4; ++i) {
      pic.data[i] = work.data[i];
      pic.linesize[i] = work.linesize[i];
    }
    for (klaventa::FrameHook* h = frame_hooks; h; h = h->next)
      if (h->process) h->process(h->ctx, &pic, fmt, width, height, apts);
  }

  if (has_copy) {
    for (int i = 0; i < 4; ++i) {
      picture->data[i] = work.data[i];
      picture->linesize[i] = work.linesize[i];
    }
  }
}

void TCustomFFmpeg::do_video_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, AVFrame* in_picture,
                                 int& frame_size) {
  AVCodecContext* enc = ost->enc;
  frame_size = 0;
  int nb_frames = 1;

  const InputStream* sync = ost->sync_ist ? ost->sync_ist : ist;
  const double ipts = static_cast<double>(sync->pts - start_time) / 1000000.0;
  const double tb = av_q2d(enc->time_base);

  if (video_sync_method > 0 || (video_sync_method < 0 && tb > 0.001)) {
    const double vdelta = ipts / tb - static_cast<double>(ost->sync_opts);
    // When the output rate is lower than the input's, a picture that ends
    // before the next output slot begins is not shown: without this the output
    // runs up to a frame longer than the input.
    double in_slots = 0;
    if (sync->st) {
      AVRational r = sync->st->avg_frame_rate.num > 0 ? sync->st->avg_frame_rate : sync->st->r_frame_rate;
      if (r.num > 0 && r.den > 0) in_slots = 1.0 / av_q2d(r) / tb;
    }
    if (vdelta < -1.1)
      nb_frames = 0;
    else if (video_sync_method != 2 && in_slots > 0 && in_slots < 1 && vdelta + in_slots <= 1e-6)
      nb_frames = 0;
    else if (video_sync_method == 2)
      ost->sync_opts = std::llrint(ipts / tb);
    else if (vdelta > 1.1)
      nb_frames = static_cast<int>(std::min<double>(std::nearbyint(vdelta), 2147483647.0));
    if (nb_frames == 0) {
      ++nb_frames_drop;
      if (verbose > 2) log(1, "*** drop!");
    } else if (nb_frames > 1) {
      nb_frames_dup += nb_frames - 1;
      if (verbose > 2) log(1, format_text("*** %d dup!", nb_frames - 1));
    }
  } else {
    ost->sync_opts = std::llrint(ipts / tb);
  }

  nb_frames = std::min(nb_frames, max_frames[AVMEDIA_TYPE_VIDEO] - ost->frame_number);
  // Nothing at or past the recording time.
  if (recording_time != INT64_MAX) {
    const double left = std::ceil(static_cast<double>(recording_time) / 1000000.0 / tb) -
                        static_cast<double>(ost->sync_opts);
    nb_frames = static_cast<int>(std::min<double>(nb_frames, std::max(left, 0.0)));
  }
  if (nb_frames <= 0) return;

  const AVPixelFormat in_fmt = static_cast<AVPixelFormat>(in_picture->format);
  const AVPixelFormat enc_fmt = enc->pix_fmt;

  // The scaler and the pad area were made for one picture size: a picture of
  // another size or format would be read or written out of bounds.
  if (ost->src_pix_fmt < 0) {
    ost->src_width = in_picture->width;
    ost->src_height = in_picture->height;
    ost->src_pix_fmt = in_fmt;
  }
  bool geometry_ok = in_picture->width == ost->src_width && in_picture->height == ost->src_height &&
                     in_fmt == ost->src_pix_fmt;
  const int crop_w = in_picture->width - (ost->video_crop ? frame_leftband + frame_rightband : 0);
  const int crop_h = in_picture->height - (ost->video_crop ? frame_topband + frame_bottomband : 0);
  if (ost->video_resample)
    geometry_ok = geometry_ok && crop_h == ost->resample_height;
  else
    geometry_ok = geometry_ok && in_fmt == enc_fmt &&
                  crop_w + (ost->video_pad ? ost->pad_left + ost->pad_right : 0) == enc->width &&
                  crop_h + (ost->video_pad ? ost->pad_top + ost->pad_bottom : 0) == enc->height;
  if (!geometry_ok) {
    log(0, format_text("picture %dx%d does not fit output stream #%d.%d, dropped", in_picture->width,
                       in_picture->height, ost->file_index, ost->index));
    return;
  }

  PictureView formatted = view_of(in_picture);
  if (ost->video_crop && crop_view(formatted, in_fmt, ost->top_band, ost->left_band) < 0) {
    log(0, "error cropping picture");
    return;
  }

  const AVFrame* owner = in_picture;  // frame whose buffers hold `final`
  PictureView final = formatted;
  const PictureView* padding_source = &formatted;
  PictureView scaler_target;
  if (ost->pict_tmp && (ost->video_pad || ost->video_resample)) {
    // The encoder may still hold the previous picture: write into a fresh buffer then.
    if (ost->pict_tmp->buf[0] && ff::av_frame_make_writable(ost->pict_tmp) < 0) {
      log(0, "error padding picture");
      return;
    }
    scaler_target = view_of(ost->pict_tmp);
  }
  if (ost->video_pad) {
    if (!ost->pict_tmp) {
      log(0, "error padding picture");
      return;
    }
    final = view_of(ost->pict_tmp);
    owner = ost->pict_tmp;
    if (ost->video_resample && crop_view(scaler_target, enc_fmt, ost->pad_top, ost->pad_left) < 0) {
      log(0, "error padding picture");
      return;
    }
  }
  if (ost->video_resample) {
    if (!ost->pict_tmp || !ost->img_resample_ctx) throw FFMpegException("Cannot get resampling context");
    padding_source = nullptr;
    final = view_of(ost->pict_tmp);
    owner = ost->pict_tmp;
    ff::sws_scale(ost->img_resample_ctx, formatted.data, formatted.linesize, 0, ost->resample_height,
                  scaler_target.data, scaler_target.linesize);
  }
  if (ost->video_pad && pad_picture(final, padding_source, enc->height, enc->width, enc_fmt, ost->pad_top,
                                    ost->pad_bottom, ost->pad_left, ost->pad_right, padcolor) < 0) {
    log(0, "error padding picture");
    return;
  }

  if (!ost->video_frame) {
    ost->video_frame.reset(ff::av_frame_alloc());
    if (!ost->video_frame) throw FFMpegException("Video encoding failed");
  }
  AVFrame* big = ost->video_frame.get();
  const bool by_reference = planes_in_buffers(final, owner);
  const AVCodecContext* vopts = codec_option_ctx[AVMEDIA_TYPE_VIDEO];
  const int flags = vopts ? vopts->flags : enc->flags;
  const float quality = same_quality ? ist->quality : (ost->setup ? ost->setup->quality : 0.0f);

  for (int i = 0; i < nb_frames && !stop_requested; ++i) {
    ff::av_frame_unref(big);
    if (by_reference && ff::av_frame_ref(big, owner) < 0) throw FFMpegException("Video encoding failed");
    for (int p = 0; p < 4; ++p) {
      big->data[p] = final.data[p];
      big->linesize[p] = final.linesize[p];
    }
    big->format = enc_fmt;
    big->width = enc->width;
    big->height = enc->height;
    big->crop_top = big->crop_bottom = big->crop_left = big->crop_right = 0;
    big->interlaced_frame = in_picture->interlaced_frame;
    if (flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
      big->top_field_first = top_field_first == -1 ? in_picture->top_field_first : top_field_first;
    else
      big->top_field_first = in_picture->top_field_first;
    big->quality = static_cast<int>(std::lrint(quality));
    big->pict_type = me_threshold == 0 ? AV_PICTURE_TYPE_NONE : in_picture->pict_type;
    big->pts = ost->sync_opts;

    const int ret = encode_and_write(os, ost, big);
    ff::av_frame_unref(big);
    if (ret < 0) throw FFMpegException("Video encoding failed");
    if (ret > 0) {
      frame_size = ret;
      video_size += ret;
    }
    ++ost->sync_opts;
    ++ost->frame_number;
  }
}
