// Output creation: open_output_file and the video, audio and subtitle streams.
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "engine/engine.h"

namespace {

// Index of oc in the output table; nb_output_files while it is being created.
int output_index(const TCustomFFmpeg& e, const AVFormatContext* oc) {
  for (int i = 0; i < e.nb_output_files; i++)
    if (e.output_files[i] == oc) return i;
  return e.nb_output_files;
}

bool muxer_has_option(const AVOutputFormat* fmt, const char* name) {
  return fmt && fmt->priv_class &&
         ff::av_opt_find((void*)&fmt->priv_class, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

// Cut to at most `max` bytes without splitting a UTF-8 sequence.
std::string cut_text(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) n--;
  return s.substr(0, n);
}

// Integer at p: leading blanks, optional sign, at least one digit.
bool read_int(const char*& p, int& out) {
  const char* s = p;
  while (*s == ' ' || *s == '\t') s++;
  const char* d = s;
  if (*d == '+' || *d == '-') d++;
  if (!std::isdigit(static_cast<unsigned char>(*d))) return false;
  char* end = nullptr;
  long long v = std::strtoll(s, &end, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  out = static_cast<int>(v);
  p = end;
  return true;
}

// "start,end,q/start,end,q/..." into enc->rc_override.
void parse_rc_override(AVCodecContext* enc, const char* text) {
  const char* p = text;
  for (;;) {
    int start = 0, end = 0, q = 0;
    if (!read_int(p, start) || !*p) throw FFMpegException("error parsing rc_override");
    p++;
    if (!read_int(p, end) || !*p) throw FFMpegException("error parsing rc_override");
    p++;
    const char* third = p;
    if (!read_int(p, q)) throw FFMpegException("error parsing rc_override");
    void* grown = ff::av_realloc(enc->rc_override, sizeof(RcOverride) * (enc->rc_override_count + 1));
    if (!grown) throw FFMpegException("error parsing rc_override");
    enc->rc_override = static_cast<RcOverride*>(grown);
    RcOverride& o = enc->rc_override[enc->rc_override_count++];
    o.start_frame = start;
    o.end_frame = end;
    if (q > 0) {
      o.qscale = q;
      o.quality_factor = 1.0f;
    } else {
      o.qscale = 0;
      o.quality_factor = -q / 100.0f;
    }
    const char* slash = std::strchr(third, '/');
    if (!slash) break;
    p = slash + 1;
  }
}

// Sample aspect for a display aspect over a w x h picture (0/1 when none).
AVRational sample_aspect(float display_aspect, int w, int h) {
  double d = static_cast<double>(display_aspect) * h / w;
  if (!std::isfinite(d) || d == 0) return AVRational{0, 1};
  int e = static_cast<int>(std::nearbyint(std::log(std::fabs(d) + 1e-20) / std::log(2.0)));
  if (e < 0) e = 0;
  int64_t den = int64_t(1) << ((61 - e) & 31);
  double scaled = d * static_cast<double>(den) + 0.5;
  if (scaled > 9.2e18) scaled = 9.2e18;
  if (scaled < -9.2e18) scaled = -9.2e18;
  int64_t num = std::llrint(scaled);
  AVRational r{0, 1};
  ff::av_reduce(&r.num, &r.den, num, den, 255);
  return r;
}

void free_output_setups(std::vector<OutputStreamSetup>& v) {
  for (auto& s : v) {
    ff::avcodec_free_context(&s.enc);
    ff::av_dict_free(&s.codec_opts);
  }
  v.clear();
}

// ISO 8601 UTC text of seconds since 1970.
std::string iso_time(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) return {};
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
  return buf;
}

int64_t steady_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether writing to `out_url` would write over the input opened from `in_url`.
bool same_file(const std::string& out_url, const TCustomFFmpeg::FileIdentity& in_id, const std::string& in_url) {
  const std::string out = TCustomFFmpeg::local_file_path(out_url);
  const std::string in = TCustomFFmpeg::local_file_path(in_url);
  if (out.empty() || in.empty()) return false;
  struct stat so {};
  if (::stat(out.c_str(), &so) == 0) {
    if (in_id.known && static_cast<uint64_t>(so.st_dev) == in_id.dev && static_cast<uint64_t>(so.st_ino) == in_id.ino)
      return true;
    struct stat si {};
    if (::stat(in.c_str(), &si) == 0 && so.st_dev == si.st_dev && so.st_ino == si.st_ino) return true;
  }
  std::error_code e1, e2;
  const std::filesystem::path a = std::filesystem::weakly_canonical(out, e1);
  const std::filesystem::path b = std::filesystem::weakly_canonical(in, e2);
  return !e1 && !e2 && a == b;
}

}  // namespace

std::string TCustomFFmpeg::local_file_path(const std::string& url) {
  if (url.rfind("file:", 0) == 0) return url.substr(5);
  const size_t n = url.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
  if (n != std::string::npos && n > 0 && url[n] == ':') return {};  // another protocol
  return url;
}

TCustomFFmpeg::FileIdentity TCustomFFmpeg::identity_of(const std::string& url) {
  FileIdentity id;
  const std::string path = local_file_path(url);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return id;
  id.known = true;
  id.dev = static_cast<uint64_t>(st.st_dev);
  id.ino = static_cast<uint64_t>(st.st_ino);
  return id;
}

void TCustomFFmpeg::check_outputs_present() {
  for (int i = 0; i < nb_output_files && i < MAX_FILES; ++i) {
    const FileIdentity& ours = output_identity[i];
    if (!ours.known || !output_files[i]) continue;
    const FileIdentity now = identity_of(output_files[i]->url);
    if (!now.known || now.dev != ours.dev || now.ino != ours.ino)
      throw FFMpegException(std::string("Output file '") + output_files[i]->url + "' no longer exists");
  }
}

int TCustomFFmpeg::output_interrupt(void* engine) {
  constexpr int64_t kStallGrace = 300000;  // µs without progress after a stop
  auto* e = static_cast<TCustomFFmpeg*>(engine);
  if (!e->stop_requested) {
    e->output_stall_since = 0;
    return 0;
  }
  int64_t pos = 0;
  for (int i = 0; i < e->nb_output_files && i < MAX_FILES; ++i)
    if (e->output_files[i] && e->output_files[i]->pb) pos += e->output_files[i]->pb->pos;
  const int64_t now = steady_us();
  if (e->output_stall_since == 0 || pos != e->output_stall_pos) {
    e->output_stall_pos = pos;
    e->output_stall_since = now;
    return 0;
  }
  return now - e->output_stall_since > kStallGrace ? 1 : 0;
}

// A new stream on oc with its own encoder context; nullptr when either fails.
static AVStream* add_stream(TCustomFFmpeg& e, AVFormatContext* oc, AVMediaType type, OutputStreamSetup*& setup) {
  int fidx = output_index(e, oc);
  if (fidx >= MAX_FILES || oc->nb_streams >= static_cast<unsigned>(MAX_STREAMS)) return nullptr;
  AVCodecContext* enc = ff::avcodec_alloc_context3(nullptr);
  if (!enc) return nullptr;
  AVStream* st = ff::avformat_new_stream(oc, nullptr);
  if (!st) {
    ff::avcodec_free_context(&enc);
    return nullptr;
  }
  st->id = st->index;
  enc->codec_type = type;
  auto& setups = e.output_streams[fidx];
  setups.resize(st->index + 1);
  setup = &setups[st->index];
  setup->enc = enc;
  ff::av_dict_copy(&setup->codec_opts, e.private_codec_opts[type], 0);
  return st;
}

static void set_language(AVStream* st, OutputStreamSetup* setup, std::string& language) {
  if (language.empty()) return;
  setup->language = language.substr(0, 3);
  ff::av_dict_set(&st->metadata, "language", setup->language.c_str(), 0);
  language.clear();
}

void TCustomFFmpeg::new_video_stream(AVFormatContext* oc) {
  OutputStreamSetup* setup = nullptr;
  AVStream* st = add_stream(*this, oc, AVMEDIA_TYPE_VIDEO, setup);
  if (!st) {
    ff::av_freep(&video_codec_name);
    throw FFMpegException("Could not alloc stream");
  }
  AVCodecContext* enc = setup->enc;
  AVCodecContext* vopt = codec_option_ctx[AVMEDIA_TYPE_VIDEO];

  enc->thread_count = thread_count;
  if (video_codec_tag) enc->codec_tag = video_codec_tag;
  if ((video_global_header & 1) || (video_global_header == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (vopt) vopt->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (video_global_header & 2) {
    enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    if (vopt) vopt->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }

  if (video_stream_copy) {
    setup->stream_copy = true;
    enc->codec_type = AVMEDIA_TYPE_VIDEO;
  } else {
    AVRational fps = (frame_rate.num > 0 && frame_rate.den > 0) ? frame_rate : AVRational{25, 1};

    AVCodecID id = AV_CODEC_ID_NONE;
    if (!video_codec_name) {
      id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_VIDEO);
    } else if (!find_codec(video_codec_name, AVMEDIA_TYPE_VIDEO, id, true)) {
      ff::av_freep(&video_codec_name);
      throw FFMpegException(last_error);
    }
    const AVCodec* codec = video_codec_name ? ff::avcodec_find_encoder_by_name(video_codec_name)
                                            : ff::avcodec_find_encoder(id);
    if (codec) {
      // Start from the encoder's own defaults (libx264 refuses the generic ones).
      AVCodecContext* fresh = ff::avcodec_alloc_context3(codec);
      if (fresh) {
        fresh->codec_tag = enc->codec_tag;
        fresh->flags |= enc->flags;
        fresh->flags2 |= enc->flags2;
        ff::avcodec_free_context(&setup->enc);
        setup->enc = enc = fresh;
      }
    }
    enc->codec_type = AVMEDIA_TYPE_VIDEO;
    enc->codec_id = id;

    copy_context_options(enc, vopt, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);

    enc->time_base = AVRational{fps.den, fps.num};
    if (codec && codec->supported_framerates) {
      AVRational best_diff{INT_MAX, 1};
      const AVRational* best = nullptr;
      for (const AVRational* p = codec->supported_framerates; p->den; p++) {
        int n = 0, d = 1;
        ff::av_reduce(&n, &d, int64_t(p->den) * fps.num - int64_t(p->num) * fps.den, int64_t(p->den) * fps.den,
                      INT_MAX);
        if (n < 0) n = -n;
        if (int64_t(n) * best_diff.den < int64_t(best_diff.num) * d) {
          best_diff = AVRational{n, d};
          best = p;
        }
      }
      if (best) enc->time_base = AVRational{best->den, best->num};
    }

    enc->width = frame_width + frame_padleft + frame_padright;
    enc->height = frame_height + frame_padtop + frame_padbottom;
    enc->sample_aspect_ratio = sample_aspect(frame_aspect_ratio, enc->width, enc->height);
    st->sample_aspect_ratio = enc->sample_aspect_ratio;

    enc->pix_fmt = static_cast<AVPixelFormat>(frame_pix_fmt);
    if (codec && codec->pix_fmts) {
      bool listed = false;
      for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; p++)
        if (*p == enc->pix_fmt) listed = true;
      if (!listed) enc->pix_fmt = codec->pix_fmts[0];
    }

    if (intra_only) enc->gop_size = 0;
    if (video_qscale != 0 || same_quality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup->quality = FF_QP2LAMBDA * video_qscale;
      enc->global_quality = static_cast<int>(setup->quality);
    }
    // The encoder context frees its matrices: give it copies.
    if (intra_matrix) enc->intra_matrix = static_cast<uint16_t*>(ff::av_memdup(intra_matrix, 64 * sizeof(uint16_t)));
    if (inter_matrix) enc->inter_matrix = static_cast<uint16_t*>(ff::av_memdup(inter_matrix, 64 * sizeof(uint16_t)));
    enc->thread_count = thread_count;

    if (video_rc_override) parse_rc_override(enc, video_rc_override);
    if (enc->rc_initial_buffer_occupancy == 0)
      enc->rc_initial_buffer_occupancy = static_cast<int>(int64_t(enc->rc_buffer_size) * 3 / 4);

    enc->intra_dc_precision = intra_dc_precision - 8;
    if (do_psnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (do_pass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (do_pass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
  }

  video_disable = false;
  ff::av_freep(&video_codec_name);
  video_stream_copy = false;
}

void TCustomFFmpeg::new_audio_stream(AVFormatContext* oc) {
  OutputStreamSetup* setup = nullptr;
  AVStream* st = add_stream(*this, oc, AVMEDIA_TYPE_AUDIO, setup);
  if (!st) {
    ff::av_freep(&audio_codec_name);
    audio_language.clear();
    throw FFMpegException("Could not alloc stream");
  }
  AVCodecContext* enc = setup->enc;
  AVCodecContext* aopt = codec_option_ctx[AVMEDIA_TYPE_AUDIO];

  enc->thread_count = thread_count;
  if (audio_codec_tag) enc->codec_tag = audio_codec_tag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (aopt) aopt->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  ff::av_channel_layout_uninit(&enc->ch_layout);
  if (audio_stream_copy) {
    setup->stream_copy = true;
    ff::av_channel_layout_default(&enc->ch_layout, audio_channels);
  } else {
    AVCodecID id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_AUDIO);
    copy_context_options(enc, aopt, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (audio_codec_name && !find_codec(audio_codec_name, AVMEDIA_TYPE_AUDIO, id, true)) {
      ff::av_freep(&audio_codec_name);
      audio_language.clear();
      throw FFMpegException(last_error);
    }
    enc->codec_id = id;
    if (audio_qscale > -99999) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      setup->quality = FF_QP2LAMBDA * audio_qscale;
      enc->global_quality = static_cast<int>(setup->quality);
    }
    enc->thread_count = thread_count;
    ff::av_channel_layout_uninit(&enc->ch_layout);
    ff::av_channel_layout_default(&enc->ch_layout, audio_channels);
    // Decoded audio arrives as s16 and is converted to what the encoder takes.
    const AVCodec* codec = ff::avcodec_find_encoder(id);
    enc->sample_fmt = (codec && codec->sample_fmts) ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  }
  enc->sample_rate = audio_sample_rate;
  enc->time_base = AVRational{1, audio_sample_rate};
  set_language(st, setup, audio_language);

  audio_disable = false;
  ff::av_freep(&audio_codec_name);
  audio_stream_copy = false;
}

void TCustomFFmpeg::new_subtitle_stream(AVFormatContext* oc) {
  OutputStreamSetup* setup = nullptr;
  AVStream* st = add_stream(*this, oc, AVMEDIA_TYPE_SUBTITLE, setup);
  if (!st) {
    ff::av_freep(&subtitle_codec_name);
    subtitle_language.clear();
    throw FFMpegException("Could not alloc stream");
  }
  AVCodecContext* enc = setup->enc;
  if (subtitle_stream_copy) {
    setup->stream_copy = true;
  } else {
    copy_context_options(enc, codec_option_ctx[AVMEDIA_TYPE_SUBTITLE],
                         AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    AVCodecID id = AV_CODEC_ID_NONE;
    if (!find_codec(subtitle_codec_name, AVMEDIA_TYPE_SUBTITLE, id, true)) {
      ff::av_freep(&subtitle_codec_name);
      subtitle_language.clear();
      throw FFMpegException(last_error);
    }
    // Without a name the container's own subtitle codec, as for video and audio.
    if (!subtitle_codec_name) id = ff::av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, AVMEDIA_TYPE_SUBTITLE);
    enc->codec_id = id;
  }
  set_language(st, setup, subtitle_language);

  subtitle_disable = false;
  ff::av_freep(&subtitle_codec_name);
  subtitle_stream_copy = false;
}

void TCustomFFmpeg::add_video_stream() {
  if (nb_output_files <= 0) throw FFMpegException("At least one output file must be specified");
  new_video_stream(output_files[nb_output_files - 1]);
}

void TCustomFFmpeg::add_audio_stream() {
  if (nb_output_files <= 0) throw FFMpegException("At least one output file must be specified");
  new_audio_stream(output_files[nb_output_files - 1]);
}

void TCustomFFmpeg::add_subtitle_stream() {
  if (nb_output_files <= 0) throw FFMpegException("At least one output file must be specified");
  new_subtitle_stream(output_files[nb_output_files - 1]);
}

bool TCustomFFmpeg::open_output_file(const std::string& file_name) {
  const int idx = nb_output_files;
  AVFormatContext* oc = nullptr;

  auto fail = [&] {
    if (idx < MAX_FILES) {
      free_output_setups(output_streams[idx]);
      ff::av_dict_free(&mux_opts[idx]);
    }
    if (oc) ff::avformat_free_context(oc);
    file_oformat = nullptr;
    file_iformat = nullptr;
    return false;
  };

  if (idx >= MAX_FILES) {
    last_error = file_name + ": too many output files (at most " + std::to_string(MAX_FILES) + ")";
    return fail();
  }
  free_output_setups(output_streams[idx]);
  ff::av_dict_free(&mux_opts[idx]);

  if (!file_oformat) file_oformat = ff::av_guess_format(nullptr, file_name.c_str(), nullptr);
  if (!file_oformat) {
    last_error = "Unable to find a suitable output format for '" + file_name + "'";
    return fail();
  }
  if (ff::avformat_alloc_output_context2(&oc, file_oformat, nullptr, file_name.c_str()) < 0 || !oc) {
    oc = nullptr;
    last_error = open_error_message(file_name, AVERROR(ENOMEM));
    return fail();
  }
  const AVOutputFormat* fmt = oc->oformat;
  oc->interrupt_callback = AVIOInterruptCB{&TCustomFFmpeg::output_interrupt, this};  // files the muxer opens itself
  ff::av_dict_copy(&mux_opts[idx], private_format_opts, 0);

  bool use_video = fmt->video_codec != AV_CODEC_ID_NONE || video_stream_copy || video_codec_name;
  bool use_audio = fmt->audio_codec != AV_CODEC_ID_NONE || audio_stream_copy || audio_codec_name;
  bool use_subtitle = fmt->subtitle_codec != AV_CODEC_ID_NONE || subtitle_stream_copy || subtitle_codec_name;

  if (nb_input_files > 0) {
    bool has_video = false, has_audio = false, has_subtitle = false;
    try {
      check_audio_video_sub_inputs(has_video, has_audio, has_subtitle);
    } catch (const std::exception& ex) {
      last_error = std::string("check_audio_video_sub_inputs fail: ") + ex.what();
      return fail();
    }
    if (!has_video) use_video = false;
    if (!has_audio) use_audio = false;
    if (!has_subtitle) use_subtitle = false;
  }
  if (subtitle_disable) use_subtitle = false;

  try {
    if (use_video && !video_disable) new_video_stream(oc);
  } catch (const std::exception& ex) {
    last_error = std::string("new_video_stream fail: ") + ex.what();
    return fail();
  }
  try {
    if (use_audio && !audio_disable) new_audio_stream(oc);
  } catch (const std::exception& ex) {
    last_error = std::string("new_audio_stream fail: ") + ex.what();
    return fail();
  }
  try {
    if (use_subtitle) new_subtitle_stream(oc);
  } catch (const std::exception& ex) {
    last_error = std::string("new_subtitle_stream fail: ") + ex.what();
    return fail();
  }

  // Container metadata under the keys today's muxers read.
  if (rec_timestamp != 0) ff::av_dict_set(&oc->metadata, "creation_time", iso_time(rec_timestamp).c_str(), 0);
  auto meta = [oc](const char* key, const std::string& value, size_t max) {
    if (!value.empty()) ff::av_dict_set(&oc->metadata, key, cut_text(value, max).c_str(), 0);
  };
  meta("title", meta_title, 511);
  meta("artist", meta_author, 511);
  meta("author", meta_author, 511);
  meta("copyright", meta_copyright, 511);
  meta("comment", meta_comment, 511);
  meta("album", meta_album, 511);
  if (meta_year > 0) ff::av_dict_set(&oc->metadata, "date", std::to_string(meta_year).c_str(), 0);
  if (meta_track > 0) ff::av_dict_set(&oc->metadata, "track", std::to_string(meta_track).c_str(), 0);
  meta("genre", meta_genre, 31);

  // Never write over an input.
  for (int i = 0; i < nb_input_files && i < MAX_FILES; ++i) {
    if (input_files[i] && same_file(file_name, input_identity[i], input_files[i]->url)) {
      last_error = std::string("Output file is the same as input file '") + input_files[i]->url + "'";
      return fail();
    }
  }

  output_files[idx] = oc;
  output_identity[idx] = FileIdentity{};
  nb_output_files++;

  if ((fmt->flags & AVFMT_NEEDNUMBER) && !ff::av_filename_number_test(oc->url)) {
    last_error = open_error_message(oc->url, AVERROR(EDOM));
    file_oformat = nullptr;
    file_iformat = nullptr;
    return false;
  }
  if (!(fmt->flags & AVFMT_NOFILE)) {
    if (ff::avio_open2(&oc->pb, file_name.c_str(), AVIO_FLAG_WRITE, &oc->interrupt_callback, nullptr) < 0) {
      last_error = "Could not open '" + file_name + "'";
      file_oformat = nullptr;
      file_iformat = nullptr;
      return false;
    }
    output_identity[idx] = identity_of(file_name);
  }

  oc->max_delay = static_cast<int>(mux_max_delay * 1000000.0);
  if (muxer_has_option(fmt, "preload")) {
    int64_t preload = static_cast<int64_t>(mux_preload * 1000000.0);
    ff::av_dict_set(&mux_opts[idx], "preload", std::to_string(preload).c_str(), AV_DICT_DONT_OVERWRITE);
  }
  if (loop_output >= 0 && muxer_has_option(fmt, "loop"))
    ff::av_dict_set(&mux_opts[idx], "loop", std::to_string(loop_output).c_str(), AV_DICT_DONT_OVERWRITE);

  copy_context_options(oc, format_option_ctx, AV_OPT_FLAG_ENCODING_PARAM);

  file_oformat = nullptr;
  file_iformat = nullptr;
  return true;
}
