// Engine set-up: library option store, input opening, output and stream creation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "binding/loader.h"
#include "engine/engine.h"
#include "media/testmedia.h"

namespace {

using testmedia::Clip;

std::string read_file(const std::string& f) {
  std::ifstream in(f, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& f, const std::string& bytes) {
  std::ofstream out(f, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string temp_file(const std::string& name) { return testmedia::temp_dir() + "/" + name; }

std::string dict_value(const AVDictionary* d, const char* key) {
  const AVDictionaryEntry* e = ff::av_dict_get(d, key, nullptr, 0);
  return e ? e->value : "<unset>";
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const FFMpegException& e) {
    return e.what();
  }
  return "<no exception>";
}

std::string q(AVRational r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

class EngineSetup : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error();
    ff::av_log_set_level(klaventa::av_level_from_old(-1));
  }

  void SetUp() override { e = fresh(); }

  static std::unique_ptr<TCustomFFmpeg> fresh() {
    auto engine = std::make_unique<TCustomFFmpeg>();
    engine->reset();
    engine->verbose = 0;
    return engine;
  }

  // Opens every encoder of output f as the transcode would, writes the header,
  // one blank frame per audio and video stream and the trailer; "" on success.
  static std::string finish_output(TCustomFFmpeg& e, int f) {
    AVFormatContext* oc = e.output_files[f];
    for (unsigned s = 0; s < oc->nb_streams; s++) {
      OutputStreamSetup& setup = e.output_streams[f][s];
      const AVCodec* codec = ff::avcodec_find_encoder(setup.enc->codec_id);
      if (!codec) return "no encoder for stream " + std::to_string(s);
      AVDictionary* opts = nullptr;
      ff::av_dict_copy(&opts, setup.codec_opts, 0);
      int r = ff::avcodec_open2(setup.enc, codec, &opts);
      ff::av_dict_free(&opts);
      if (r < 0) return "open failed for stream " + std::to_string(s);
      ff::avcodec_parameters_from_context(oc->streams[s]->codecpar, setup.enc);
      oc->streams[s]->time_base = setup.enc->time_base;
    }
    AVDictionary* opts = nullptr;
    ff::av_dict_copy(&opts, e.mux_opts[f], 0);
    int r = ff::avformat_write_header(oc, &opts);
    std::string left = ff::av_dict_count(opts) ? ff::av_dict_get(opts, "", nullptr, AV_DICT_IGNORE_SUFFIX)->key : "";
    ff::av_dict_free(&opts);
    if (r < 0) return "write_header failed";
    if (!left.empty()) return "muxer left option " + left;

    AVPacket* pkt = ff::av_packet_alloc();
    for (unsigned s = 0; s < oc->nb_streams; s++) {
      AVCodecContext* enc = e.output_streams[f][s].enc;
      if (enc->codec_type != AVMEDIA_TYPE_VIDEO && enc->codec_type != AVMEDIA_TYPE_AUDIO) continue;
      AVFrame* fr = ff::av_frame_alloc();
      if (enc->codec_type == AVMEDIA_TYPE_VIDEO) {
        fr->format = enc->pix_fmt;
        fr->width = enc->width;
        fr->height = enc->height;
      } else {
        fr->format = enc->sample_fmt;
        fr->sample_rate = enc->sample_rate;
        fr->nb_samples = enc->frame_size > 0 ? enc->frame_size : 1024;
        ff::av_channel_layout_copy(&fr->ch_layout, &enc->ch_layout);
      }
      ff::av_frame_get_buffer(fr, 0);
      for (AVBufferRef* b : fr->buf)
        if (b) std::memset(b->data, enc->codec_type == AVMEDIA_TYPE_VIDEO ? 128 : 0, b->size);
      fr->pts = 0;
      ff::avcodec_send_frame(enc, fr);
      ff::avcodec_send_frame(enc, nullptr);
      ff::av_frame_free(&fr);
      while (ff::avcodec_receive_packet(enc, pkt) == 0) {
        pkt->stream_index = static_cast<int>(s);
        ff::av_packet_rescale_ts(pkt, enc->time_base, oc->streams[s]->time_base);
        ff::av_interleaved_write_frame(oc, pkt);
      }
    }
    ff::av_packet_free(&pkt);
    ff::av_write_trailer(oc);
    ff::avio_closep(&oc->pb);
    return "";
  }

  std::unique_ptr<TCustomFFmpeg> e;
};

// ---------------------------------------------------------------- option store

TEST_F(EngineSetup, FindCodec) {
  struct Case {
    const char* name;
    AVMediaType type;
    bool encoder;
    bool ok;
    AVCodecID id;
    const char* error;
  } cases[] = {
      {nullptr, AVMEDIA_TYPE_VIDEO, true, true, AV_CODEC_ID_NONE, ""},
      {"mpeg4", AVMEDIA_TYPE_VIDEO, true, true, AV_CODEC_ID_MPEG4, ""},
      {"mp2", AVMEDIA_TYPE_AUDIO, false, true, AV_CODEC_ID_MP2, ""},
      {"mp2", AVMEDIA_TYPE_VIDEO, true, false, AV_CODEC_ID_NONE, "Invalid encoder type 'mp2'"},
      {"libmp3lame", AVMEDIA_TYPE_AUDIO, false, false, AV_CODEC_ID_NONE, "Unknown decoder 'libmp3lame'"},
      {"nosuch", AVMEDIA_TYPE_AUDIO, true, false, AV_CODEC_ID_NONE, "Unknown encoder 'nosuch'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(none)");
    e->last_error.clear();
    AVCodecID id = AV_CODEC_ID_PROBE;
    EXPECT_EQ(e->find_codec(c.name, c.type, id, c.encoder), c.ok);
    if (c.ok) {
      EXPECT_EQ(id, c.id);
    }
    EXPECT_EQ(e->last_error, c.error);
  }
}

TEST_F(EngineSetup, LibraryOptionsLandWhereTheyLive) {
  struct Case {
    const char* name;
    const char* value;
    bool ok;
    const char* recorded;  // the library's name of the option
    std::function<bool(const TCustomFFmpeg&)> check;
  } cases[] = {
      {"g", "30", true, "g", [](const TCustomFFmpeg& e) { return e.codec_option_ctx[0]->gop_size == 30; }},
      {"gop", "45", true, "g", [](const TCustomFFmpeg& e) { return e.codec_option_ctx[0]->gop_size == 45; }},
      {"vb", "800000", true, "b",
       [](const TCustomFFmpeg& e) {
         return e.codec_option_ctx[0]->bit_rate == 800000 && e.codec_option_ctx[1]->bit_rate != 800000;
       }},
      {"ab", "64000", true, "ab", [](const TCustomFFmpeg& e) { return e.codec_option_ctx[1]->bit_rate == 64000; }},
      {"abt", "5000", true, "bt",
       [](const TCustomFFmpeg& e) { return e.codec_option_ctx[1]->bit_rate_tolerance == 5000; }},
      {"bufsize", "1835008", true, "bufsize",
       [](const TCustomFFmpeg& e) { return e.codec_option_ctx[0]->rc_buffer_size == 1835008; }},
      {"packetsize", "2324", true, "packetsize",
       [](const TCustomFFmpeg& e) { return e.format_option_ctx->packet_size == 2324u; }},
      {"sws_flags", "bilinear", true, "sws_flags",
       [](const TCustomFFmpeg& e) {
         int64_t v = 0;
         ff::av_opt_get_int(e.scaler_option_ctx, "sws_flags", 0, &v);
         return v == SWS_BILINEAR;
       }},
      {"muxrate", "10080000", true, "muxrate",
       [](const TCustomFFmpeg& e) { return dict_value(e.private_format_opts, "muxrate") == "10080000"; }},
      {"scan_offset", "1", true, "scan_offset",
       [](const TCustomFFmpeg& e) { return dict_value(e.private_codec_opts[0], "scan_offset") == "1"; }},
      {"b", "garbage", false, nullptr, nullptr},
      {"nosuchoption", "1", false, nullptr, nullptr},
      {"  ", "1", false, nullptr, nullptr},
      {"b", " ", false, nullptr, nullptr},
      {"", "", false, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    size_t before = e->option_names.size();
    EXPECT_EQ(e->set_library_option(c.name, c.value), c.ok);
    if (c.ok) {
      ASSERT_EQ(e->option_names.size(), before + 1);
      EXPECT_STREQ(e->option_names.back(), c.recorded);
      EXPECT_TRUE(c.check(*e));
    } else {
      EXPECT_EQ(e->option_names.size(), before);
    }
  }
  EXPECT_TRUE(e->set_library_option("bufsize", int64_t{4096}));
  EXPECT_EQ(e->codec_option_ctx[0]->rc_buffer_size, 4096);
}

TEST_F(EngineSetup, CopiedOptionsFollowTheFlags) {
  ASSERT_TRUE(e->set_library_option("ab", "64000"));
  ASSERT_TRUE(e->set_library_option("b", "1150000"));  // the video bit rate, as it always was
  ASSERT_TRUE(e->set_library_option("g", "18"));
  ASSERT_TRUE(e->set_library_option("maxrate", "2000000"));
  ASSERT_TRUE(e->set_library_option("packetsize", "2048"));

  AVCodecContext* venc = ff::avcodec_alloc_context3(nullptr);
  AVCodecContext* aenc = ff::avcodec_alloc_context3(nullptr);
  AVCodecContext* vdec = ff::avcodec_alloc_context3(nullptr);
  e->copy_context_options(venc, e->codec_option_ctx[0], 17);
  e->copy_context_options(aenc, e->codec_option_ctx[1], 9);
  e->copy_context_options(vdec, e->codec_option_ctx[0], 18);
  EXPECT_EQ(venc->bit_rate, 1150000);
  EXPECT_EQ(venc->gop_size, 18);
  EXPECT_EQ(venc->rc_max_rate, 2000000);
  EXPECT_EQ(aenc->bit_rate, 64000);
  EXPECT_EQ(aenc->gop_size, 12);  // a video option does not reach an audio encoder
  EXPECT_EQ(aenc->rc_max_rate, 2000000);
  EXPECT_EQ(vdec->gop_size, 12);  // nor an encoding option a decoder
  AVFormatContext* fc = ff::avformat_alloc_context();
  e->copy_context_options(fc, e->format_option_ctx, 1);
  EXPECT_EQ(fc->packet_size, 2048u);
  ff::avformat_free_context(fc);
  ff::avcodec_free_context(&venc);
  ff::avcodec_free_context(&aenc);
  ff::avcodec_free_context(&vdec);

  e->reset();
  EXPECT_TRUE(e->option_names.empty());
  EXPECT_EQ(e->codec_option_ctx[0]->gop_size, 12);
}

TEST_F(EngineSetup, DebugOptionRaisesTheLogLevel) {
  int saved_level = ff::av_log_get_level();
  int saved_threshold = klaventa::log_threshold();
  ASSERT_TRUE(e->set_library_option("debug", "pict"));
  EXPECT_EQ(e->verbose, 2);
  EXPECT_EQ(klaventa::log_threshold(), 2);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
  ff::av_log_set_level(saved_level);
  klaventa::set_log_threshold(saved_threshold);

  auto other = fresh();
  ASSERT_TRUE(other->set_library_option("g", "10"));
  EXPECT_EQ(other->verbose, 0);
}

TEST_F(EngineSetup, ParseTime) {
  EXPECT_EQ(e->parse_time("t", "00:01:30.5", true), 90500000);
  EXPECT_EQ(e->parse_time("t", "90.5", true), 90500000);
  EXPECT_EQ(e->parse_time("timestamp", "2000-01-01 00:00:00Z", false), int64_t{946684800} * 1000000);
  EXPECT_EQ(error_of([&] { e->parse_time("t", "abc", true); }), "Invalid duration specification for t: abc");
  EXPECT_EQ(error_of([&] { e->parse_time("timestamp", "x1", false); }),
            "Invalid date specification for timestamp: x1");
}

// ---------------------------------------------------------------- input

TEST_F(EngineSetup, InputValuesComeFromTheFile) {
  struct Case {
    Clip clip;
    int width, height;
    float aspect;
    AVRational rate;
    int channels, sample_rate;
  } cases[] = {
      {Clip::Sar0_640x480, 640, 480, 640.0f / 480, {25, 1}, 2, 44100},
      {Clip::Sar16_11_720x576, 720, 576, 720.0f * 16 / 11 / 576, {25, 1}, 2, 44100},
      {Clip::TwoVideoStreams, 176, 144, 176.0f / 144, {25, 1}, 2, 44100},  // the later stream wins
      {Clip::Mpeg2Mp2PsInterlaced720x576, 720, 576, 720.0f * 16 / 15 / 576, {25, 1}, 2, 48000},
  };
  for (const Case& c : cases) {
    const std::string file = testmedia::path(c.clip);
    SCOPED_TRACE(file);
    auto eng = fresh();
    eng->audio_channels = 6;
    eng->audio_sample_rate = 8000;
    ASSERT_TRUE(eng->open_input_file(file)) << eng->last_error;
    EXPECT_EQ(eng->frame_width, c.width);
    EXPECT_EQ(eng->frame_height, c.height);
    EXPECT_NEAR(eng->frame_aspect_ratio, c.aspect, 1e-4);
    EXPECT_EQ(eng->frame_pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(q(eng->frame_rate), q(c.rate));
    EXPECT_EQ(eng->audio_channels, c.channels);
    EXPECT_EQ(eng->audio_sample_rate, c.sample_rate);
  }
}

TEST_F(EngineSetup, EachInputStreamGetsItsOwnDecoder) {
  const std::string file = testmedia::path(Clip::SubtitleMkv);
  ASSERT_TRUE(e->open_input_file(file)) << e->last_error;
  ASSERT_EQ(e->nb_input_files, 1);
  AVFormatContext* ic = e->input_files[0];
  ASSERT_EQ(e->input_streams[0].size(), ic->nb_streams);
  ASSERT_EQ(ic->nb_streams, 3u);
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    SCOPED_TRACE(i);
    AVCodecContext* dec = e->input_streams[0][i].dec;
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(dec->codec_id, ic->streams[i]->codecpar->codec_id);
    EXPECT_EQ(dec->codec_type, ic->streams[i]->codecpar->codec_type);
    EXPECT_EQ(q(dec->pkt_timebase), q(ic->streams[i]->time_base));
    EXPECT_EQ(dec->thread_count, 1);
    const AVCodec* codec = ff::avcodec_find_decoder(dec->codec_id);
    ASSERT_NE(codec, nullptr);
    std::lock_guard<std::mutex> lock(library_lock());
    EXPECT_EQ(ff::avcodec_open2(dec, codec, nullptr), 0);
  }
  bool v = false, a = false, s = false;
  e->check_audio_video_sub_inputs(v, a, s);
  EXPECT_TRUE(v && a && s);

  auto audio_only = fresh();
  ASSERT_TRUE(audio_only->open_input_file(testmedia::path(Clip::WavOnly)));
  audio_only->check_audio_video_sub_inputs(v, a, s);
  EXPECT_FALSE(v);
  EXPECT_TRUE(a);
  EXPECT_FALSE(s);
}

TEST_F(EngineSetup, DisabledKindsAreDiscarded) {
  struct Case {
    std::function<void(TCustomFFmpeg&)> set;
    AVDiscard video, audio, subtitle;
  } cases[] = {
      {[](TCustomFFmpeg&) {}, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
      {[](TCustomFFmpeg& e) { e.video_disable = true; }, AVDISCARD_ALL, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT},
      {[](TCustomFFmpeg& e) { e.video_discard = AVDISCARD_NONKEY; }, AVDISCARD_NONKEY, AVDISCARD_DEFAULT,
       AVDISCARD_DEFAULT},
      {[](TCustomFFmpeg& e) { e.audio_disable = true; }, AVDISCARD_DEFAULT, AVDISCARD_ALL, AVDISCARD_DEFAULT},
      {[](TCustomFFmpeg& e) { e.subtitle_disable = true; }, AVDISCARD_DEFAULT, AVDISCARD_DEFAULT, AVDISCARD_ALL},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n++);
    auto eng = fresh();
    c.set(*eng);
    ASSERT_TRUE(eng->open_input_file(testmedia::path(Clip::SubtitleMkv))) << eng->last_error;
    AVFormatContext* ic = eng->input_files[0];
    for (unsigned i = 0; i < ic->nb_streams; i++) {
      AVStream* st = ic->streams[i];
      AVDiscard want = st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO   ? c.video
                       : st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? c.audio
                                                                        : c.subtitle;
      EXPECT_EQ(st->discard, want) << "stream " << i;
    }
  }
}

TEST_F(EngineSetup, SeekAndOffsetWithAContainerStart) {
  const std::string file = testmedia::path(Clip::StartOffset);  // container start 1 s
  struct Case {
    int64_t start_time, pending_offset;
    bool copy_ts;
    int64_t offset;
  } cases[] = {
      {0, 0, false, -1000000},
      {500000, 0, false, -1500000},
      {500000, 250000, false, 250000 - 1500000},
      {500000, 250000, true, 250000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start_time);
    auto eng = fresh();
    eng->start_time = c.start_time;
    eng->pending_ts_offset = c.pending_offset;
    eng->copy_ts = c.copy_ts;
    ASSERT_TRUE(eng->open_input_file(file)) << eng->last_error;
    EXPECT_EQ(eng->input_ts_offset[0], c.offset);
    EXPECT_EQ(eng->start_time, 0);
    EXPECT_EQ(eng->pending_ts_offset, c.pending_offset);

    // The next packet read lies at or after the seek point's keyframe.
    AVFormatContext* ic = eng->input_files[0];
    AVPacket* pkt = ff::av_packet_alloc();
    double first = -1;
    while (ff::av_read_frame(ic, pkt) >= 0) {
      AVStream* st = ic->streams[pkt->stream_index];
      int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
      ff::av_packet_unref(pkt);
      if (ts == AV_NOPTS_VALUE || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      first = ts * av_q2d(st->time_base);
      break;
    }
    ff::av_packet_free(&pkt);
    if (c.start_time == 0) {
      EXPECT_NEAR(first, 1.0, 0.05);
    } else {
      EXPECT_GT(first, 1.2);  // MPEG-PS seeks to a pack near the target
      EXPECT_LT(first, 1.6);
    }
  }
}

TEST_F(EngineSetup, DurationRaisesTheTotal) {
  const std::string file = testmedia::path(Clip::LongAudio90s);
  ASSERT_EQ(e->total_output_duration, -1);
  ASSERT_TRUE(e->open_input_file(file)) << e->last_error;
  EXPECT_EQ(e->total_output_duration, 90000);

  auto longer = fresh();
  longer->total_output_duration = 120000;
  ASSERT_TRUE(longer->open_input_file(file));
  EXPECT_EQ(longer->total_output_duration, 120000);
}

// Deterministic bytes that no demuxer recognises.
std::string garbage_file(const std::string& name) {
  std::string bytes(20000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>((i * 37) % 251);
  const std::string file = temp_file(name);
  write_file(file, bytes);
  return file;
}

TEST_F(EngineSetup, FailedOpensReportTheirReason) {
  const std::string missing = temp_file("missing.avi");
  const std::string header_cut = temp_file("header_cut.avi");
  write_file(header_cut, read_file(testmedia::path(Clip::Mpeg4Mp3Avi)).substr(0, 300));
  const std::string empty = testmedia::path(Clip::Empty);
  const std::string text = testmedia::path(Clip::TextAsAvi);
  const std::string aac = garbage_file("garbage.aac");
  const std::string io_text = "I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
  struct Case {
    std::string file;
    std::string message;
  } cases[] = {
      {missing, missing + ": no such file or directory"},
      {empty, empty + ": Unknown format"},
      {text, text + ": Unknown format"},
      {header_cut, header_cut + ": Error while parsing header"},
      {aac, aac + ": " + io_text},  // the demuxer ran out of data
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto eng = fresh();
    eng->video_codec_name = ff::av_strdup("mpeg4");
    eng->file_oformat = ff::av_guess_format("avi", nullptr, nullptr);
    eng->rate_emu = true;
    eng->start_time = 700000;
    EXPECT_FALSE(eng->open_input_file(c.file));
    EXPECT_EQ(eng->last_error, c.message);
    EXPECT_EQ(eng->nb_input_files, 0);
    EXPECT_EQ(eng->input_files[0], nullptr);
    EXPECT_EQ(eng->video_codec_name, nullptr);
    EXPECT_EQ(eng->file_oformat, nullptr);
    EXPECT_FALSE(eng->rate_emu);
    EXPECT_EQ(eng->start_time, 700000);
  }

  // A forced demuxer that fails on the content is a header problem, not an unknown format.
  e->file_iformat = ff::av_find_input_format("avi");
  EXPECT_FALSE(e->open_input_file(text));
  EXPECT_EQ(e->last_error, text + ": Error while parsing header");
  EXPECT_EQ(e->file_iformat, nullptr);

  // A file cut after its header still opens; its end is simply missing.
  EXPECT_TRUE(e->open_input_file(testmedia::path(Clip::Truncated))) << e->last_error;
}

TEST_F(EngineSetup, OpenErrorMessages) {
  const std::string f = "in.avi";
  struct Case {
    int code;
    std::string text;
  } cases[] = {
      {AVERROR_DEMUXER_NOT_FOUND, "in.avi: Unknown format"},
      {AVERROR(EDOM),
       "in.avi: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
       "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
       "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
      {AVERROR_INVALIDDATA, "in.avi: Error while parsing header"},
      {AVERROR(EINVAL), "in.avi: Error while parsing header"},
      {AVERROR(ENOMEM), "in.avi: memory allocation error occurred"},
      {AVERROR(EIO), "in.avi: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."},
      {AVERROR_EOF, "in.avi: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."},
      {AVERROR(ENOENT), "in.avi: no such file or directory"},
      {AVERROR(EACCES), "in.avi: Error while opening file"},
  };
  for (const Case& c : cases) EXPECT_EQ(TCustomFFmpeg::open_error_message(f, c.code), c.text) << c.code;
  EXPECT_EQ(TCustomFFmpeg::open_error_message("100%s.avi", AVERROR(ENOENT)), "100%s.avi: no such file or directory");
}

TEST_F(EngineSetup, UnknownDecoderNames) {
  e->audio_codec_name = ff::av_strdup("nosuch");
  EXPECT_FALSE(e->open_input_file(testmedia::path(Clip::WavOnly)));
  EXPECT_EQ(e->last_error, "Unknown decoder 'nosuch'");
  EXPECT_EQ(e->audio_codec_name, nullptr);

  e->subtitle_codec_name = ff::av_strdup("mp3");
  EXPECT_FALSE(e->open_input_file(testmedia::path(Clip::WavOnly)));
  EXPECT_EQ(e->last_error, "Invalid decoder type 'mp3'");

  // A second call starts from no codec names.
  EXPECT_TRUE(e->open_input_file(testmedia::path(Clip::WavOnly))) << e->last_error;
  EXPECT_EQ(e->nb_input_files, 1);
}

TEST_F(EngineSetup, TwentyInputsAtMost) {
  const std::string file = testmedia::path(Clip::WavOnly);
  for (int i = 0; i < MAX_FILES; i++) ASSERT_TRUE(e->open_input_file(file)) << i;
  EXPECT_FALSE(e->open_input_file(file));
  EXPECT_NE(e->last_error.find("too many input files"), std::string::npos) << e->last_error;
  EXPECT_EQ(e->nb_input_files, MAX_FILES);
}

// Raw demuxers take the pending geometry, rate and audio layout.
TEST_F(EngineSetup, RawInputsTakeThePendingParameters) {
  const std::string yuv = temp_file("frames.yuv");
  write_file(yuv, std::string(64 * 48 * 3 / 2 * 10, '\x80'));
  e->file_iformat = ff::av_find_input_format("rawvideo");
  e->frame_width = 64;
  e->frame_height = 48;
  e->frame_pix_fmt = AV_PIX_FMT_YUV420P;
  e->frame_rate = AVRational{10, 1};
  ASSERT_TRUE(e->open_input_file(yuv)) << e->last_error;
  AVCodecParameters* par = e->input_files[0]->streams[0]->codecpar;
  EXPECT_EQ(par->width, 64);
  EXPECT_EQ(par->height, 48);
  EXPECT_EQ(q(e->frame_rate), "10/1");
  EXPECT_NEAR(e->input_files[0]->duration / 1e6, 1.0, 0.01);

  const std::string pcm = temp_file("tone.raw");
  write_file(pcm, std::string(8000 * 2 * 3, '\0'));  // 1 s of 8 kHz, three channels
  e->file_iformat = ff::av_find_input_format("s16le");
  e->audio_sample_rate = 8000;
  e->audio_channels = 3;
  ASSERT_TRUE(e->open_input_file(pcm)) << e->last_error;
  par = e->input_files[1]->streams[0]->codecpar;
  EXPECT_EQ(par->sample_rate, 8000);
  EXPECT_EQ(par->ch_layout.nb_channels, 3);
  EXPECT_EQ(e->audio_channels, 3);
  EXPECT_EQ(e->audio_sample_rate, 8000);
}

// An AVI whose video codec nobody knows: its stream has a size but no pixel format.
std::string unknown_codec_avi(const std::string& name) {
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.video_codec = "mpeg4";
  spec.audio_codec = "";
  spec.frames = 10;
  std::string bytes = read_file(testmedia::make(spec));
  for (size_t p = bytes.find("FMP4"); p != std::string::npos; p = bytes.find("FMP4", p)) bytes.replace(p, 4, "QQQQ");
  const std::string file = temp_file(name);
  write_file(file, bytes);
  return file;
}

TEST_F(EngineSetup, UnknownPixelFormatOfRealMediaNames) {
  const std::string avi = unknown_codec_avi("unknown.avi");
  ASSERT_TRUE(e->open_input_file(avi)) << e->last_error;
  EXPECT_EQ(e->frame_width, 160);
  EXPECT_EQ(e->frame_pix_fmt, -1);
  EXPECT_NEAR(e->frame_aspect_ratio, 160.0 / 120, 1e-4);

  const std::string rm = unknown_codec_avi("unknown.rm");
  ASSERT_TRUE(e->open_input_file(rm)) << e->last_error;
  EXPECT_EQ(e->frame_pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(e->input_streams[1][0].dec->pix_fmt, AV_PIX_FMT_YUV420P);
}

// Raw H.264 without a single valid unit: the stream information cannot be read.
TEST_F(EngineSetup, StreamInformationMissing) {
  const std::string file = garbage_file("garbage.h264");
  EXPECT_FALSE(e->open_input_file(file));
  EXPECT_EQ(e->last_error, file + ": could not find codec parameters");

  // A quiet engine goes on without it; this stream has no picture size, so the
  // aspect rule rejects it, and nothing stays open.
  e->verbose = -1;
  EXPECT_EQ(error_of([&] { e->open_input_file(file); }), "Incorrect aspect ratio specification.");
  EXPECT_EQ(e->nb_input_files, 0);
  EXPECT_TRUE(e->input_streams[0].empty());
}

// ---------------------------------------------------------------- output

TEST_F(EngineSetup, UnknownExtension) {
  const std::string file = temp_file("clip.xyz");
  EXPECT_FALSE(e->open_output_file(file));
  EXPECT_EQ(e->last_error, "Unable to find a suitable output format for '" + file + "'");
  EXPECT_EQ(e->nb_output_files, 0);
}

TEST_F(EngineSetup, AudioOnlyInputGivesNoVideoStream) {
  ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::Mp3Only)));
  const std::string file = temp_file("audio_only.mp4");
  e->audio_language = "eng";
  ASSERT_TRUE(e->open_output_file(file)) << e->last_error;
  ASSERT_EQ(e->nb_output_files, 1);
  AVFormatContext* oc = e->output_files[0];
  ASSERT_EQ(oc->nb_streams, 1u);
  AVCodecContext* enc = e->output_streams[0][0].enc;
  EXPECT_EQ(enc->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(enc->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(enc->sample_fmt, AV_SAMPLE_FMT_FLTP);
  EXPECT_EQ(e->output_streams[0][0].language, "eng");
  EXPECT_EQ(e->audio_language, "");

  ASSERT_EQ(finish_output(*e, 0), "");
  testmedia::FileInfo info = testmedia::probe(file, false);
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codec, "aac");
  EXPECT_EQ(info.streams[0].sample_rate, 44100);
  EXPECT_EQ(info.streams[0].channels, 2);
  EXPECT_EQ(info.streams[0].metadata["language"], "eng");
}

TEST_F(EngineSetup, VideoDisableStaysForLaterOutputs) {
  ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::Mpeg4Mp3Avi)));
  e->video_disable = true;
  ASSERT_TRUE(e->open_output_file(temp_file("first.avi"))) << e->last_error;
  ASSERT_TRUE(e->open_output_file(temp_file("second.avi"))) << e->last_error;
  for (int f = 0; f < 2; f++) {
    AVFormatContext* oc = e->output_files[f];
    ASSERT_EQ(oc->nb_streams, 1u) << f;
    EXPECT_EQ(e->output_streams[f][0].enc->codec_type, AVMEDIA_TYPE_AUDIO);
  }
  EXPECT_TRUE(e->video_disable);
  // An explicit extra stream is still possible and clears the flag.
  e->add_video_stream();
  EXPECT_EQ(e->output_files[1]->nb_streams, 2u);
  EXPECT_FALSE(e->video_disable);
}

TEST_F(EngineSetup, FrameRateChoice) {
  struct Case {
    const char* codec;
    AVRational rate;
    AVRational time_base;
  } cases[] = {
      {"mpeg1video", {30000, 1001}, {1001, 30000}},
      {"mpeg1video", {29, 1}, {1001, 30000}},  // the nearer supported rate
      {"mpeg1video", {24, 1}, {1, 24}},
      {"mpeg2video", {25, 1}, {1, 25}},
      {"mpeg1video", {0, 0}, {1, 25}},
      {"mpeg4", {0, 0}, {1, 25}},
      {"mpeg4", {15, 1}, {1, 15}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.codec) + " " + q(c.rate));
    auto eng = fresh();
    eng->video_codec_name = ff::av_strdup(c.codec);
    eng->frame_rate = c.rate;
    eng->frame_width = 352;
    eng->frame_height = 288;
    ASSERT_TRUE(eng->open_output_file(temp_file("rate.avi"))) << eng->last_error;
    ASSERT_GE(eng->output_files[0]->nb_streams, 1u);
    AVCodecContext* enc = eng->output_streams[0][0].enc;
    EXPECT_EQ(enc->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(q(enc->time_base), q(c.time_base));
  }
}

TEST_F(EngineSetup, SampleAspectFromTheDisplayAspect) {
  struct Case {
    float aspect;
    int w, h, pad;
    AVRational sar;
  } cases[] = {
      {1.7778f, 720, 576, 0, {64, 45}}, {0, 720, 576, 0, {0, 1}}, {4.0f / 3, 640, 480, 0, {1, 1}},
      {4.0f / 3, 720, 576, 0, {16, 15}}, {16.0f / 9, 640, 360, 60, {4, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.aspect);
    auto eng = fresh();
    eng->frame_aspect_ratio = c.aspect;
    eng->frame_width = c.w;
    eng->frame_height = c.h;
    eng->frame_padtop = eng->frame_padbottom = c.pad;
    ASSERT_TRUE(eng->open_output_file(temp_file("aspect.avi"))) << eng->last_error;
    AVCodecContext* enc = eng->output_streams[0][0].enc;
    EXPECT_EQ(enc->height, c.h + 2 * c.pad);
    EXPECT_EQ(q(enc->sample_aspect_ratio), q(c.sar));
  }
}

TEST_F(EngineSetup, RateControlOverrides) {
  struct Entry {
    int start, end, q;
    float factor;
  };
  struct Case {
    const char* text;
    std::vector<Entry> entries;
    const char* error;
  } cases[] = {
      {"10,20,-50/30,40,5", {{10, 20, 0, 0.5f}, {30, 40, 5, 1.0f}}, nullptr},
      {" 1;2;3", {{1, 2, 3, 1.0f}}, nullptr},
      {"0,100,-100", {{0, 100, 0, 1.0f}}, nullptr},
      {"10,20", {}, "new_video_stream fail: error parsing rc_override"},
      {"10,20,", {}, "new_video_stream fail: error parsing rc_override"},
      {"10,20,5/", {}, "new_video_stream fail: error parsing rc_override"},
      {"a,b,c", {}, "new_video_stream fail: error parsing rc_override"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto eng = fresh();
    eng->video_rc_override = ff::av_strdup(c.text);
    const std::string file = temp_file("rc.avi");
    std::remove(file.c_str());
    bool ok = eng->open_output_file(file);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(eng->last_error, c.error);
      EXPECT_EQ(eng->nb_output_files, 0);
      EXPECT_TRUE(eng->output_streams[0].empty());
      EXPECT_FALSE(std::ifstream(file).good());  // nothing was created
      continue;
    }
    ASSERT_TRUE(ok) << eng->last_error;
    AVCodecContext* enc = eng->output_streams[0][0].enc;
    ASSERT_EQ(enc->rc_override_count, static_cast<int>(c.entries.size()));
    for (size_t i = 0; i < c.entries.size(); i++) {
      EXPECT_EQ(enc->rc_override[i].start_frame, c.entries[i].start);
      EXPECT_EQ(enc->rc_override[i].end_frame, c.entries[i].end);
      EXPECT_EQ(enc->rc_override[i].qscale, c.entries[i].q);
      EXPECT_FLOAT_EQ(enc->rc_override[i].quality_factor, c.entries[i].factor);
    }
  }
}

TEST_F(EngineSetup, EncoderSettingsFromPendingValues) {
  ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::Mpeg4Mp3Avi)));
  ASSERT_TRUE(e->set_library_option("bufsize", "1835008"));
  e->video_qscale = 5;
  e->do_pass = 1;
  e->do_psnr = true;
  e->intra_only = true;
  e->intra_dc_precision = 9;
  e->video_global_header = 2;
  e->intra_matrix = static_cast<uint16_t*>(ff::av_mallocz(64 * sizeof(uint16_t)));
  for (int i = 0; i < 64; i++) e->intra_matrix[i] = static_cast<uint16_t>(8 + i);
  e->audio_qscale = 4;
  e->video_codec_tag = MKTAG('X', 'V', 'I', 'D');
  e->video_codec_name = ff::av_strdup("mpeg4");
  ASSERT_TRUE(e->open_output_file(temp_file("settings.mp4"))) << e->last_error;
  ASSERT_EQ(e->output_files[0]->nb_streams, 2u);
  const OutputStreamSetup& vs = e->output_streams[0][0];
  AVCodecContext* enc = vs.enc;
  EXPECT_EQ(enc->codec_id, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(enc->width, 320);
  EXPECT_EQ(enc->height, 240);
  EXPECT_EQ(enc->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(enc->rc_buffer_size, 1835008);
  EXPECT_EQ(enc->rc_initial_buffer_occupancy, 1376256);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_FLOAT_EQ(vs.quality, 590.0f);
  EXPECT_EQ(enc->global_quality, 590);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_PASS1);
  EXPECT_FALSE(enc->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_PSNR);
  EXPECT_EQ(enc->gop_size, 0);
  EXPECT_EQ(enc->intra_dc_precision, 1);
  EXPECT_FALSE(enc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // only local headers asked for
  EXPECT_TRUE(enc->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER);
  EXPECT_EQ(enc->codec_tag, MKTAG('X', 'V', 'I', 'D'));
  ASSERT_NE(enc->intra_matrix, nullptr);
  EXPECT_NE(enc->intra_matrix, e->intra_matrix);  // its own copy
  EXPECT_EQ(std::memcmp(enc->intra_matrix, e->intra_matrix, 128), 0);
  EXPECT_EQ(enc->inter_matrix, nullptr);

  const OutputStreamSetup& as = e->output_streams[0][1];
  EXPECT_EQ(as.enc->codec_id, AV_CODEC_ID_AAC);
  EXPECT_TRUE(as.enc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // mp4 wants global headers
  EXPECT_FLOAT_EQ(as.quality, 472.0f);
  EXPECT_EQ(as.enc->sample_rate, 44100);
  EXPECT_EQ(q(as.enc->time_base), "1/44100");
  EXPECT_EQ(as.enc->ch_layout.nb_channels, 2);

  // Two-pass second run.
  auto pass2 = fresh();
  pass2->do_pass = 2;
  pass2->video_global_header = 1;
  ASSERT_TRUE(pass2->open_output_file(temp_file("pass2.avi")));
  EXPECT_TRUE(pass2->output_streams[0][0].enc->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_TRUE(pass2->output_streams[0][0].enc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  EXPECT_TRUE(pass2->codec_option_ctx[0]->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
}

TEST_F(EngineSetup, StreamCopyKeepsTheAudioLayout) {
  e->audio_stream_copy = true;
  e->video_stream_copy = true;
  e->audio_channels = 1;
  e->audio_sample_rate = 22050;
  ASSERT_TRUE(e->open_output_file(temp_file("copy.avi"))) << e->last_error;
  ASSERT_EQ(e->output_files[0]->nb_streams, 2u);
  EXPECT_TRUE(e->output_streams[0][0].stream_copy);
  const OutputStreamSetup& as = e->output_streams[0][1];
  EXPECT_TRUE(as.stream_copy);
  EXPECT_EQ(as.enc->ch_layout.nb_channels, 1);
  EXPECT_EQ(as.enc->sample_rate, 22050);
  EXPECT_EQ(q(as.enc->time_base), "1/22050");
  EXPECT_FALSE(e->audio_stream_copy);
  EXPECT_FALSE(e->video_stream_copy);
}

TEST_F(EngineSetup, SecondOutputStartsFromDefaults) {
  ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::Mpeg4Mp3Avi)));
  e->video_codec_name = ff::av_strdup("mpeg1video");
  e->audio_codec_name = ff::av_strdup("mp2");
  e->frame_width = 352;
  e->frame_height = 288;
  e->frame_rate = AVRational{25, 1};
  ASSERT_TRUE(e->open_output_file(temp_file("first.mpg"))) << e->last_error;
  EXPECT_EQ(e->video_codec_name, nullptr);
  EXPECT_EQ(e->audio_codec_name, nullptr);
  ASSERT_TRUE(e->open_output_file(temp_file("second.avi"))) << e->last_error;
  ASSERT_EQ(e->nb_output_files, 2);
  AVCodecContext* v1 = e->output_streams[0][0].enc;
  AVCodecContext* a1 = e->output_streams[0][1].enc;
  AVCodecContext* v2 = e->output_streams[1][0].enc;
  AVCodecContext* a2 = e->output_streams[1][1].enc;
  EXPECT_EQ(v1->codec_id, AV_CODEC_ID_MPEG1VIDEO);
  EXPECT_EQ(a1->codec_id, AV_CODEC_ID_MP2);
  EXPECT_EQ(v2->codec_id, AV_CODEC_ID_MPEG4);  // the container's default again
  EXPECT_EQ(a2->codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(v2->width, 352);
  EXPECT_EQ(v2->height, 288);

  // Both outputs open, write and read back as created.
  for (int f = 0; f < 2; f++) ASSERT_EQ(finish_output(*e, f), "") << f;
  testmedia::FileInfo mpg = testmedia::probe(temp_file("first.mpg"), false);
  ASSERT_TRUE(mpg.ok) << mpg.error;
  ASSERT_NE(mpg.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(mpg.first(AVMEDIA_TYPE_VIDEO)->codec, "mpeg1video");
  EXPECT_EQ(mpg.first(AVMEDIA_TYPE_VIDEO)->width, 352);
  ASSERT_NE(mpg.first(AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(mpg.first(AVMEDIA_TYPE_AUDIO)->codec, "mp2");
  testmedia::FileInfo avi = testmedia::probe(temp_file("second.avi"), false);
  ASSERT_TRUE(avi.ok) << avi.error;
  ASSERT_NE(avi.first(AVMEDIA_TYPE_VIDEO), nullptr);
  EXPECT_EQ(avi.first(AVMEDIA_TYPE_VIDEO)->codec, "mpeg4");
  EXPECT_EQ(avi.first(AVMEDIA_TYPE_VIDEO)->width, 352);
  EXPECT_EQ(avi.first(AVMEDIA_TYPE_AUDIO)->codec, "mp3");
}

TEST_F(EngineSetup, MetadataAndMuxerOptions) {
  e->meta_title = "A title";
  e->meta_author = "Someone";
  e->meta_copyright = "(c) us";
  e->meta_comment = "no comment";
  e->meta_album = "An album";
  e->meta_genre = "Ambient";
  e->meta_year = 2007;
  e->meta_track = 3;
  e->rec_timestamp = 946684800;  // 2000-01-01 00:00:00 UTC
  e->audio_codec_name = ff::av_strdup("mp2");
  e->video_disable = true;
  ASSERT_TRUE(e->open_output_file(temp_file("meta.mp4"))) << e->last_error;
  AVDictionary* m = e->output_files[0]->metadata;
  EXPECT_EQ(dict_value(m, "title"), "A title");
  EXPECT_EQ(dict_value(m, "artist"), "Someone");
  EXPECT_EQ(dict_value(m, "date"), "2007");
  EXPECT_EQ(dict_value(m, "track"), "3");
  EXPECT_EQ(dict_value(m, "creation_time"), "2000-01-01T00:00:00.000000Z");
  ASSERT_EQ(finish_output(*e, 0), "");
  testmedia::FileInfo info = testmedia::probe(temp_file("meta.mp4"), false);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.metadata["title"], "A title");
  EXPECT_EQ(info.metadata["artist"], "Someone");
  EXPECT_EQ(info.metadata["copyright"], "(c) us");
  EXPECT_EQ(info.metadata["comment"], "no comment");
  EXPECT_EQ(info.metadata["album"], "An album");
  EXPECT_EQ(info.metadata["genre"], "Ambient");
  EXPECT_EQ(info.metadata["date"], "2007");
  EXPECT_EQ(info.metadata["track"], "3");

  // Old muxer fields: preload and mux rate reach an MPEG-PS muxer, max_delay the context.
  auto mpg = fresh();
  ASSERT_TRUE(mpg->set_library_option("muxrate", int64_t{2352 * 75 * 8}));
  mpg->mux_max_delay = 0.5f;
  mpg->mux_preload = 0.25f;
  mpg->video_disable = true;
  mpg->audio_codec_name = ff::av_strdup("mp2");
  mpg->loop_output = 0;
  ASSERT_TRUE(mpg->open_output_file(temp_file("mux.mpg"))) << mpg->last_error;
  EXPECT_EQ(mpg->output_files[0]->max_delay, 500000);
  EXPECT_EQ(dict_value(mpg->mux_opts[0], "preload"), "250000");
  EXPECT_EQ(dict_value(mpg->mux_opts[0], "muxrate"), "1411200");
  EXPECT_EQ(dict_value(mpg->mux_opts[0], "loop"), "<unset>");  // not a gif
  ASSERT_EQ(finish_output(*mpg, 0), "");  // the muxer took both options
  testmedia::FileInfo ps = testmedia::probe(temp_file("mux.mpg"), false);
  ASSERT_TRUE(ps.ok) << ps.error;
  ASSERT_EQ(ps.streams.size(), 1u);
  EXPECT_EQ(ps.streams[0].codec, "mp2");

  auto gif = fresh();
  gif->loop_output = 0;
  gif->frame_width = 32;
  gif->frame_height = 32;
  ASSERT_TRUE(gif->open_output_file(temp_file("loop.gif"))) << gif->last_error;
  EXPECT_EQ(dict_value(gif->mux_opts[0], "loop"), "0");
  EXPECT_EQ(dict_value(gif->mux_opts[0], "preload"), "<unset>");
}

TEST_F(EngineSetup, SubtitleStreams) {
  ASSERT_TRUE(e->open_input_file(testmedia::path(Clip::SubtitleMkv)));
  e->subtitle_language = "fra";
  ASSERT_TRUE(e->open_output_file(temp_file("subs.mkv"))) << e->last_error;
  AVFormatContext* oc = e->output_files[0];
  ASSERT_EQ(oc->nb_streams, 3u);
  const OutputStreamSetup& ss = e->output_streams[0][2];
  EXPECT_EQ(ss.enc->codec_type, AVMEDIA_TYPE_SUBTITLE);
  EXPECT_EQ(ss.enc->codec_id, AV_CODEC_ID_ASS);  // the container's subtitle codec
  EXPECT_EQ(ss.language, "fra");
  EXPECT_EQ(dict_value(oc->streams[2]->metadata, "language"), "fra");

  e->subtitle_codec_name = ff::av_strdup("mpeg4");
  EXPECT_EQ(error_of([&] { e->add_subtitle_stream(); }), "Invalid encoder type 'mpeg4'");
  EXPECT_EQ(e->subtitle_codec_name, nullptr);

  auto none = fresh();
  ASSERT_TRUE(none->open_input_file(testmedia::path(Clip::SubtitleMkv)));
  none->subtitle_disable = true;
  ASSERT_TRUE(none->open_output_file(temp_file("nosubs.mkv")));
  EXPECT_EQ(none->output_files[0]->nb_streams, 2u);
}

TEST_F(EngineSetup, StreamFailuresAndLimits) {
  EXPECT_EQ(error_of([&] { e->add_audio_stream(); }), "At least one output file must be specified");

  e->video_codec_name = ff::av_strdup("nosuch");
  EXPECT_FALSE(e->open_output_file(temp_file("bad.avi")));
  EXPECT_EQ(e->last_error, "new_video_stream fail: Unknown encoder 'nosuch'");
  EXPECT_EQ(e->video_codec_name, nullptr);
  EXPECT_EQ(e->nb_output_files, 0);

  e->audio_codec_name = ff::av_strdup("mpeg4");
  e->audio_language = "deu";
  EXPECT_FALSE(e->open_output_file(temp_file("bad.avi")));
  EXPECT_EQ(e->last_error, "new_audio_stream fail: Invalid encoder type 'mpeg4'");
  EXPECT_EQ(e->audio_language, "");

  // A destination that cannot be created stays registered for release_all.
  const std::string unwritable = temp_file("no/such/folder/out.avi");
  EXPECT_FALSE(e->open_output_file(unwritable));
  EXPECT_EQ(e->last_error, "Could not open '" + unwritable + "'");
  EXPECT_EQ(e->nb_output_files, 1);

  // Twenty streams per file, twenty files.
  auto many = fresh();
  many->video_disable = true;
  many->audio_disable = true;
  ASSERT_TRUE(many->open_output_file(temp_file("many.avi")));
  for (int i = 0; i < MAX_STREAMS; i++) many->add_audio_stream();
  EXPECT_EQ(error_of([&] { many->add_audio_stream(); }), "Could not alloc stream");
  for (int i = 1; i < MAX_FILES; i++) ASSERT_TRUE(many->open_output_file(temp_file("many.avi"))) << i;
  EXPECT_FALSE(many->open_output_file(temp_file("many.avi")));
  EXPECT_NE(many->last_error.find("too many output files"), std::string::npos) << many->last_error;
  EXPECT_EQ(many->nb_output_files, MAX_FILES);
}

TEST_F(EngineSetup, EmptyOutputsAreRemovedOnRelease) {
  const std::string file = temp_file("empty.avi");
  ASSERT_TRUE(e->open_output_file(file));
  EXPECT_TRUE(std::ifstream(file).good());
  e->release_all();
  EXPECT_FALSE(std::ifstream(file).good());
}

}  // namespace
