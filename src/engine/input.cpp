// Input opening: open_input_file, check_audio_video_sub_inputs, open_error_message.
#include <cctype>
#include <cmath>
#include <string>

#include "engine/engine.h"

namespace {

// Extension with its dot, lower case; empty when the name has none.
std::string lower_extension(const std::string& file_name) {
  size_t dot = file_name.find_last_of('.');
  size_t sep = file_name.find_last_of("/\\:");
  if (dot == std::string::npos || (sep != std::string::npos && sep > dot)) return {};
  std::string ext = file_name.substr(dot);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Whether some demuxer recognises the file's content. A demuxer that only
// matched the extension (score 1) does not count: that file is of unknown format.
bool demuxer_matches(const std::string& file_name, const AVIOInterruptCB& interrupt) {
  AVIOContext* pb = nullptr;
  if (ff::avio_open2(&pb, file_name.c_str(), AVIO_FLAG_READ, &interrupt, nullptr) < 0) return false;
  const AVInputFormat* fmt = nullptr;
  int score = ff::av_probe_input_buffer2(pb, &fmt, file_name.c_str(), nullptr, 0, 0);
  ff::avio_closep(&pb);
  return fmt && score > 1;
}

void free_stream_setups(std::vector<InputStreamSetup>& v) {
  for (auto& s : v) ff::avcodec_free_context(&s.dec);
  v.clear();
}

}  // namespace

std::string TCustomFFmpeg::open_error_message(const std::string& file_name, int code) {
  const std::string& f = file_name;
  if (code == AVERROR_DEMUXER_NOT_FOUND || code == AVERROR(EILSEQ)) return f + ": Unknown format";
  if (code == AVERROR(EDOM))
    return f + ": Incorrect image filename syntax.\r\n"
               "Use '%d' to specify the image number:\r\n"
               "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
               "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.";
  if (code == AVERROR_INVALIDDATA || code == AVERROR(EINVAL)) return f + ": Error while parsing header";
  if (code == AVERROR(ENOMEM)) return f + ": memory allocation error occurred";
  if (code == AVERROR(EIO) || code == AVERROR_EOF)
    return f + ": I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
  if (code == AVERROR(ENOENT)) return f + ": no such file or directory";
  // A full disk would otherwise read as an opening error.
  if (code == AVERROR(ENOSPC)) return f + ": no space left on device";
  return f + ": Error while opening file";
}

bool TCustomFFmpeg::open_input_file(const std::string& file_name) {
  AVFormatContext* ic = nullptr;
  AVDictionary* opts = nullptr;
  const int idx = nb_input_files;

  auto reset_per_input = [this] {
    ff::av_freep(&video_codec_name);
    ff::av_freep(&audio_codec_name);
    ff::av_freep(&subtitle_codec_name);
    file_iformat = nullptr;
    file_oformat = nullptr;
    video_channel = 0;
    rate_emu = false;
  };
  auto fail = [&] {
    ff::av_dict_free(&opts);
    if (ic) {
      if (ic->iformat) ff::avformat_close_input(&ic);
      else ff::avformat_free_context(ic);
      ic = nullptr;
    }
    if (idx < MAX_FILES) free_stream_setups(input_streams[idx]);
    reset_per_input();
    return false;
  };

  if (idx >= MAX_FILES) {
    last_error = file_name + ": too many input files (at most " + std::to_string(MAX_FILES) + ")";
    return fail();
  }

  ic = ff::avformat_alloc_context();
  if (!ic) {
    last_error = open_error_message(file_name, AVERROR(ENOMEM));
    return fail();
  }
  // A stalled read (network input) gives up when a stop is requested.
  ic->interrupt_callback = AVIOInterruptCB{&TCustomFFmpeg::input_interrupt, this};

  // Demuxer parameters; demuxers ignore the ones they do not have.
  int width = frame_width + frame_padleft + frame_padright;
  int height = frame_height + frame_padtop + frame_padbottom;
  if (frame_width > 0 && frame_height > 0)
    ff::av_dict_set(&opts, "video_size", (std::to_string(width) + "x" + std::to_string(height)).c_str(), 0);
  if (frame_pix_fmt >= 0) {
    if (const char* pf = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame_pix_fmt)))
      ff::av_dict_set(&opts, "pixel_format", pf, 0);
  }
  if (frame_rate.num > 0 && frame_rate.den > 0)
    ff::av_dict_set(&opts, "framerate",
                    (std::to_string(frame_rate.num) + "/" + std::to_string(frame_rate.den)).c_str(), 0);
  if (audio_sample_rate > 0) ff::av_dict_set_int(&opts, "sample_rate", audio_sample_rate, 0);
  if (audio_channels > 0) ff::av_dict_set(&opts, "ch_layout", (std::to_string(audio_channels) + "c").c_str(), 0);
  if (loop_input) ff::av_dict_set(&opts, "loop", "1", 0);

  AVCodecID video_id = AV_CODEC_ID_NONE, audio_id = AV_CODEC_ID_NONE, subtitle_id = AV_CODEC_ID_NONE;
  if (!find_codec(video_codec_name, AVMEDIA_TYPE_VIDEO, video_id, false)) return fail();
  if (!find_codec(audio_codec_name, AVMEDIA_TYPE_AUDIO, audio_id, false)) return fail();
  if (pgmyuv_compatibility) video_id = AV_CODEC_ID_PGMYUV;

  copy_context_options(ic, format_option_ctx, AV_OPT_FLAG_DECODING_PARAM);

  if (!find_codec(subtitle_codec_name, AVMEDIA_TYPE_SUBTITLE, subtitle_id, false)) return fail();
  ic->video_codec_id = video_id;
  ic->audio_codec_id = audio_id;
  ic->subtitle_codec_id = subtitle_id;

  int r = ff::avformat_open_input(&ic, file_name.c_str(), file_iformat, &opts);
  ff::av_dict_free(&opts);
  if (r < 0) {
    ic = nullptr;  // freed by the library
    if (r == AVERROR_INVALIDDATA && !file_iformat &&
        !demuxer_matches(file_name, AVIOInterruptCB{&TCustomFFmpeg::input_interrupt, this}))
      r = AVERROR_DEMUXER_NOT_FOUND;
    last_error = open_error_message(file_name, r);
    return fail();
  }

  if (opt_programid != 0) {
    for (unsigned i = 0; i < ic->nb_programs; i++)
      if (ic->programs[i]->id != opt_programid) ic->programs[i]->discard = AVDISCARD_ALL;
  }

  {
    LibraryLockGuard lock;
    r = ff::avformat_find_stream_info(ic, nullptr);
  }
  if (stop_requested) {  // interrupted: what was read is incomplete
    last_error = open_error_message(file_name, AVERROR_EXIT);
    return fail();
  }
  if (r < 0 && verbose >= 0) {
    last_error = file_name + ": could not find codec parameters";
    return fail();
  }

  int64_t timestamp = start_time;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (start_time != 0) {
    ff::av_seek_frame(ic, -1, timestamp, AVSEEK_FLAG_BACKWARD);
    start_time = 0;
  }

  std::vector<InputStreamSetup>& setups = input_streams[idx];
  free_stream_setups(setups);
  try {
    for (unsigned i = 0; i < ic->nb_streams; i++) {
      AVStream* st = ic->streams[i];
      AVCodecParameters* par = st->codecpar;
      setups.emplace_back();
      AVCodecContext* dec = ff::avcodec_alloc_context3(nullptr);
      if (!dec) throw FFMpegException(open_error_message(file_name, AVERROR(ENOMEM)));
      setups.back().dec = dec;
      if (ff::avcodec_parameters_to_context(dec, par) < 0)
        throw FFMpegException(open_error_message(file_name, AVERROR(ENOMEM)));
      dec->pkt_timebase = st->time_base;
      dec->thread_count = thread_count;

      if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type > AVMEDIA_TYPE_ATTACHMENT)
        throw FFMpegException("invalid codec_type");

      switch (par->codec_type) {
        case AVMEDIA_TYPE_VIDEO: {
          copy_context_options(dec, codec_option_ctx[AVMEDIA_TYPE_VIDEO],
                               AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
          frame_height = dec->height;
          frame_width = dec->width;
          AVRational sar = st->sample_aspect_ratio;
          if (sar.num <= 0 || sar.den <= 0) sar = par->sample_aspect_ratio;
          double aspect = dec->width * (static_cast<double>(sar.num) / sar.den) / dec->height;
          if (aspect == 0 || !std::isfinite(aspect))
            set_frame_aspect_ratio(std::to_string(dec->width) + ":" + std::to_string(dec->height));
          else
            frame_aspect_ratio = static_cast<float>(aspect);
          if (dec->pix_fmt == AV_PIX_FMT_NONE) {
            std::string ext = lower_extension(file_name);
            if (!ext.empty() && std::string(".rmvb").compare(0, ext.size(), ext) == 0) dec->pix_fmt = AV_PIX_FMT_YUV420P;
          }
          frame_pix_fmt = dec->pix_fmt;
          frame_rate = st->r_frame_rate;
          setups.back().rate_emu = rate_emu;
          if (video_disable) st->discard = AVDISCARD_ALL;
          else if (video_discard) st->discard = static_cast<AVDiscard>(video_discard);
          break;
        }
        case AVMEDIA_TYPE_AUDIO:
          copy_context_options(dec, codec_option_ctx[AVMEDIA_TYPE_AUDIO],
                               AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
          audio_channels = dec->ch_layout.nb_channels;
          audio_sample_rate = dec->sample_rate;
          if (audio_disable) st->discard = AVDISCARD_ALL;
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          if (subtitle_disable) st->discard = AVDISCARD_ALL;
          break;
        default:
          break;
      }
    }
  } catch (...) {
    fail();
    throw;
  }

  int64_t d = ic->duration / 1000;
  if (static_cast<int64_t>(total_output_duration) < d) total_output_duration = static_cast<int>(d);

  input_files[idx] = ic;
  input_identity[idx] = identity_of(file_name);
  input_ts_offset[idx] = copy_ts ? pending_ts_offset : pending_ts_offset - timestamp;
  if (verbose >= 0) ff::av_dump_format(ic, idx, file_name.c_str(), 0);
  nb_input_files++;

  reset_per_input();
  return true;
}

int TCustomFFmpeg::input_interrupt(void* engine) {
  return static_cast<TCustomFFmpeg*>(engine)->stop_requested.load() ? 1 : 0;
}

void TCustomFFmpeg::check_audio_video_sub_inputs(bool& has_video, bool& has_audio, bool& has_subtitle) {
  has_video = has_audio = has_subtitle = false;
  for (int i = 0; i < nb_input_files; i++) {
    AVFormatContext* ic = input_files[i];
    if (!ic) continue;
    for (unsigned j = 0; j < ic->nb_streams; j++) {
      int type = ic->streams[j]->codecpar->codec_type;
      if (type < AVMEDIA_TYPE_UNKNOWN || type > AVMEDIA_TYPE_ATTACHMENT)
        throw FFMpegException("invalid codec_type of input file");
      if (type == AVMEDIA_TYPE_VIDEO) has_video = true;
      else if (type == AVMEDIA_TYPE_AUDIO) has_audio = true;
      else if (type == AVMEDIA_TYPE_SUBTITLE) has_subtitle = true;
    }
  }
}
