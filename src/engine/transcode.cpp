// The conversion run: set-up of the per-run records, the packet loop with
// decoding and stream copy, the end-of-stream flush, trailers and closing.
// Runs on the conversion thread.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/intreadwrite.h>
}

#include "binding/loader.h"
#include "engine/engine.h"

namespace {

AVMediaType ost_type(const OutputStream* ost) {
  if (ost->enc) return ost->enc->codec_type;
  return ost->st->codecpar->codec_type;
}

AVMediaType ist_type(const InputStream* ist) { return ist->st->codecpar->codec_type; }

bool is_copy(const OutputStream* ost) { return ost->setup && ost->setup->stream_copy; }

// Frees everything the per-run records hold and empties the tables. Codecs
// still open are closed first through the opened lists, because those lists
// point into the records.
void release_run(TCustomFFmpeg& e) {
  e.close_leftover_codecs();
  for (auto& ost : e.ost_table) {
    if (!ost) continue;
    if (ost->logfile) std::fclose(ost->logfile);
    ost->logfile = nullptr;
    if (ost->setup && ost->setup->enc) ff::av_freep(&ost->setup->enc->stats_in);
    ff::av_fifo_freep2(&ost->fifo);
    ff::av_frame_free(&ost->pict_tmp);
    ff::sws_freeContext(ost->img_resample_ctx);
    ost->img_resample_ctx = nullptr;
    ff::swr_free(&ost->resample);
    ff::swr_free(&ost->direct);
    if (ost->direct_fifo) ff::av_audio_fifo_free(ost->direct_fifo);
    ost->direct_fifo = nullptr;
    ff::av_frame_free(&ost->direct_buf);
    ff::av_frame_free(&ost->audio_frame);
    ff::av_packet_free(&ost->pkt);
  }
  for (auto& ist : e.ist_table) {
    if (!ist) continue;
    ff::swr_free(&ist->to_s16);
    ff::av_frame_free(&ist->frame_buf);
  }
  e.ost_table.clear();
  e.ist_table.clear();
  e.file_table.clear();
}

struct RunRecords {
  TCustomFFmpeg& e;
  ~RunRecords() { release_run(e); }
};

struct PacketHolder {
  AVPacket* p;
  PacketHolder() : p(ff::av_packet_alloc()) {}
  ~PacketHolder() { ff::av_packet_free(&p); }
};

// Tags the output muxer can take for a copied stream: the input's tag when the
// muxer has no table, when its table gives the same codec for it, or when the
// table has no tag at all for the codec.
uint32_t copy_tag(const AVOutputFormat* fmt, const AVCodecParameters* par) {
  if (!par->codec_tag) return 0;
  if (!fmt->codec_tag) return par->codec_tag;
  if (ff::av_codec_get_id(fmt->codec_tag, par->codec_tag) == par->codec_id) return par->codec_tag;
  if (ff::av_codec_get_tag(fmt->codec_tag, par->codec_id) == 0) return par->codec_tag;
  return 0;
}

}  // namespace

void TCustomFFmpeg::transcode() {
  RunRecords records{*this};

  // Input files and streams.
  file_table.assign(nb_input_files, InputFile{});
  int nb_istreams = 0;
  for (int i = 0; i < nb_input_files; i++) {
    file_table[i].ist_index = nb_istreams;
    file_table[i].nb_streams = static_cast<int>(input_files[i]->nb_streams);
    nb_istreams += file_table[i].nb_streams;
  }
  ist_table.clear();
  for (int i = 0; i < nb_input_files; i++) {
    for (int k = 0; k < file_table[i].nb_streams; k++) {
      auto ist = std::make_unique<InputStream>();
      ist->st = input_files[i]->streams[k];
      ist->file_index = i;
      ist->index = k;
      ist->discard = true;
      if (k < static_cast<int>(input_streams[i].size())) {
        ist->dec = input_streams[i][k].dec;
        ist->rate_emu = input_streams[i][k].rate_emu;
      }
      if (ist->rate_emu) {
        ist->start = ff::av_gettime_relative();
        ist->frame = 0;
      }
      ist_table.push_back(std::move(ist));
    }
  }

  // Output count and map validation.
  int nb_ostreams = 0;
  for (int i = 0; i < nb_output_files; i++) {
    if (output_files[i]->nb_streams == 0) throw FFMpegException("Output file does not contain any stream");
    nb_ostreams += static_cast<int>(output_files[i]->nb_streams);
  }
  if (nb_stream_maps > 0 && nb_stream_maps != nb_ostreams)
    throw FFMpegException("Number of stream maps must match number of output streams");
  auto valid_input = [&](int f, int s) { return f >= 0 && f < nb_input_files && s >= 0 && s < file_table[f].nb_streams; };
  for (int i = 0; i < nb_stream_maps; i++) {
    const StreamMap& m = stream_maps[i];
    if (!valid_input(m.file_index, m.stream_index))
      throw FFMpegException(format_text("Could not find input stream #%d.%d", m.file_index, m.stream_index));
    if (!valid_input(m.sync_file_index, m.sync_stream_index))
      throw FFMpegException(format_text("Could not find sync stream #%d.%d", m.sync_file_index, m.sync_stream_index));
  }

  // Output streams and their sources.
  ost_table.clear();
  int n = 0;
  for (int i = 0; i < nb_output_files; i++) {
    AVFormatContext* oc = output_files[i];
    for (unsigned k = 0; k < oc->nb_streams; k++, n++) {
      auto ost = std::make_unique<OutputStream>();
      ost->file_index = i;
      ost->index = static_cast<int>(k);
      ost->st = oc->streams[k];
      if (k < output_streams[i].size()) {
        ost->setup = &output_streams[i][k];
        ost->enc = ost->setup->enc;
      }
      ost->pkt = ff::av_packet_alloc();
      if (!ost->pkt) throw FFMpegException("av_mallocz fail");
      const AVMediaType type = ost_type(ost.get());
      InputStream* source = nullptr;
      if (nb_stream_maps > 0) {
        const StreamMap& m = stream_maps[n];
        ost->source_index = file_table[m.file_index].ist_index + m.stream_index;
        source = ist_table[ost->source_index].get();
        if (ist_type(source) != type) {
          ff::av_dump_format(oc, i, oc->url, 1);
          throw FFMpegException(format_text("Codec type mismatch for mapping #%d.%d -> #%d.%d", m.file_index,
                                       m.stream_index, ost->file_index, ost->index));
        }
      } else {
        if (opt_programid) {
          for (int j = 0; j < nb_input_files && !source; j++) {
            AVFormatContext* ic = input_files[j];
            for (unsigned p = 0; p < ic->nb_programs && !source; p++) {
              const AVProgram* prog = ic->programs[p];
              if (prog->id != opt_programid) continue;
              for (unsigned q = 0; q < prog->nb_stream_indexes; q++) {
                const int idx = file_table[j].ist_index + static_cast<int>(prog->stream_index[q]);
                InputStream* cand = ist_table[idx].get();
                if (cand->discard && ist_type(cand) == type) {
                  source = cand;
                  ost->source_index = idx;
                  break;
                }
              }
            }
          }
        } else {
          for (int j = 0; j < nb_istreams; j++) {
            InputStream* cand = ist_table[j].get();
            if (cand->discard && ist_type(cand) == type) {
              source = cand;
              ost->source_index = j;
              break;
            }
          }
          if (!source) {
            for (int j = nb_istreams - 1; j >= 0; j--) {
              if (ist_type(ist_table[j].get()) == type) {
                source = ist_table[j].get();
                ost->source_index = j;
                break;
              }
            }
          }
        }
        if (!source) {
          ff::av_dump_format(oc, i, oc->url, 1);
          throw FFMpegException(format_text("Could not find input stream matching output stream #%d.%d",
                                       ost->file_index, ost->index));
        }
      }
      source->discard = false;
      if (nb_stream_maps > 0) {
        const StreamMap& m = stream_maps[n];
        ost->sync_ist = ist_table[file_table[m.sync_file_index].ist_index + m.sync_stream_index].get();
      } else {
        ost->sync_ist = source;
      }
      ost_table.push_back(std::move(ost));
    }
  }

  // Codec parameters: copy or re-encode.
  for (int n2 = 0; n2 < nb_ostreams; n2++) {
    OutputStream* ost = ost_table[n2].get();
    InputStream* ist = ist_table[ost->source_index].get();
    AVStream* st = ost->st;
    AVCodecContext* enc = ost->enc;
    AVCodecContext* dec = ist->dec;
    const AVMediaType type = ost_type(ost);

    const bool has_language = ff::av_dict_get(st->metadata, "language", nullptr, 0) ||
                              (ost->setup && !ost->setup->language.empty());
    if (!has_language) {
      if (const AVDictionaryEntry* lang = ff::av_dict_get(ist->st->metadata, "language", nullptr, 0))
        ff::av_dict_set(&st->metadata, "language", lang->value, 0);
    }
    st->disposition = ist->st->disposition;

    if (is_copy(ost)) {
      const AVCodecParameters* ipar = ist->st->codecpar;
      const uint32_t user_tag = enc ? enc->codec_tag : 0;
      if (ff::avcodec_parameters_copy(st->codecpar, ipar) < 0) throw FFMpegException("av_mallocz fail");
      st->codecpar->codec_tag = user_tag ? user_tag : copy_tag(output_files[ost->file_index]->oformat, ipar);
      // The decoder has no time base of its own now: the frame or sample period stands for it.
      AVRational dec_tb{0, 1};
      if (ipar->codec_type == AVMEDIA_TYPE_VIDEO) {
        AVRational fr = ist->st->r_frame_rate.num ? ist->st->r_frame_rate : ist->st->avg_frame_rate;
        if (fr.num > 0 && fr.den > 0) dec_tb = av_inv_q(fr);
      } else if (ipar->codec_type == AVMEDIA_TYPE_AUDIO && ipar->sample_rate > 0) {
        dec_tb = AVRational{1, ipar->sample_rate};
      }
      const double stb = av_q2d(ist->st->time_base);
      st->time_base = (dec_tb.num && av_q2d(dec_tb) > stb && stb < 0.001) ? dec_tb : ist->st->time_base;
      switch (type) {
        case AVMEDIA_TYPE_AUDIO:
          if (audio_volume != 256)
            throw FFMpegException("-acodec copy and -vol are incompatible (frames are not decoded)");
          if ((st->codecpar->block_align == 1 && st->codecpar->codec_id == AV_CODEC_ID_MP3) ||
              st->codecpar->codec_id == AV_CODEC_ID_AC3)
            st->codecpar->block_align = 0;
          break;
        case AVMEDIA_TYPE_VIDEO:
          if (OnCustomHook)
            throw FFMpegException("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
          if (using_vhook) throw FFMpegException("-vcodec copy and -vhook are incompatible (frames are not decoded)");
          break;
        case AVMEDIA_TYPE_SUBTITLE:
          break;
        default:
          throw FFMpegException("invalid codec_type of output stream");
      }
    } else {
      if (!enc || !dec) throw FFMpegException("invalid codec_type of output stream");
      switch (type) {
        case AVMEDIA_TYPE_AUDIO:
          ost->fifo = ff::av_fifo_alloc2(1024, 1, AV_FIFO_FLAG_AUTO_GROW);
          if (!ost->fifo) throw FFMpegException("av_fifo_init fail");
          ost->audio_resample = enc->sample_rate != dec->sample_rate || audio_sync_method > 1;
          // Channel conversion is the resampler's job (the decoders' downmix request is gone).
          ist->decoding_needed = true;
          ost->encoding_needed = true;
          break;
        case AVMEDIA_TYPE_VIDEO: {
          ost->video_crop = (frame_topband + frame_bottomband + frame_leftband + frame_rightband) != 0;
          ost->video_pad = (frame_padtop + frame_padbottom + frame_padleft + frame_padright) != 0;
          ost->video_resample =
              enc->width != dec->width - (frame_leftband + frame_rightband) + (frame_padleft + frame_padright) ||
              enc->height != dec->height - (frame_topband + frame_bottomband) + (frame_padtop + frame_padbottom) ||
              enc->pix_fmt != dec->pix_fmt;
          if (ost->video_crop) {
            ost->top_band = frame_topband;
            ost->left_band = frame_leftband;
          }
          auto alloc_tmp = [&](const char* message) {
            ost->pict_tmp = ff::av_frame_alloc();
            if (!ost->pict_tmp) throw FFMpegException(message);
            ost->pict_tmp->format = enc->pix_fmt;
            ost->pict_tmp->width = enc->width;
            ost->pict_tmp->height = enc->height;
            if (ff::av_frame_get_buffer(ost->pict_tmp, 0) < 0) throw FFMpegException(message);
          };
          if (ost->video_pad) {
            ost->pad_top = frame_padtop;
            ost->pad_bottom = frame_padbottom;
            ost->pad_left = frame_padleft;
            ost->pad_right = frame_padright;
            if (!ost->video_resample) alloc_tmp("avpicture_alloc fail");
          }
          if (ost->video_resample) {
            alloc_tmp("Cannot allocate temp picture, check pix fmt");
            int64_t flags = sws_flags;
            if (scaler_option_ctx && ff::av_opt_get_int(scaler_option_ctx, "sws_flags", 0, &flags) >= 0)
              sws_flags = static_cast<int>(flags);
            // An unknown source format trips an assertion inside the scaler.
            if (!ff::av_pix_fmt_desc_get(dec->pix_fmt)) throw FFMpegException("Cannot get resampling context");
            ost->img_resample_ctx = ff::sws_getContext(
                dec->width - frame_leftband - frame_rightband, dec->height - frame_topband - frame_bottomband,
                dec->pix_fmt, enc->width - frame_padleft - frame_padright,
                enc->height - frame_padtop - frame_padbottom, enc->pix_fmt, sws_flags, nullptr, nullptr, nullptr);
            if (!ost->img_resample_ctx) throw FFMpegException("Cannot get resampling context");
            ost->resample_height = dec->height - frame_topband - frame_bottomband;
            // The scaler reads pictures of exactly this geometry.
            ost->src_width = dec->width;
            ost->src_height = dec->height;
            ost->src_pix_fmt = dec->pix_fmt;
          }
          ost->encoding_needed = true;
          ist->decoding_needed = true;
          break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
          ost->encoding_needed = true;
          ist->decoding_needed = true;
          break;
        default:
          throw FFMpegException("invalid codec_type of output stream");
      }
      // Two-pass statistics.
      if (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) {
        std::string name = (pass_logfilename.empty() ? std::string("ffmpeg2pass") : pass_logfilename) + "-" +
                            std::to_string(n2) + ".log";
        if (name.size() > 1023) name.resize(1023);
        if (enc->flags & AV_CODEC_FLAG_PASS1) {
          ost->logfile = std::fopen(name.c_str(), "w");
          if (!ost->logfile) throw FFMpegException("creat file fail: " + name);
        } else {
          FILE* f = std::fopen(name.c_str(), "rb");
          if (!f) throw FFMpegException("creat open fail: " + name);
          std::fseek(f, 0, SEEK_END);
          long size = std::ftell(f);
          std::fseek(f, 0, SEEK_SET);
          if (size < 0) size = 0;
          char* buf = static_cast<char*>(ff::av_malloc(static_cast<size_t>(size) + 1));
          if (!buf) {
            std::fclose(f);
            throw FFMpegException("Could not allocate log buffer");
          }
          const size_t got = std::fread(buf, 1, static_cast<size_t>(size), f);
          std::fclose(f);
          buf[got] = 0;
          ff::av_freep(&enc->stats_in);
          enc->stats_in = buf;
        }
      }
    }
    if (type == AVMEDIA_TYPE_VIDEO) {
      const int w = enc ? enc->width : st->codecpar->width, h = enc ? enc->height : st->codecpar->height;
      const int64_t need = 4LL * w * h;
      if (need > bit_buffer_size && need <= INT32_MAX) bit_buffer_size = static_cast<int>(need);
    }
  }

  // Encoded streams show their parameters in the summary before the encoders open.
  for (auto& ost : ost_table)
    if (ost->encoding_needed) ff::avcodec_parameters_from_context(ost->st->codecpar, ost->enc);
  for (int i = 0; i < nb_output_files; i++) ff::av_dump_format(output_files[i], i, output_files[i]->url, 1);

  if (verbose >= 0 && OnLog) {
    log(1, "Stream mapping:");
    for (auto& ost : ost_table) {
      const InputStream* src = ist_table[ost->source_index].get();
      log(1, format_text("  Stream #%d.%d -> #%d.%d", src->file_index, src->index, ost->file_index, ost->index));
      if (ost->sync_ist != src) log(1, format_text(" [sync #%d.%d]", ost->sync_ist->file_index, ost->sync_ist->index));
    }
  }

  auto open_decoder = [this](InputStream* ist) {
    if (ist->frame_buf) return;  // already open
    AVCodecContext* dec = ist->dec;
    const AVCodec* codec = ff::avcodec_find_decoder(dec->codec_id);
    if (!codec)
      throw FFMpegException(format_text("Unsupported codec (id=%d) for input stream #%d.%d", static_cast<int>(dec->codec_id),
                                   ist->file_index, ist->index));
    int ret;
    {
      LibraryLockGuard lock;
      ret = ff::avcodec_open2(dec, codec, nullptr);
      if (ret >= 0) add_opened_decoder(ist);
    }
    if (ret < 0)
      throw FFMpegException(format_text("Error while opening codec for input stream #%d.%d", ist->file_index, ist->index));
    ist->frame_buf = ff::av_frame_alloc();
    if (!ist->frame_buf) throw FFMpegException("av_mallocz fail");
  };

  // Encoders.
  for (auto& ost : ost_table) {
    if (!ost->encoding_needed) continue;
    AVCodecContext* enc = ost->enc;
    const AVCodec* codec = enc->codec ? enc->codec : ff::avcodec_find_encoder(enc->codec_id);
    if (!codec || !ff::av_codec_is_encoder(codec))
      throw FFMpegException(format_text("Unsupported codec for output stream #%d.%d", ost->file_index, ost->index));
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE && (enc->time_base.num <= 0 || enc->time_base.den <= 0))
      enc->time_base = ist_table[ost->source_index]->st->time_base;  // encoders refuse to open without one
    if (enc->codec_type == AVMEDIA_TYPE_SUBTITLE && !enc->subtitle_header) {
      // Text subtitle encoders start from the style header their decoder makes when it opens.
      InputStream* ist = ist_table[ost->source_index].get();
      open_decoder(ist);
      if (ist->dec->subtitle_header) {
        enc->subtitle_header = static_cast<uint8_t*>(ff::av_mallocz(ist->dec->subtitle_header_size + 1));
        if (!enc->subtitle_header) throw FFMpegException("av_mallocz fail");
        std::memcpy(enc->subtitle_header, ist->dec->subtitle_header, ist->dec->subtitle_header_size);
        enc->subtitle_header_size = ist->dec->subtitle_header_size;
      }
    }
    int ret;
    {
      LibraryLockGuard lock;
      ret = ff::avcodec_open2(enc, codec, &ost->setup->codec_opts);
      if (ret >= 0) add_opened_encoder(ost.get());
    }
    if (ret < 0)
      throw FFMpegException(format_text("Error while opening codec for output stream #%d.%d - maybe incorrect "
                                   "parameters such as bit_rate, rate, width or height",
                                   ost->file_index, ost->index));
    extra_size += enc->extradata_size;
    if (ff::avcodec_parameters_from_context(ost->st->codecpar, enc) < 0)
      throw FFMpegException(format_text("Error while opening codec for output stream #%d.%d - maybe incorrect "
                                   "parameters such as bit_rate, rate, width or height",
                                   ost->file_index, ost->index));
    ost->st->time_base = enc->time_base;
  }

  // Decoders.
  for (auto& ist : ist_table)
    if (ist->decoding_needed) open_decoder(ist.get());

  for (auto& ist : ist_table) {
    ist->pts = 0;
    ist->next_pts = AV_NOPTS_VALUE;
    ist->is_start = true;
  }

  // Meta-data maps.
  for (int i = 0; i < nb_meta_data_maps; i++) {
    const MetaDataMap& m = meta_data_maps[i];
    if (m.out_file < 0 || m.out_file >= nb_output_files)
      throw FFMpegException(
          format_text("Invalid output file index %d map_meta_data(%d,%d)", m.out_file, m.out_file, m.in_file));
    if (m.in_file < 0 || m.in_file >= nb_input_files)
      throw FFMpegException(format_text("Invalid input file index %d map_meta_data(%d,%d)", m.in_file, m.out_file, m.in_file));
    static const char* const keys[] = {"title", "artist", "author",  "copyright", "comment",
                                       "album", "date",   "year",    "track",     "genre"};
    for (const char* key : keys) {
      if (const AVDictionaryEntry* t = ff::av_dict_get(input_files[m.in_file]->metadata, key, nullptr, 0))
        ff::av_dict_set(&output_files[m.out_file]->metadata, key, t->value, 0);
    }
  }

  // Headers.
  bool want_sdp = true;
  for (int i = 0; i < nb_output_files; i++) {
    AVFormatContext* oc = output_files[i];
    if (ff::avformat_write_header(oc, &mux_opts[i]) < 0)
      throw FFMpegException(format_text("Could not write header for output file #%d (incorrect codec parameters ?)", i));
    if (std::strcmp(oc->oformat->name, "rtp") != 0) want_sdp = false;
  }
  if (want_sdp && OnLog) {
    char sdp[2048] = {0};
    ff::av_sdp_create(output_files, nb_output_files, sdp, sizeof sdp);
    std::string text = sdp;
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    size_t b = 0;
    while (b < text.size() && blank(text[b])) b++;
    log(1, "SDP: " + text.substr(b));
  }

  timer_start = ff::av_gettime_relative();
  last_report_time = timer_start;

  // Packet loop.
  PacketHolder holder;
  AVPacket* pkt = holder.p;
  if (!pkt) throw FFMpegException("av_mallocz fail");
  for (;;) {
    wait_if_paused();
    if (stop_requested) break;

    double ipts_min = 1e100, opts_min = 1e100;
    int file_index = -1;
    for (auto& ost : ost_table) {
      const InputStream* ist = ist_table[ost->source_index].get();
      double opts;
      // Encoded video counts frames in the encoder's time base; every other
      // stream (copied video too) is as far as its last muxed packet.
      if (ost_type(ost.get()) == AVMEDIA_TYPE_VIDEO && ost->encoding_needed)
        opts = static_cast<double>(ost->sync_opts) * av_q2d(ost->enc->time_base);
      else
        opts = static_cast<double>(ost->written_end) * av_q2d(ost->st->time_base);
      const double ipts = static_cast<double>(ist->pts);
      if (!file_table[ist->file_index].eof_reached) {
        if (ipts < ipts_min) {
          ipts_min = ipts;
          if (input_sync) file_index = ist->file_index;
        }
        if (opts < opts_min) {
          opts_min = opts;
          if (!input_sync) file_index = ist->file_index;
        }
      }
      const int t = ost_type(ost.get());
      if (t >= 0 && t < 4 && ost->frame_number >= max_frames[t]) {
        file_index = -1;
        break;
      }
    }
    if (file_index < 0) break;
    if (opts_min >= static_cast<double>(recording_time) / 1000000.0) break;
    if (limit_filesize != 0 && output_files[0]->pb &&
        limit_filesize < ff::avio_seek(output_files[0]->pb, 0, SEEK_CUR))
      break;

    AVFormatContext* ic = input_files[file_index];
    if (ff::av_read_frame(ic, pkt) < 0) {
      file_table[file_index].eof_reached = true;
      if (opt_shortest) break;
      continue;
    }
    if (do_pkt_dump)
      ff::av_pkt_dump_log2(nullptr, klaventa::av_level_from_old(2), pkt, do_hex_dump, ic->streams[pkt->stream_index]);

    if (pkt->stream_index < file_table[file_index].nb_streams) {
      const int ist_index = file_table[file_index].ist_index + pkt->stream_index;
      InputStream* ist = ist_table[ist_index].get();
      if (!ist->discard) {
        const AVRational tb = ist->st->time_base;
        const int64_t offset = ff::av_rescale_q(input_ts_offset[file_index], AV_TIME_BASE_Q, tb);
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += offset;
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += offset;
        if (pkt->stream_index < MAX_STREAMS) {
          const double scale = input_ts_scale[file_index][pkt->stream_index];
          if (scale != 0) {
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::llrint(static_cast<double>(pkt->pts) * scale);
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::llrint(static_cast<double>(pkt->dts) * scale);
          }
        }
        // Discontinuity: a jump beyond the threshold, or dts going back behind
        // the previous packet (both in microseconds).
        if (pkt->dts != AV_NOPTS_VALUE && ist->next_pts != AV_NOPTS_VALUE) {
          const int64_t pkt_dts = ff::av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);
          const int64_t delta = pkt_dts - ist->next_pts;
          const bool back = ist->last_dts != AV_NOPTS_VALUE && pkt_dts + 1 < ist->last_dts;
          if ((std::llabs(delta) > static_cast<int64_t>(dts_delta_threshold * 1000000.0) || back) && !copy_ts) {
            input_ts_offset[ist->file_index] -= delta;
            if (verbose > 2 && OnLog)
              log(1, format_text("timestamp discontinuity %" PRId64 ", new offset= %" PRId64, delta,
                            input_ts_offset[ist->file_index]));
            const int64_t d = ff::av_rescale_q(delta, AV_TIME_BASE_Q, tb);
            pkt->dts -= d;
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= d;
          }
        }
        if (pkt->dts != AV_NOPTS_VALUE) ist->last_dts = ff::av_rescale_q(pkt->dts, tb, AV_TIME_BASE_Q);

        if (output_packet(ist, ist_index, pkt) < 0) {
          if (verbose >= 0 && OnLog)
            log(1, format_text("Error while decoding stream #%d.%d", ist->file_index, ist->index));
          ff::av_packet_unref(pkt);
          continue;
        }
      }
    }
    ff::av_packet_unref(pkt);

    const int64_t now = ff::av_gettime_relative();
    if (now - last_report_time > progress_interval) {
      last_report_time = now;
      print_report(false);
    }
  }

  // End of input: drain the decoders and flush the encoders.
  for (int i = 0; i < static_cast<int>(ist_table.size()); i++)
    if (ist_table[i]->decoding_needed) output_packet(ist_table[i].get(), i, nullptr);

  int trailer_error = 0;
  for (int i = 0; i < nb_output_files; i++) {
    const int ret = ff::av_write_trailer(output_files[i]);
    if (ret < 0 && !trailer_error) trailer_error = ret;
  }
  // A trailer that could not be written leaves a broken file: that is a failure.
  if (trailer_error) throw FFMpegException(open_error_message("av_write_trailer()", trailer_error));

  print_report(true);

  for (auto& ost : ost_table) {
    if (!ost->encoding_needed || !ost->setup) continue;
    if (ost->setup->enc) ff::av_freep(&ost->setup->enc->stats_in);
    LibraryLockGuard lock;
    ff::avcodec_free_context(&ost->setup->enc);
    ost->enc = nullptr;
    remove_opened_encoder(ost.get());
  }
  for (auto& ist : ist_table) {
    if (!ist->decoding_needed) continue;
    LibraryLockGuard lock;
    if (ist->file_index < nb_input_files && ist->index < static_cast<int>(input_streams[ist->file_index].size()))
      ff::avcodec_free_context(&input_streams[ist->file_index][ist->index].dec);
    ist->dec = nullptr;
    remove_opened_decoder(ist.get());
  }
  finished = !stop_requested;
}

// Converts a decoded audio frame to interleaved s16 in audio_buf; returns the byte count.
static int frame_to_s16(TCustomFFmpeg& e, InputStream* ist, const AVFrame* frame) {
  const int channels = frame->ch_layout.nb_channels;
  const int nb = frame->nb_samples;
  if (channels <= 0 || nb <= 0) return 0;
  const size_t bytes = static_cast<size_t>(nb) * channels * 2;
  if (e.audio_buf.size() < bytes) e.audio_buf.resize(std::max<size_t>(bytes, 192000));
  if (frame->format == AV_SAMPLE_FMT_S16) {
    std::memcpy(e.audio_buf.data(), frame->extended_data[0], bytes);
    return static_cast<int>(bytes);
  }
  if (!ist->to_s16 || ist->to_s16_format != frame->format || ist->to_s16_rate != frame->sample_rate ||
      ist->to_s16_channels != channels) {
    ff::swr_free(&ist->to_s16);
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
      ff::av_channel_layout_default(&layout, channels);
    else
      ff::av_channel_layout_copy(&layout, &frame->ch_layout);
    int ret = ff::swr_alloc_set_opts2(&ist->to_s16, &layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &layout,
                                      static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    ff::av_channel_layout_uninit(&layout);
    if (ret >= 0) ret = ff::swr_init(ist->to_s16);
    if (ret < 0) {
      ff::swr_free(&ist->to_s16);
      return -1;
    }
    ist->to_s16_format = frame->format;
    ist->to_s16_rate = frame->sample_rate;
    ist->to_s16_channels = channels;
  }
  uint8_t* out = e.audio_buf.data();
  const int got = ff::swr_convert(ist->to_s16, &out, nb, const_cast<const uint8_t**>(frame->extended_data), nb);
  if (got < 0) return -1;
  return got * channels * 2;
}

// Handles one decoded frame (audio or video) of ist for every output it feeds.
// Returns false when the frame cannot be used.
static bool handle_frame(TCustomFFmpeg& e, InputStream* ist, int ist_index, AVFrame* frame) {
  AVCodecContext* dec = ist->dec;
  int data_size = 0;
  const bool direct = e.audio_direct();
  if (dec->codec_type == AVMEDIA_TYPE_AUDIO) {
    data_size = direct ? frame->nb_samples : frame_to_s16(e, ist, frame);
    if (data_size < 0) return false;
    // The frame's own time where it has one (decoders that skip their start
    // delay move it), else where the previous frame ended.
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
      ist->pts = ff::av_rescale_q(frame->best_effort_timestamp, ist->st->time_base, AV_TIME_BASE_Q);
    else
      ist->pts = ist->next_pts;
    ist->next_pts = ist->pts;
    if (frame->sample_rate > 0) ist->next_pts += 1000000LL * frame->nb_samples / frame->sample_rate;
    if (data_size == 0) return true;
    if (!direct && e.audio_volume != 256) {
      auto* s = reinterpret_cast<int16_t*>(e.audio_buf.data());
      const int vol = e.audio_volume;
      for (int i = 0, n = data_size / 2; i < n; i++) {
        int v = (s[i] * vol + 128) >> 8;
        s[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
      }
    }
  } else {
    ist->quality = static_cast<float>(frame->quality);
    const AVRational tb = ist->st->time_base;
    int64_t duration = 0;
    if (frame->pkt_duration > 0) {
      duration = ff::av_rescale_q(frame->pkt_duration, tb, AV_TIME_BASE_Q);
    } else {
      AVRational fr = dec->framerate.num > 0 ? dec->framerate
                      : ist->st->r_frame_rate.num > 0 ? ist->st->r_frame_rate
                                                      : ist->st->avg_frame_rate;
      if (fr.num > 0 && fr.den > 0) duration = 1000000LL * fr.den / fr.num;
    }
    if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
      ist->pts = ff::av_rescale_q(frame->best_effort_timestamp, tb, AV_TIME_BASE_Q);
    else
      ist->pts = ist->next_pts;
    // A picture shown far later than the packets read so far are decoded has
    // a broken timestamp: the output would be filled with copies up to it.
    if (ist->last_dts != AV_NOPTS_VALUE && ist->next_pts != AV_NOPTS_VALUE &&
        ist->pts - ist->last_dts > static_cast<int64_t>(e.dts_delta_threshold * 1000000.0))
      ist->pts = ist->next_pts;
    ist->next_pts = ist->pts + duration;
    e.pre_process_video(ist, frame);
  }

  if (ist->rate_emu) {
    // Hold the conversion to the input's own pace.
    const int64_t elapsed = ff::av_gettime_relative() - ist->start;
    // Waited in slices so that a stop is not held by a long gap.
    for (int64_t ahead = ist->pts - elapsed; ahead > 50000 && !e.stop_requested;
         ahead = ist->pts - (ff::av_gettime_relative() - ist->start))
      ff::av_usleep(static_cast<unsigned>(std::min<int64_t>(ahead, 100000)));
    ist->frame++;
  }

  if (e.start_time != 0 && ist->pts < e.start_time) return true;
  for (auto& ost : e.ost_table) {
    if (ost->source_index != ist_index || !ost->encoding_needed) continue;
    AVFormatContext* os = e.output_files[ost->file_index];
    switch (ost_type(ost.get())) {
      case AVMEDIA_TYPE_AUDIO:
        if (dec->codec_type != AVMEDIA_TYPE_AUDIO) break;
        if (direct)
          e.do_audio_out_direct(os, ost.get(), ist, frame);
        else
          e.do_audio_out(os, ost.get(), ist, e.audio_buf.data(), data_size);
        break;
      case AVMEDIA_TYPE_VIDEO: {
        int frame_size = 0;
        e.do_video_out(os, ost.get(), ist, frame, frame_size);
        if (e.vstats_filename && frame_size) e.do_video_stats(os, ost.get(), frame_size);
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE:
        break;
      default:
        throw FFMpegException("invalid codec_type");
    }
  }
  return true;
}

int TCustomFFmpeg::output_packet(InputStream* ist, int ist_index, AVPacket* pkt) {
  if (ist->next_pts == AV_NOPTS_VALUE) ist->next_pts = ist->pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE)
    ist->next_pts = ist->pts = ff::av_rescale_q(pkt->dts, ist->st->time_base, AV_TIME_BASE_Q);

  int result = 0;
  if (ist->decoding_needed) {
    AVCodecContext* dec = ist->dec;
    switch (dec->codec_type) {
      case AVMEDIA_TYPE_AUDIO:
      case AVMEDIA_TYPE_VIDEO: {
        int ret = ff::avcodec_send_packet(dec, pkt);
        if (ret < 0 && ret != AVERROR_EOF) {
          result = -1;
          break;
        }
        AVFrame* frame = ist->frame_buf;
        for (int got = 0;; got++) {
          ret = ff::avcodec_receive_frame(dec, frame);
          if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
          if (ret < 0) {
            result = -1;
            break;
          }
          if (got > 0 && pkt && verbose > 0 && OnLog)
            log(0, format_text("Multiple frames in a packet from stream %d", pkt->stream_index));
          bool ok;
          try {
            ok = handle_frame(*this, ist, ist_index, frame);
          } catch (...) {
            ff::av_frame_unref(frame);
            throw;
          }
          ff::av_frame_unref(frame);
          if (!ok) {
            result = -1;
            break;
          }
        }
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE: {
        if (!pkt) break;  // text and bitmap subtitle decoders keep nothing back
        AVSubtitle sub;
        int got = 0;
        if (ff::avcodec_decode_subtitle2(dec, &sub, &got, pkt) < 0) {
          result = -1;
          break;
        }
        if (!got) break;
        ist->pts = ist->next_pts;
        try {
          if (start_time == 0 || ist->pts >= start_time) {
            for (auto& ost : ost_table) {
              if (ost->source_index != ist_index || !ost->encoding_needed) continue;
              if (ost_type(ost.get()) != AVMEDIA_TYPE_SUBTITLE) continue;
              do_subtitle_out(output_files[ost->file_index], ost.get(), ist, &sub, pkt->pts);
            }
          }
        } catch (...) {
          ff::avsubtitle_free(&sub);
          throw;
        }
        ff::avsubtitle_free(&sub);
        break;
      }
      default:
        return -1;
    }
  } else if (pkt) {
    // Stream copy. The old parser hook that added or stripped global headers
    // on the way (av_parser_change) has no successor; packets pass unchanged.
    const AVCodecParameters* par = ist->st->codecpar;
    ist->pts = ist->next_pts;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (pkt->duration > 0)
        ist->next_pts += ff::av_rescale_q(pkt->duration, ist->st->time_base, AV_TIME_BASE_Q);
      else if (par->sample_rate > 0 && par->frame_size > 0)
        ist->next_pts += 1000000LL * par->frame_size / par->sample_rate;
    } else if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (pkt->duration > 0) {
        ist->next_pts += ff::av_rescale_q(pkt->duration, ist->st->time_base, AV_TIME_BASE_Q);
      } else {
        const AVRational fr = ist->st->r_frame_rate.num > 0 ? ist->st->r_frame_rate : ist->st->avg_frame_rate;
        if (fr.num > 0 && fr.den > 0) ist->next_pts += 1000000LL * fr.den / fr.num;
      }
    }
    if (start_time == 0 || ist->pts >= start_time) {
      for (auto& ost : ost_table) {
        if (ost->source_index != ist_index || ost->encoding_needed) continue;
        if (ost->frame_number == 0 && !(pkt->flags & AV_PKT_FLAG_KEY)) continue;
        AVPacket* out = ost->pkt;
        if (ff::av_packet_ref(out, pkt) < 0) continue;
        const AVRational itb = ist->st->time_base, otb = ost->st->time_base;
        ost->coded_key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
          audio_size += pkt->size;
        } else if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
          video_size += pkt->size;
          ost->sync_opts++;
        }
        out->stream_index = ost->index;
        out->pts = pkt->pts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->pts, itb, otb) : AV_NOPTS_VALUE;
        out->dts = pkt->dts != AV_NOPTS_VALUE ? ff::av_rescale_q(pkt->dts, itb, otb)
                                              : ff::av_rescale_q(ist->pts, AV_TIME_BASE_Q, otb);
        out->duration = ff::av_rescale_q(pkt->duration, itb, otb);
        out->flags = pkt->flags;
        out->time_base = otb;
        write_frame(output_files[ost->file_index], out, ost->enc, ost.get());
        ost->frame_number++;
      }
    }
    return 0;
  }

  if (!pkt) {
    // End of stream: what the encoders fed by this stream still hold.
    for (auto& ost : ost_table) {
      if (ost->source_index != ist_index || !ost->encoding_needed || !ost->enc) continue;
      AVFormatContext* os = output_files[ost->file_index];
      AVCodecContext* enc = ost->enc;
      const AVMediaType type = ost_type(ost.get());
      if (type == AVMEDIA_TYPE_AUDIO) {
        const int channels = enc->ch_layout.nb_channels;
        flush_audio_direct(os, ost.get());
        flush_audio_resampler(os, ost.get());
        size_t fifo_bytes = ost->fifo ? ff::av_fifo_can_read(ost->fifo) : 0;
        if (enc->frame_size > 1 && channels > 0 && fifo_bytes > 0) {
          const size_t frame_bytes = static_cast<size_t>(enc->frame_size) * channels * 2;
          if (audio_buf.size() < frame_bytes) audio_buf.resize(frame_bytes);
          // Whole frames the resampler's tail completed, then what does not
          // fill a frame: a short last frame where the encoder takes one, else
          // padded with silence to a full frame.
          const bool short_ok =
              enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
          while (fifo_bytes > 0) {
            const size_t take = std::min(fifo_bytes, frame_bytes);
            ff::av_fifo_read(ost->fifo, audio_buf.data(), take);
            fifo_bytes -= take;
            int nb = static_cast<int>(take / (channels * 2));
            if (!short_ok && take < frame_bytes) {
              std::memset(audio_buf.data() + take, 0, frame_bytes - take);
              nb = enc->frame_size;
            }
            if (nb > 0) encode_audio_samples(os, ost.get(), audio_buf.data(), nb);
          }
        }
        audio_size += encode_and_write(os, ost.get(), nullptr);
      } else if (type == AVMEDIA_TYPE_VIDEO) {
        video_size += encode_and_write(os, ost.get(), nullptr);
      }
    }
  }
  return result;
}

void TCustomFFmpeg::write_frame(AVFormatContext* os, AVPacket* pkt, AVCodecContext*, OutputStream* ost) {
  if (ost) {
    // The muxer refuses a dts that does not increase; nudge it rather than end the run.
    if (pkt->dts != AV_NOPTS_VALUE && ost->last_mux_dts != AV_NOPTS_VALUE && pkt->dts <= ost->last_mux_dts &&
        !(os->oformat->flags & AVFMT_NOTIMESTAMPS)) {
      pkt->dts = ost->last_mux_dts + 1;
      if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
    }
    if (pkt->dts != AV_NOPTS_VALUE) ost->last_mux_dts = pkt->dts;
    const int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (t != AV_NOPTS_VALUE) ost->written_end = t + (pkt->duration > 0 ? pkt->duration : 0);
  }
  int ret = ff::av_interleaved_write_frame(os, pkt);
  // Failed writes of the I/O layer only show in its error field.
  if (ret >= 0 && os->pb && os->pb->error < 0) ret = os->pb->error;
  if (ret < 0) throw FFMpegException(open_error_message("av_interleaved_write_frame()", ret));
}

void TCustomFFmpeg::do_subtitle_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, AVSubtitle* sub,
                                    int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    log(0, "Subtitle packets must have a pts");
    return;
  }
  constexpr int kSubtitleBufSize = 65536;
  if (subtitle_buf.size() < kSubtitleBufSize) subtitle_buf.resize(kSubtitleBufSize);
  AVCodecContext* enc = ost->enc;
  const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int nb = dvb ? 2 : 1;
  const unsigned rects = sub->num_rects;
  for (int i = 0; i < nb; i++) {
    // The second DVB packet clears the display.
    if (dvb && i == 1) sub->num_rects = 0;
    const int size = ff::avcodec_encode_subtitle(enc, subtitle_buf.data(), kSubtitleBufSize, sub);
    sub->num_rects = rects;
    if (size < 0) {
      log(0, "Subtitle encoding failed");
      return;
    }
    AVPacket* p = ost->pkt;
    ff::av_packet_unref(p);
    p->data = subtitle_buf.data();
    p->size = size;
    p->stream_index = ost->index;
    p->pts = ff::av_rescale_q(pts, ist->st->time_base, ost->st->time_base);
    if (dvb)
      p->pts += ff::av_rescale_q(i == 0 ? sub->start_display_time : sub->end_display_time, AVRational{1, 1000},
                                 ost->st->time_base);
    else if (sub->end_display_time > sub->start_display_time)
      p->duration = ff::av_rescale_q(sub->end_display_time - sub->start_display_time, AVRational{1, 1000},
                                     ost->st->time_base);
    p->dts = p->pts;
    write_frame(os, p, enc, ost);
    ff::av_packet_unref(p);
  }
}

int TCustomFFmpeg::encode_and_write(AVFormatContext* os, OutputStream* ost, AVFrame* frame) {
  AVCodecContext* enc = ost->enc;
  const char* failure = enc->codec_type == AVMEDIA_TYPE_VIDEO ? "Video encoding failed" : "Audio encoding failed";
  AVPacket* pkt = ost->pkt;
  int total = 0;
  auto receive_all = [&]() {
    for (;;) {
      const int ret = ff::avcodec_receive_packet(enc, pkt);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      if (ret < 0) throw FFMpegException(failure);
      size_t sd_size = 0;
      const uint8_t* sd = ff::av_packet_get_side_data(pkt, AV_PKT_DATA_QUALITY_STATS, &sd_size);
      if (sd && sd_size >= 6) {
        ost->coded_quality = static_cast<float>(AV_RL32(sd));
        ost->coded_pict_type = sd[4];
        const int nb_err = sd[5];
        for (int i = 0; i < nb_err && i < 4 && 8 + 8 * static_cast<size_t>(i) + 8 <= sd_size; i++) {
          ost->coded_error[i] = AV_RL64(sd + 8 + 8 * i);
          ost->error_sum[i] += ost->coded_error[i];
        }
      }
      ost->coded_key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      ost->coded_pts = pkt->pts;
      if (ost->logfile && enc->stats_out) std::fprintf(ost->logfile, "%s", enc->stats_out);
      // Video encoders leave the duration open; one picture lasts one tick of
      // the encoder's time base (without it MP4 edit lists lose the last picture).
      if (pkt->duration <= 0 && enc->codec_type == AVMEDIA_TYPE_VIDEO) pkt->duration = 1;
      // Audio encoders with a start-up delay stamp their first packets before
      // zero. A muxer that cannot store that shifts every stream from the first
      // such packet on; where video timestamps count whole frames (AVI) that
      // leaves a hole after the first picture. There, start the audio at zero.
      if (enc->codec_type == AVMEDIA_TYPE_AUDIO && !(os->oformat->flags & AVFMT_TS_NEGATIVE)) {
        if (ost->audio_ts_shift < 0) {
          bool coarse_video = false;
          for (unsigned i = 0; i < os->nb_streams; i++)
            if (os->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && av_q2d(os->streams[i]->time_base) > 0.005)
              coarse_video = true;
          const int64_t first = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
          ost->audio_ts_shift = coarse_video && first != AV_NOPTS_VALUE && first < 0 ? -first : 0;
        }
        if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += ost->audio_ts_shift;
        if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += ost->audio_ts_shift;
      }
      ff::av_packet_rescale_ts(pkt, enc->time_base, ost->st->time_base);
      pkt->stream_index = ost->index;
      total += pkt->size;
      write_frame(os, pkt, enc, ost);
    }
  };
  int ret = ff::avcodec_send_frame(enc, frame);
  if (ret == AVERROR(EAGAIN)) {
    // The encoder wants its output taken first.
    receive_all();
    ret = ff::avcodec_send_frame(enc, frame);
  }
  if (ret < 0 && ret != AVERROR_EOF) throw FFMpegException(failure);
  receive_all();
  return total;
}
