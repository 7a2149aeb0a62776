// TAVProbe: container and stream description without decoding.
#include "component/probe.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "binding/loader.h"
#include "engine/engine.h"

namespace {

const char* meta(const AVDictionary* dict, const char* key) {
  const AVDictionaryEntry* e = ff::av_dict_get(dict, key, nullptr, 0);  // case-insensitive
  return e && e->value ? e->value : nullptr;
}

void copy_text(char* dst, size_t size, const char* src) { std::snprintf(dst, size, "%s", src ? src : ""); }

int32_t clamp32(int64_t v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int32_t>(v);
}

// The message goes to the library log (and from there to the components).
#define PROBE_LOG(old_level, ...) ff::av_log(nullptr, klaventa::av_level_from_old(old_level), __VA_ARGS__)

}  // namespace

TAVProbe::TAVProbe() { CountStreams(); }

TAVProbe::~TAVProbe() { CloseFile(); }

void TAVProbe::CheckLibraries() {
  if (!klaventa::avcodec_bound()) throw std::runtime_error("LibAVCodec not loaded.");
  if (!klaventa::avformat_bound()) throw std::runtime_error("LibAVFormat not loaded.");
  if (!klaventa::avutil_bound()) throw std::runtime_error("LibAVUtil not loaded.");
  if (!klaventa::swscale_bound()) throw std::runtime_error("LibSwScale not loaded.");
}

bool TAVProbe::LoadFile(const std::string& FileName, const std::string& FormatName) {
  CheckLibraries();
  CloseFile();
  const AVInputFormat* fmt = nullptr;
  if (!FormatName.empty()) {
    fmt = ff::av_find_input_format(FormatName.c_str());
    if (!fmt) {
      LastError_ = "Unknown input format: " + FormatName;
      return false;
    }
  }
  AVFormatContext* ctx = ff::avformat_alloc_context();
  if (!ctx) {
    LastError_ = TCustomFFmpeg::open_error_message(FileName, AVERROR(ENOMEM));
    return false;
  }
  const int r = ff::avformat_open_input(&ctx, FileName.c_str(), fmt, nullptr);  // frees ctx on failure
  if (r < 0) {
    LastError_ = TCustomFFmpeg::open_error_message(FileName, r);
    CloseFile();
    return false;
  }
  FormatContext_ = ctx;
  int info;
  {
    LibraryLockGuard lock;  // also holds back log events until released
    info = ff::avformat_find_stream_info(ctx, nullptr);
  }
  if (info < 0) {
    LastError_ = FileName + ": could not find codec parameters";
    CloseFile();
    return false;
  }
  CountStreams();
  FormatName_ = FormatName;
  return true;
}

void TAVProbe::CloseFile() {
  FormatName_.clear();
  if (FormatContext_) ff::avformat_close_input(&FormatContext_);
  FormatContext_ = nullptr;
  CountStreams();
}

void TAVProbe::CountStreams() {
  StreamCount_ = ProgramCount_ = -1;
  AudioStreamCount_ = VideoStreamCount_ = SubtitleStreamCount_ = -1;
  FirstAudioStream_ = FirstVideoStream_ = FirstSubtitleStream_ = -1;
  if (!FormatContext_) return;
  StreamCount_ = static_cast<int>(FormatContext_->nb_streams);
  ProgramCount_ = static_cast<int>(FormatContext_->nb_programs);
  AudioStreamCount_ = VideoStreamCount_ = SubtitleStreamCount_ = 0;
  for (int i = 0; i < StreamCount_; ++i) {
    switch (FormatContext_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
        ++AudioStreamCount_;
        if (FirstAudioStream_ < 0) FirstAudioStream_ = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++SubtitleStreamCount_;
        if (FirstSubtitleStream_ < 0) FirstSubtitleStream_ = i;
        break;
      case AVMEDIA_TYPE_VIDEO:
        ++VideoStreamCount_;
        if (FirstVideoStream_ < 0) FirstVideoStream_ = i;
        break;
      default:
        break;
    }
  }
}

void TAVProbe::GetFileInfo(TAVFileInfo& Info) {
  Info = TAVFileInfo();
  if (!FormatContext_) {
    Info.StartTime = Info.Duration = Info.Timestamp = -1;
    Info.BitRate = Info.Year = Info.Track = -1;
    PROBE_LOG(1, "file not loaded.\n");
    return;
  }
  const AVFormatContext* ctx = FormatContext_;
  const AVDictionary* md = ctx->metadata;
  Info.StartTime = ctx->start_time;
  Info.Duration = ctx->duration;
  Info.BitRate = clamp32(ctx->bit_rate);
  if (const char* t = meta(md, "creation_time")) {
    int64_t us = 0;
    if (ff::av_parse_time(&us, t, 0) >= 0) Info.Timestamp = us / 1000000;
  }
  copy_text(Info.Title, sizeof Info.Title, meta(md, "title"));
  const char* author = meta(md, "author");
  copy_text(Info.Author, sizeof Info.Author, author ? author : meta(md, "artist"));
  copy_text(Info.Copyright, sizeof Info.Copyright, meta(md, "copyright"));
  copy_text(Info.Comment, sizeof Info.Comment, meta(md, "comment"));
  copy_text(Info.Album, sizeof Info.Album, meta(md, "album"));
  const char* year = meta(md, "year");
  if (!year) year = meta(md, "date");
  if (year) Info.Year = static_cast<int32_t>(std::atoi(year));  // "2007-05-01" reads 2007
  if (const char* track = meta(md, "track")) Info.Track = static_cast<int32_t>(std::atoi(track));  // "3/12" reads 3
  copy_text(Info.Genre, sizeof Info.Genre, meta(md, "genre"));
}

void TAVProbe::GetStreamVideoInfo(int Index, TAVVideoInfo& Info) {
  Info = TAVVideoInfo();
  if (!FormatContext_) {
    PROBE_LOG(1, "file not loaded.\n");
    return;
  }
  if (Index < 0) {
    Index = FirstVideoStream_;
    if (Index < 0) {
      PROBE_LOG(0, "no video stream.\n");
      return;
    }
  }
  if (Index >= StreamCount_) {
    PROBE_LOG(0, "stream index #%d is invalid.\n", Index);
    return;
  }
  const AVStream* st = FormatContext_->streams[Index];
  const AVCodecParameters* par = st->codecpar;
  if (par->codec_type != AVMEDIA_TYPE_VIDEO) {
    PROBE_LOG(0, "stream #%d is not video stream.\n", Index);
    return;
  }
  copy_text(Info.Language, sizeof Info.Language, meta(st->metadata, "language"));
  copy_text(Info.CodecName, sizeof Info.CodecName, ff::avcodec_get_name(par->codec_id));
  const AVRational us = {1, 1000000};
  Info.StartTime = st->start_time;
  if (st->start_time != AV_NOPTS_VALUE) Info.StartTimeUs = ff::av_rescale_q(st->start_time, st->time_base, us);
  Info.Duration = st->duration;
  if (st->duration != AV_NOPTS_VALUE) Info.DurationUs = ff::av_rescale_q(st->duration, st->time_base, us);
  Info.BitRate = clamp32(par->bit_rate);
  Info.Height = par->height;
  Info.Width = par->width;
  const AVRational sar = par->sample_aspect_ratio;
  Info.DisplayAspectRatio =
      sar.num == 0 ? 0.0f
                   : static_cast<float>(par->width * (static_cast<double>(sar.num) / sar.den) / par->height);
  Info.PixFmt = par->format;
  Info.FrameRateNum = st->r_frame_rate.num;
  Info.FrameRateDen = st->r_frame_rate.den;
}
