// Progress reports and per-frame video statistics. Conversion thread only.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "engine/engine.h"

namespace {

// Appends printf-style text to a 1024-character line, cut at its end.
void append(std::string& line, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  line += buf;
  if (line.size() > 1023) line.resize(1023);
}

double psnr(double d) { return -10.0 * std::log10(d); }

}  // namespace

void TCustomFFmpeg::print_report(bool is_last) {
  if (nb_output_files <= 0 || ost_table.empty()) return;
  AVFormatContext* oc = output_files[0];
  int64_t total_size = 0;
  if (oc->pb) {
    // The size on disk lags behind what sits in the write buffer.
    total_size = std::max<int64_t>(ff::avio_size(oc->pb), ff::avio_seek(oc->pb, 0, SEEK_CUR));
  }

  int frame_number = -1, fps = -1;
  float q = -1.0f;
  std::string line;
  double ti1 = 1e10;
  bool seen_video = false, any_time = false;

  for (auto& ost : ost_table) {
    const AVCodecContext* enc = ost->enc;
    const AVMediaType type = enc ? enc->codec_type : ost->st->codecpar->codec_type;
    const bool copy = ost->setup && ost->setup->stream_copy;
    if (type == AVMEDIA_TYPE_VIDEO) {
      const float quality = copy ? -1.0f : ost->coded_quality / static_cast<float>(FF_QP2LAMBDA);
      if (seen_video) {
        append(line, "q=%2.1f ", quality);
      } else {
        const float t = static_cast<float>(ff::av_gettime_relative() - timer_start) / 1000000.0f;
        frame_number = ost->frame_number;
        if (frame_number < 1) return;
        fps = t > 1 ? static_cast<int>(frame_number / t + 0.5f) : 0;
        q = quality;
        append(line, "frame=%5d fps=%3d q=%3.1f ", frame_number, fps, q);
        if (is_last) append(line, "L");
        if (qp_hist) {
          const int qp = static_cast<int>(std::lrintf(ost->coded_quality / static_cast<float>(FF_QP2LAMBDA)));
          if (qp >= 0 && qp < 52) qp_histogram[qp]++;
          for (int j = 0; j < 32; j++)
            append(line, "%X", static_cast<int>(std::lrint(std::log2(qp_histogram[j] + 1.0))));
        }
        if (enc && (enc->flags & AV_CODEC_FLAG_PSNR)) {
          double error_sum = 0, scale_sum = 0;
          static const char letters[] = {'Y', 'U', 'V'};
          append(line, "PSNR=");
          for (int j = 0; j < 3; j++) {
            double error = static_cast<double>(is_last ? ost->error_sum[j] : ost->coded_error[j]);
            double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
            if (is_last) scale *= frame_number;
            if (j) scale /= 4;
            error_sum += error;
            scale_sum += scale;
            append(line, "%c:%2.2f ", letters[j], psnr(error / scale));
          }
          append(line, "*:%2.2f ", psnr(error_sum / scale_sum));
        }
        seen_video = true;
      }
    }
    const double pts = static_cast<double>(ost->written_end) * av_q2d(ost->st->time_base);
    if (pts > 0 && pts < ti1) {
      ti1 = pts;
      any_time = true;
    }
  }
  if (ti1 < 0.01) ti1 = 0.01;

  if (OnProgress || verbose > 0 || is_last) {
    const double bitrate = static_cast<double>(total_size) * 8 / ti1 / 1000.0;
    append(line, "size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", total_size / 1024.0, ti1, bitrate);
    if (verbose > 1) append(line, " dup=%d drop=%d", nb_frames_dup, nb_frames_drop);
    if (OnProgress) {
      // Until some output stream has a time, the duration is 0 (not the 1e10 placeholder).
      const int current_ms = any_time ? static_cast<int>(static_cast<int64_t>(ti1 * 1000)) : 0;
      OnProgress(frame_number, fps, current_ms, q, static_cast<float>(bitrate), total_size, total_output_duration);
    } else if (verbose >= 0 && OnLog) {
      log(1, line);
    }
  }

  if (is_last && verbose >= 0 && OnLog) {
    const double raw = static_cast<double>(video_size + audio_size + extra_size);
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                  video_size / 1024.0, audio_size / 1024.0, extra_size / 1024.0,
                  (static_cast<double>(total_size) - raw) * 100.0 / raw);
    log(1, buf);
  }
}

void TCustomFFmpeg::do_video_stats(AVFormatContext*, OutputStream* ost, int frame_size) {
  if (!vstats_file) {
    const std::string name = vstats_filename ? vstats_filename : "";
    vstats_file = std::fopen(name.c_str(), "w");
    if (!vstats_file) throw FFMpegException("fopen fail: " + name);
  }
  const AVCodecContext* enc = ost->enc;
  if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;

  std::fprintf(vstats_file, "frame= %5d q= %2.1f ", ost->frame_number,
               ost->coded_quality / static_cast<double>(FF_QP2LAMBDA));
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    std::fprintf(vstats_file, "PSNR= %6.2f ",
                 psnr(static_cast<double>(ost->coded_error[0]) / (enc->width * enc->height * 255.0 * 255.0)));
  std::fprintf(vstats_file, "f_size= %6d ", frame_size);
  const double tb = av_q2d(enc->time_base);
  double ti1 = static_cast<double>(ost->sync_opts) * tb;
  if (ti1 < 0.01) ti1 = 0.01;
  const double bitrate = frame_size * 8 / tb / 1000.0;
  const double avg = static_cast<double>(video_size) * 8 / ti1 / 1000.0;
  std::fprintf(vstats_file, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               video_size / 1024.0, ti1, bitrate, avg);
  std::fprintf(vstats_file, "type= %c\n",
               ff::av_get_picture_type_char(static_cast<AVPictureType>(ost->coded_pict_type)));
}
