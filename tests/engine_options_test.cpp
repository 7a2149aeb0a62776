// Option dispatcher, typed setters and target presets of the engine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "binding/loader.h"
#include "engine/engine.h"
#include "media/testmedia.h"

namespace {

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const FFMpegException& e) {
    return e.what();
  }
  return "<no exception>";
}

int64_t opt_int(void* obj, const char* name) {
  int64_t v = INT64_MIN;
  if (!obj || ff::av_opt_get_int(obj, name, 0, &v) < 0) return INT64_MIN;
  return v;
}

std::string dict_value(const AVDictionary* d, const char* key) {
  const AVDictionaryEntry* e = ff::av_dict_get(d, key, nullptr, 0);
  return e ? e->value : "<unset>";
}

std::string cwd() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? buf : "";
}

std::string numbers(int count, const char* sep = ",") {
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? sep : "") + std::to_string(i + 1);
  return s;
}

class EngineOptions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }

  void SetUp() override { e = fresh(); }

  std::unique_ptr<TCustomFFmpeg> fresh() {
    auto engine = std::make_unique<TCustomFFmpeg>();
    engine->reset();
    engine->OnLog = [this](int level, const std::string& m) { logs.push_back({level, m}); };
    return engine;
  }

  bool logged(int level, const std::string& text) const {
    for (const auto& [l, m] : logs)
      if (l == level && m == text) return true;
    return false;
  }

  std::unique_ptr<TCustomFFmpeg> e;
  std::vector<std::pair<int, std::string>> logs;
};

// ---------------------------------------------------------------- dispatcher

struct ValueCase {
  const char* name;
  const char* value;
  std::function<bool(const TCustomFFmpeg&)> check;
};

TEST_F(EngineOptions, OptionsStoreTheirValues) {
  const ValueCase cases[] = {
      {"s", "640x480", [](auto& x) { return x.frame_width == 640 && x.frame_height == 480; }},
      {"S", "640x480", [](auto& x) { return x.frame_width == 0 && x.frame_height == 0; }},
      {"r", "30000/1001", [](auto& x) { return x.frame_rate.num == 30000 && x.frame_rate.den == 1001; }},
      {"r", "ntsc", [](auto& x) { return x.frame_rate.num == 30000 && x.frame_rate.den == 1001; }},
      {"aspect", "16:9", [](auto& x) { return std::abs(x.frame_aspect_ratio - 16.0f / 9) < 1e-6; }},
      {"aspect", "1.85", [](auto& x) { return x.frame_aspect_ratio == 1.85f; }},
      {"pix_fmt", "yuv422p", [](auto& x) { return x.frame_pix_fmt == AV_PIX_FMT_YUV422P; }},
      {"f", "avi", [](auto& x) {
         return x.file_iformat && x.file_oformat && std::string(x.file_oformat->name) == "avi";
       }},
      {"dump", "", [](auto& x) { return x.do_pkt_dump; }},
      {"hex", "", [](auto& x) { return x.do_hex_dump; }},
      {"re", "", [](auto& x) { return x.rate_emu; }},
      {"loop_input", "", [](auto& x) { return x.loop_input; }},
      {"copyts", "", [](auto& x) { return x.copy_ts; }},
      {"shortest", "", [](auto& x) { return x.opt_shortest; }},
      {"intra", "", [](auto& x) { return x.intra_only; }},
      {"vn", "anything", [](auto& x) { return x.video_disable; }},
      {"sameq", "", [](auto& x) { return x.same_quality; }},
      {"deinterlace", "", [](auto& x) { return x.do_deinterlace; }},
      {"psnr", "", [](auto& x) { return x.do_psnr; }},
      {"qphist", "", [](auto& x) { return x.qp_hist; }},
      {"an", "", [](auto& x) { return x.audio_disable; }},
      {"sn", "", [](auto& x) { return x.subtitle_disable; }},
      {"isync", "", [](auto& x) { return x.input_sync; }},
      {"vframes", "100", [](auto& x) { return x.max_frames[AVMEDIA_TYPE_VIDEO] == 100; }},
      {"aframes", " 7", [](auto& x) { return x.max_frames[AVMEDIA_TYPE_AUDIO] == 7; }},
      {"dframes", "3", [](auto& x) { return x.max_frames[AVMEDIA_TYPE_DATA] == 3; }},
      {"loop_output", "0", [](auto& x) { return x.loop_output == 0; }},
      {"vsync", "2", [](auto& x) { return x.video_sync_method == 2; }},
      {"async", "-1", [](auto& x) { return x.audio_sync_method == -1; }},
      {"vglobal", "1", [](auto& x) { return x.video_global_header == 1; }},
      {"programid", "4", [](auto& x) { return x.opt_programid == 4; }},
      {"vdt", "16", [](auto& x) { return x.video_discard == 16; }},
      {"me_threshold", "5", [](auto& x) { return x.me_threshold == 5; }},
      {"top", "1", [](auto& x) { return x.top_field_first == 1; }},
      {"dc", "10", [](auto& x) { return x.intra_dc_precision == 10; }},
      {"vol", "512", [](auto& x) { return x.audio_volume == 512; }},
      {"vc", "2", [](auto& x) { return x.video_channel == 2; }},
      {"fs", "5000000000", [](auto& x) { return x.limit_filesize == 5000000000LL; }},
      {"padcolor", "$FF", [](auto& x) { return x.padcolor[0] == 76 && x.padcolor[1] == 85 && x.padcolor[2] == 255; }},
      {"adrift_threshold", "0.25", [](auto& x) { return x.audio_drift_threshold == 0.25f; }},
      {"dts_delta_threshold", "2e1", [](auto& x) { return x.dts_delta_threshold == 20.0f; }},
      {"aq", " 3.5 ", [](auto& x) { return x.audio_qscale == 3.5f; }},
      {"muxdelay", "0", [](auto& x) { return x.mux_max_delay == 0.0f; }},
      {"muxpreload", "0.3", [](auto& x) { return x.mux_preload == 0.3f; }},
      {"passlogfile", "/tmp/two pass", [](auto& x) { return x.pass_logfilename == "/tmp/two pass"; }},
      {"alang", "eng", [](auto& x) { return x.audio_language == "eng"; }},
      {"slang", "fre", [](auto& x) { return x.subtitle_language == "fre"; }},
      {"rc_override", "0,100,2/101,200,-50",
       [](auto& x) { return x.video_rc_override && std::string(x.video_rc_override) == "0,100,2/101,200,-50"; }},
      {"tvstd", "pal", [](auto& x) { return x.video_standard && std::string(x.video_standard) == "pal"; }},
      {"title", "T", [](auto& x) { return x.meta_title == "T"; }},
      {"author", "A", [](auto& x) { return x.meta_author == "A"; }},
      {"copyright", "C", [](auto& x) { return x.meta_copyright == "C"; }},
      {"comment", "c", [](auto& x) { return x.meta_comment == "c"; }},
      {"genre", "G", [](auto& x) { return x.meta_genre == "G"; }},
      {"album", "", [](auto& x) { return x.meta_album.empty(); }},
      {"vtag", "XVID", [](auto& x) { return x.video_codec_tag == ('X' | 'V' << 8 | 'I' << 16 | 'D' << 24); }},
      {"atag", "", [](auto& x) { return x.audio_codec_tag == 0; }},
      {"acodec", "mp2", [](auto& x) { return x.audio_codec_name && std::string(x.audio_codec_name) == "mp2"; }},
      {"scodec", "copy", [](auto& x) { return x.subtitle_stream_copy && !x.subtitle_codec_name; }},
      {"ar", "0", [](auto& x) { return x.audio_sample_rate == 44100; }},
      {"ar", "22050", [](auto& x) { return x.audio_sample_rate == 22050; }},
      {"ac", "-1", [](auto& x) { return x.audio_channels == 2; }},
      {"ac", "6", [](auto& x) { return x.audio_channels == 6; }},
      {"pass", "2", [](auto& x) { return x.do_pass == 2; }},
      {"qscale", "255", [](auto& x) { return x.video_qscale == 255.0f; }},
      {"padtop", "-2", [](auto& x) { return x.frame_padtop == 0; }},
      {"padright", "8", [](auto& x) { return x.frame_padright == 8; }},
      {"map", "0:1", [](auto& x) {
         const StreamMap& m = x.stream_maps[0];
         return x.nb_stream_maps == 1 && m.file_index == 0 && m.stream_index == 1 && m.sync_file_index == 0 &&
                m.sync_stream_index == 1;
       }},
      {"map", "0:1:1:0", [](auto& x) {
         const StreamMap& m = x.stream_maps[0];
         return m.file_index == 0 && m.stream_index == 1 && m.sync_file_index == 1 && m.sync_stream_index == 0;
       }},
      {"map", "0x1.010", [](auto& x) {  // hexadecimal and octal as strtol reads them
         const StreamMap& m = x.stream_maps[0];
         return m.file_index == 1 && m.stream_index == 8 && m.sync_file_index == 1 && m.sync_stream_index == 8;
       }},
      {"map_meta_data", "1:0", [](auto& x) {
         return x.nb_meta_data_maps == 1 && x.meta_data_maps[0].out_file == 1 && x.meta_data_maps[0].in_file == 0;
       }},
      {"itsscale", "1:2.5", [](auto& x) { return x.input_ts_scale[0][1] == 2.5; }},
      {"itsscale", "19,0.5", [](auto& x) { return x.input_ts_scale[0][19] == 0.5; }},
      {"t", "30", [](auto& x) { return x.recording_time == 30000000 && x.total_output_duration == 30000; }},
      {"t", "2:00:00", [](auto& x) { return x.recording_time == 7200000000LL && x.total_output_duration == 7200000; }},
      {"t", "0", [](auto& x) { return x.recording_time == INT64_MAX && x.total_output_duration == -1; }},
      {"ss", "1.5", [](auto& x) { return x.start_time == 1500000; }},
      {"itsoffset", "-2", [](auto& x) { return x.pending_ts_offset == -2000000; }},
      {"timestamp", "2000-01-01 00:00:00.6Z", [](auto& x) { return x.rec_timestamp == 946684801; }},
      {"unknown_name", "1", [](auto&) { return true; }},
  };
  for (const ValueCase& c : cases) {
    auto engine = fresh();
    EXPECT_EQ(error_of([&] { engine->set_option(c.name, c.value); }), "<no exception>") << c.name << "=" << c.value;
    EXPECT_TRUE(c.check(*engine)) << c.name << "=" << c.value;
  }
}

struct ErrorCase {
  const char* name;
  const char* value;
  const char* message;
};

TEST_F(EngineOptions, InvalidValuesRaiseTheirMessages) {
  const std::string vcrop =
      "Vertical crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
  const std::string hcrop =
      "Horizontal crop dimensions are outside the range of the original image.\nRemember to crop first and scale "
      "second.";
  const ErrorCase cases[] = {
      {"threads", "2", "TODO: option - threads"},
      {"absf", "x", "TODO: option - absf"},
      {"vframes", "12x", "'12x' is not a valid integer value"},
      {"vframes", "", "'' is not a valid integer value"},
      {"vframes", "99999999999", "'99999999999' is not a valid integer value"},
      {"croptop", "2.0", "'2.0' is not a valid integer value"},
      {"aq", "1,5", "'1,5' is not a valid floating point value"},
      {"qscale", "abc", "'abc' is not a valid floating point value"},
      {"muxpreload", "nan", "'nan' is not a valid floating point value"},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "256", "qscale must be > 0.0 and <= 255"},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"aspect", "wide", "Incorrect aspect ratio specification."},
      {"aspect", "-16:9", "Incorrect aspect ratio specification."},
      {"s", "huge", "Incorrect frame size"},
      {"s", "641x480", "Frame size must be a multiple of 2"},
      {"r", "fast", "Incorrect frame rate"},
      {"f", "nosuchformat", "Unknown input or output format: nosuchformat"},
      {"croptop", "3", "Top crop size must be a multiple of 2"},
      {"cropbottom", "5", "Bottom crop size must be a multiple of 2"},
      {"cropleft", "1", "Left crop size must be a multiple of 2"},
      {"cropright", "7", "Right crop size must be a multiple of 2"},
      {"croptop", "480", vcrop.c_str()},
      {"cropleft", "640", hcrop.c_str()},
      {"padtop", "3", "Top pad size must be a multiple of 2"},
      {"padbottom", "1", "Bottom pad size must be a multiple of 2"},
      {"padleft", "5", "Left pad size must be a multiple of 2"},
      {"padright", "9", "Right pad size must be a multiple of 2"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"vtag", "DX50x", "video tag parameter must be 4 chars"},
      {"atag", "abc", "audio tag parameter must be 4 chars"},
      {"itsscale", "20:2.0", "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:2.0", "stream index over MAX_STREAMS(20)"},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"vhook", "", "Failed to add video hook function: "},
      {"vhook", "/nonexistent/dir/hook.so", "Failed to add video hook function: /nonexistent/dir/hook.so"},
  };
  for (const ErrorCase& c : cases) {
    auto engine = fresh();
    engine->frame_width = 640;
    engine->frame_height = 480;
    EXPECT_EQ(error_of([&] { engine->set_option(c.name, c.value); }), c.message) << c.name << "=" << c.value;
  }
}

TEST_F(EngineOptions, FailedSettersKeepEarlierValues) {
  e->set_option("s", "320x240");
  EXPECT_NE(error_of([&] { e->set_option("s", "bogus"); }), "<no exception>");
  EXPECT_EQ(e->frame_width, 320);
  // Only the multiple-of-2 check failed: the size stays stored.
  EXPECT_NE(error_of([&] { e->set_option("s", "321x241"); }), "<no exception>");
  EXPECT_EQ(e->frame_width, 321);
  EXPECT_EQ(e->frame_height, 241);

  e->set_option("qscale", "4");
  EXPECT_NE(error_of([&] { e->set_option("qscale", "-1"); }), "<no exception>");
  EXPECT_EQ(e->video_qscale, 4.0f);

  e->set_option("itsscale", "3:1.5");
  EXPECT_NE(error_of([&] { e->set_option("itsscale", "20:2.0"); }), "<no exception>");
  for (int s = 0; s < MAX_STREAMS; ++s) EXPECT_EQ(e->input_ts_scale[0][s], s == 3 ? 1.5 : 0.0) << s;
}

TEST_F(EngineOptions, CropReducesTheFrame) {
  e->frame_width = 640;
  e->frame_height = 480;
  e->set_option("croptop", "10");
  EXPECT_EQ(e->frame_topband, 10);
  EXPECT_EQ(e->frame_height, 470);
  e->set_option("croptop", "-2");
  EXPECT_EQ(e->frame_topband, 10);
  EXPECT_EQ(e->frame_height, 470);
  e->set_option("cropbottom", "20");
  e->set_option("cropleft", "16");
  e->set_option("cropright", "8");
  EXPECT_EQ(e->frame_height, 450);
  EXPECT_EQ(e->frame_width, 616);
  EXPECT_EQ(e->frame_bottomband, 20);
  EXPECT_EQ(e->frame_leftband, 16);
  EXPECT_EQ(e->frame_rightband, 8);
}

TEST_F(EngineOptions, CodecCopyAndNames) {
  e->set_option("vcodec", "mpeg4");
  ASSERT_NE(e->video_codec_name, nullptr);
  EXPECT_STREQ(e->video_codec_name, "mpeg4");
  e->set_option("vcodec", "copy");
  EXPECT_TRUE(e->video_stream_copy);
  EXPECT_EQ(e->video_codec_name, nullptr);
  e->set_option("vcodec", "");
  EXPECT_TRUE(e->video_stream_copy);
  // A codec chosen later wins over an earlier copy.
  e->set_video_codec("libx264");
  EXPECT_FALSE(e->video_stream_copy);
  EXPECT_STREQ(e->video_codec_name, "libx264");
}

TEST_F(EngineOptions, PadColour) {
  struct {
    int32_t rgb;
    int y, u, v;
  } const cases[] = {
      {0xFFFFFF, 255, 128, 128},  // white
      {0x0000FF, 76, 85, 255},    // red
      {0x000000, 0, 128, 128},    // black
      {0x00FF00, 150, 43, 21},    // green
      {0xFF0000, 29, 255, 107},   // blue
  };
  for (const auto& c : cases) {
    e->set_pad_color(c.rgb);
    EXPECT_EQ(e->padcolor[0], c.y) << std::hex << c.rgb;
    EXPECT_EQ(e->padcolor[1], c.u) << std::hex << c.rgb;
    EXPECT_EQ(e->padcolor[2], c.v) << std::hex << c.rgb;
  }
  e->set_option("padcolor", "16777215");
  EXPECT_EQ(e->padcolor[0], 255);
}

TEST_F(EngineOptions, QuantiserMatrices) {
  e->set_option("intra_matrix", numbers(64));
  ASSERT_NE(e->intra_matrix, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(e->intra_matrix[i], i + 1);
  // Blanks before a number are skipped; text after the 64th is ignored.
  e->set_option("inter_matrix", numbers(64, ", ") + ",99,abc");
  ASSERT_NE(e->inter_matrix, nullptr);
  EXPECT_EQ(e->inter_matrix[0], 1);
  EXPECT_EQ(e->inter_matrix[63], 64);

  const std::string short63 = numbers(63);
  EXPECT_EQ(error_of([&] { e->set_option("intra_matrix", short63); }),
            "Syntax error in matrix \"" + short63 + "\" at coeff 62");
  // A failed parse keeps the matrix set before.
  EXPECT_EQ(e->intra_matrix[5], 6);

  // A zero coefficient would divide by zero in the encoder.
  const std::string with_zero = "0," + numbers(63);
  EXPECT_EQ(error_of([&] { e->set_option("inter_matrix", with_zero); }),
            "Invalid value 0 in matrix \"" + with_zero + "\" at coeff 0 (1 to 255)");
  EXPECT_EQ(e->inter_matrix[0], 1);
}

TEST_F(EngineOptions, MapTablesHoldTwentyEntries) {
  for (int i = 0; i < MAX_STREAM_MAPS; ++i) e->set_option("map", "0:" + std::to_string(i));
  EXPECT_EQ(e->nb_stream_maps, 20);
  EXPECT_EQ(e->stream_maps[19].stream_index, 19);
  EXPECT_EQ(error_of([&] { e->set_option("map", "0:20"); }), "Too many stream maps (at most 20)");
  EXPECT_EQ(e->nb_stream_maps, 20);

  for (int i = 0; i < MAX_FILES; ++i) e->set_option("map_meta_data", "0:" + std::to_string(i));
  EXPECT_EQ(error_of([&] { e->set_option("map_meta_data", "0:0"); }), "Too many meta-data maps (at most 20)");
  EXPECT_EQ(e->nb_meta_data_maps, 20);
}

TEST_F(EngineOptions, LoggedOptions) {
  e->set_option("benchmark", "");
  EXPECT_TRUE(logged(1, "Do nothing: option - benchmark"));

  e->set_option("b", "200");
  EXPECT_TRUE(logged(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s"));
  EXPECT_EQ(opt_int(e->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "b"), 200);

  logs.clear();
  e->set_option("vb", "800000");
  EXPECT_TRUE(logs.empty());
  EXPECT_EQ(opt_int(e->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "b"), 800000);
  e->set_option("ab", "64");
  EXPECT_EQ(logs.size(), 1u);
  EXPECT_EQ(opt_int(e->codec_option_ctx[AVMEDIA_TYPE_AUDIO], "b"), 64);

  logs.clear();
  e->set_option("pix_fmt", "yuv420p");
  e->set_option("pix_fmt", "list");
  EXPECT_EQ(e->frame_pix_fmt, AV_PIX_FMT_YUV420P);
  ASSERT_EQ(logs.size(), 41u);
  EXPECT_EQ(logs[0].second.rfind("name", 0), 0u) << logs[0].second;
  EXPECT_EQ(logs[1].second.rfind("yuv420p", 0), 0u) << logs[1].second;
  for (const auto& [level, m] : logs) {
    EXPECT_EQ(level, 1);
    EXPECT_FALSE(m.empty() || m.back() == ' ' || m.back() == '\n') << m;
  }

  logs.clear();
  e->set_option("f", "pgmyuv");
  EXPECT_TRUE(logged(1, "pgmyuv format is deprecated, use image2"));
  EXPECT_TRUE(e->pgmyuv_compatibility);
  EXPECT_STREQ(e->file_oformat->name, "image2");
}

TEST_F(EngineOptions, VerboseSetsEveryLevel) {
  const int saved_av = ff::av_log_get_level();
  const int saved_threshold = klaventa::log_threshold();
  e->set_option("v", "2");
  EXPECT_EQ(e->verbose, 2);
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_DEBUG);
  EXPECT_EQ(klaventa::log_threshold(), 2);
  e->set_option("v", "-1");
  EXPECT_EQ(ff::av_log_get_level(), AV_LOG_QUIET);
  EXPECT_EQ(klaventa::log_threshold(), -1);
  ff::av_log_set_level(saved_av);
  klaventa::set_log_threshold(saved_threshold);
}

TEST_F(EngineOptions, AspectUsesTheApplicationLocale) {
  // The application's locale here has a decimal point.
  std::locale::global(std::locale::classic());
  e->set_option("aspect", "1.85");
  EXPECT_FLOAT_EQ(e->frame_aspect_ratio, 1.85f);
  EXPECT_EQ(error_of([&] { e->set_option("aspect", "1,85"); }), "Incorrect aspect ratio specification.");
}

TEST_F(EngineOptions, VideoHookRunsInItsFolder) {
  const std::string before = cwd();
  e->set_option("vhook", std::string(KLAVENTA_TEST_HOOK) + "|0|0|8|8");
  EXPECT_TRUE(e->using_vhook);
  ASSERT_NE(e->frame_hooks, nullptr);
  EXPECT_NE(e->frame_hooks->process, nullptr);
  EXPECT_EQ(cwd(), before);

  // Space-separated arguments; the second hook is appended to the chain.
  e->set_option("vhook", KLAVENTA_TEST_HOOK);
  ASSERT_NE(e->frame_hooks->next, nullptr);
  EXPECT_EQ(e->frame_hooks->next->next, nullptr);

  // A relative path with a folder still loads after the change of directory.
  const std::string hook = KLAVENTA_TEST_HOOK;
  const std::string dir = hook.substr(0, hook.rfind('/'));
  const std::string parent = dir.substr(0, dir.rfind('/'));
  ASSERT_EQ(chdir(parent.c_str()), 0);
  const std::string relative = hook.substr(parent.size() + 1);
  EXPECT_EQ(error_of([&] { e->set_option("vhook", relative); }), "<no exception>") << relative;
  EXPECT_EQ(cwd(), parent);
  ASSERT_EQ(chdir(before.c_str()), 0);

  auto engine = fresh();
  EXPECT_EQ(error_of([&] { engine->set_option("vhook", KLAVENTA_TEST_HOOK_NOPROCESS); }),
            std::string("Failed to add video hook function: ") + KLAVENTA_TEST_HOOK_NOPROCESS);
  EXPECT_FALSE(engine->using_vhook);
  EXPECT_EQ(cwd(), before);
  // Configure refuses three arguments.
  EXPECT_NE(error_of([&] { engine->set_option("vhook", std::string(KLAVENTA_TEST_HOOK) + " 1 2"); }),
            "<no exception>");
  EXPECT_EQ(engine->frame_hooks, nullptr);

  klaventa::release_frame_hooks(&e->frame_hooks);
}

TEST_F(EngineOptions, VstatsFileNames) {
  e->set_option("vstats", "0");
  ASSERT_NE(e->vstats_filename, nullptr);
  const std::string name = e->vstats_filename;
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string dir(exe, static_cast<size_t>(n));
  dir = dir.substr(0, dir.rfind('/') + 1);
  ASSERT_EQ(name.size(), dir.size() + std::strlen("vstats_hhnnss.log"));
  EXPECT_EQ(name.substr(0, dir.size() + 7), dir + "vstats_");
  EXPECT_EQ(name.substr(name.size() - 4), ".log");
  for (size_t i = dir.size() + 7; i < name.size() - 4; ++i) EXPECT_TRUE(isdigit(name[i])) << name;

  e->set_option("vstats_file", "/tmp/stats.log");
  EXPECT_STREQ(e->vstats_filename, "/tmp/stats.log");
  e->set_vstats(false);
  EXPECT_EQ(e->vstats_filename, nullptr);
}

TEST_F(EngineOptions, HookRangesSortedByEnd) {
  e->hook_range_index = 3;
  e->set_hook_ranges({{5000, 9000}, {0, 1000}, {-1000, 3000}});
  ASSERT_EQ(e->hook_ranges.size(), 3u);
  EXPECT_EQ(e->hook_ranges[0].end, 1000);
  EXPECT_EQ(e->hook_ranges[1].end, 3000);
  EXPECT_EQ(e->hook_ranges[2].end, 9000);
  EXPECT_EQ(e->hook_range_index, 0);
  e->set_hook_ranges({});
  EXPECT_TRUE(e->hook_ranges.empty());
}

// ---------------------------------------------------------------- presets

struct PresetCase {
  const char* type;
  const char* norm;
  int width, height;
  AVRational rate;
  int64_t gop;             // INT64_MIN: not set
  int64_t video_b, audio_b;
  int sample_rate;
  const char* format;
  const char* muxrate;
  int64_t packetsize;
  float aspect;
};

TEST_F(EngineOptions, PresetsPerNorm) {
  const PresetCase cases[] = {
      {"vcd", "pal", 352, 288, {25, 1}, 15, 1150000, 224000, 44100, "vcd", "1411200", 2324, 4.0f / 3},
      {"vcd", "ntsc", 352, 240, {30000, 1001}, 18, 1150000, 224000, 44100, "vcd", "1411200", 2324, 4.0f / 3},
      {"vcd", "film", 352, 240, {24000, 1001}, 18, 1150000, 224000, 44100, "vcd", "1411200", 2324, 4.0f / 3},
      {"svcd", "pal", 480, 576, {25, 1}, 15, 2040000, 224000, 44100, "svcd", "<unset>", 2324, 4.0f / 3},
      {"svcd", "ntsc", 480, 480, {30000, 1001}, 18, 2040000, 224000, 44100, "svcd", "<unset>", 2324, 4.0f / 3},
      {"svcd", "film", 480, 480, {24000, 1001}, 18, 2040000, 224000, 44100, "svcd", "<unset>", 2324, 4.0f / 3},
      {"dvd", "pal", 720, 576, {25, 1}, 15, 6000000, 448000, 48000, "dvd", "10080000", 2048, 16.0f / 9},
      {"dvd", "ntsc", 720, 480, {30000, 1001}, 18, 6000000, 448000, 48000, "dvd", "10080000", 2048, 16.0f / 9},
      {"dvd", "film", 720, 480, {24000, 1001}, 18, 6000000, 448000, 48000, "dvd", "10080000", 2048, 16.0f / 9},
      {"dv", "pal", 720, 576, {25, 1}, INT64_MIN, 0, 0, 48000, "dv", "<unset>", 0, 0},
      {"dv", "ntsc", 720, 480, {30000, 1001}, INT64_MIN, 0, 0, 48000, "dv", "<unset>", 0, 0},
      {"dv50", "pal", 720, 576, {25, 1}, INT64_MIN, 0, 0, 48000, "dv", "<unset>", 0, 0},
  };
  for (const PresetCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.norm);
    auto x = fresh();
    const int64_t default_gop = opt_int(x->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "g");
    const int64_t default_packetsize = opt_int(x->format_option_ctx, "packetsize");
    x->audio_channels = 1;
    x->apply_target(c.type, c.norm, "pal");
    EXPECT_EQ(x->frame_width, c.width);
    EXPECT_EQ(x->frame_height, c.height);
    EXPECT_EQ(x->frame_rate.num, c.rate.num);
    EXPECT_EQ(x->frame_rate.den, c.rate.den);
    EXPECT_EQ(x->audio_sample_rate, c.sample_rate);
    EXPECT_EQ(x->audio_channels, 2);
    ASSERT_NE(x->file_oformat, nullptr);
    EXPECT_STREQ(x->file_oformat->name, c.format);
    EXPECT_EQ(dict_value(x->private_format_opts, "muxrate"), c.muxrate);
    EXPECT_FLOAT_EQ(x->frame_aspect_ratio, c.aspect);
    void* video = x->codec_option_ctx[AVMEDIA_TYPE_VIDEO];
    void* audio = x->codec_option_ctx[AVMEDIA_TYPE_AUDIO];
    if (c.gop == INT64_MIN) {
      // DV sets no rates: the contexts keep their defaults.
      EXPECT_EQ(opt_int(video, "g"), default_gop);
      EXPECT_EQ(opt_int(x->format_option_ctx, "packetsize"), default_packetsize);
      EXPECT_EQ(x->video_codec_name, nullptr);
      continue;
    }
    EXPECT_EQ(opt_int(video, "g"), c.gop);
    EXPECT_EQ(opt_int(video, "b"), c.video_b);
    EXPECT_EQ(opt_int(audio, "b"), c.audio_b);
    EXPECT_EQ(opt_int(x->format_option_ctx, "packetsize"), c.packetsize);
    EXPECT_STREQ(x->video_codec_name, std::string(c.type) == "vcd" ? "mpeg1video" : "mpeg2video");
    EXPECT_STREQ(x->audio_codec_name, std::string(c.type) == "dvd" ? "ac3" : "mp2");
  }
}

TEST_F(EngineOptions, PresetDetails) {
  // Rate-control values and the settings that moved to private options.
  auto vcd = fresh();
  vcd->apply_target("vcd", "pal", "pal");
  void* video = vcd->codec_option_ctx[AVMEDIA_TYPE_VIDEO];
  EXPECT_EQ(opt_int(video, "maxrate"), 1150000);
  EXPECT_EQ(opt_int(video, "minrate"), 1150000);
  EXPECT_EQ(opt_int(video, "bufsize"), 327680);
  EXPECT_FLOAT_EQ(vcd->mux_preload, 0.44f);

  auto svcd = fresh();
  svcd->apply_target("svcd", "ntsc", "pal");
  EXPECT_EQ(opt_int(svcd->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "maxrate"), 2516000);
  EXPECT_EQ(opt_int(svcd->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "bufsize"), 1835008);
  EXPECT_EQ(dict_value(svcd->private_codec_opts[AVMEDIA_TYPE_VIDEO], "scan_offset"), "1");
  EXPECT_FLOAT_EQ(svcd->mux_preload, 0.5f);

  auto dvd = fresh();
  dvd->apply_target("dvd", "pal", "pal");
  EXPECT_EQ(opt_int(dvd->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "maxrate"), 9000000);
  EXPECT_EQ(dvd->private_codec_opts[AVMEDIA_TYPE_VIDEO], nullptr);

  // Pixel formats of DV.
  struct {
    const char* type;
    const char* norm;
    AVPixelFormat fmt;
  } const dv[] = {{"dv", "pal", AV_PIX_FMT_YUV420P}, {"dv", "ntsc", AV_PIX_FMT_YUV411P},
                  {"dv", "film", AV_PIX_FMT_YUV411P}, {"dv50", "pal", AV_PIX_FMT_YUV422P},
                  {"dv50", "ntsc", AV_PIX_FMT_YUV422P}};
  for (const auto& c : dv) {
    auto x = fresh();
    x->apply_target(c.type, c.norm, "pal");
    EXPECT_EQ(x->frame_pix_fmt, c.fmt) << c.type << " " << c.norm;
  }

  // Channels: svcd and dvd keep stereo and 5.1, vcd and dv force stereo.
  struct {
    const char* type;
    int before, after;
  } const channels[] = {{"svcd", 6, 6}, {"svcd", 2, 2}, {"dvd", 6, 6}, {"vcd", 6, 2}, {"dv", 6, 2}};
  for (const auto& c : channels) {
    auto x = fresh();
    x->audio_channels = c.before;
    x->apply_target(c.type, "pal", "pal");
    EXPECT_EQ(x->audio_channels, c.after) << c.type << " " << c.before;
  }

  // An aspect chosen before the preset stays.
  auto wide = fresh();
  wide->set_option("aspect", "16:9");
  wide->apply_target("vcd", "pal", "pal");
  EXPECT_FLOAT_EQ(wide->frame_aspect_ratio, 16.0f / 9);
}

TEST_F(EngineOptions, PresetNormDetection) {
  struct {
    AVRational rate;
    const char* fallback;
    int height;
    AVRational result;
    const char* norm_logged;
  } const cases[] = {
      {{25, 1}, "ntsc", 576, {25, 1}, "PAL"},
      {{30000, 1001}, "pal", 480, {30000, 1001}, "NTSC"},
      {{24000, 1001}, "pal", 480, {30000, 1001}, "NTSC"},  // 23.976 is NTSC, not FILM
      {{30, 1}, "pal", 576, {25, 1}, "PAL"},                // no input: the fallback decides
      {{30, 1}, "film", 480, {24000, 1001}, "NTSC"},
      {{30, 1}, "anything", 576, {25, 1}, "PAL"},
  };
  for (const auto& c : cases) {
    logs.clear();
    auto x = fresh();
    x->verbose = 1;
    x->frame_rate = c.rate;
    x->apply_target("dvd", "auto", c.fallback);
    EXPECT_EQ(x->frame_height, c.height) << c.rate.num << "/" << c.rate.den << " " << c.fallback;
    EXPECT_EQ(x->frame_rate.num, c.result.num);
    EXPECT_EQ(x->frame_rate.den, c.result.den);
    EXPECT_TRUE(logged(1, std::string("Assuming ") + c.norm_logged + " for target."));
  }

  // Quiet engines do not log.
  logs.clear();
  auto quiet = fresh();
  quiet->verbose = 0;
  quiet->frame_rate = {25, 1};
  quiet->apply_target("vcd", "auto", "pal");
  EXPECT_TRUE(logs.empty());
}

TEST_F(EngineOptions, SetTargetPrefixesAndFailures) {
  e->verbose = 1;
  e->set_option("target", " pal-dvd ");
  EXPECT_TRUE(logs.empty());
  EXPECT_EQ(e->frame_width, 720);
  EXPECT_EQ(e->frame_height, 576);
  EXPECT_EQ(opt_int(e->codec_option_ctx[AVMEDIA_TYPE_VIDEO], "g"), 15);

  auto film = fresh();
  film->set_target("film-svcd");
  EXPECT_EQ(film->frame_height, 480);
  EXPECT_EQ(film->frame_rate.num, 24000);

  // Undetectable norm: set_target falls back to NTSC.
  auto thirty = fresh();
  thirty->frame_rate = {30, 1};
  thirty->set_target("vcd");
  EXPECT_EQ(thirty->frame_height, 240);

  auto none = fresh();
  EXPECT_EQ(error_of([&] { none->set_target("dvd"); }), "frame_rate is invalid.");
  EXPECT_EQ(error_of([&] { none->set_target("cvd"); }), "frame_rate is invalid.");
  EXPECT_EQ(error_of([&] { none->set_target("pal-cvd"); }), "Unknown target type");
  EXPECT_EQ(error_of([&] { none->apply_target("DVD", "pal", "pal"); }), "Unknown target type");
}

// Norm detection on opened inputs.
TEST_F(EngineOptions, PresetOnOpenedInputs) {
  // Audio only: no frame rate to detect from.
  auto audio = fresh();
  ASSERT_TRUE(audio->open_input_file(testmedia::path(testmedia::Clip::Mp3Only))) << audio->last_error;
  EXPECT_EQ(error_of([&] { audio->set_target("dvd"); }), "frame_rate is invalid.");

  testmedia::ClipSpec spec;
  spec.video_codec = "mpeg4";
  spec.audio_codec = "";
  spec.width = 64;
  spec.height = 48;
  spec.fps = {30000, 1001};
  spec.frames = 6;
  const std::string ntsc_clip = testmedia::make(spec);

  logs.clear();
  auto ntsc = fresh();
  ntsc->verbose = 1;
  ASSERT_TRUE(ntsc->open_input_file(ntsc_clip)) << ntsc->last_error;
  ntsc->set_target("dvd");
  EXPECT_TRUE(logged(1, "Assuming NTSC for target."));
  EXPECT_EQ(ntsc->frame_width, 720);
  EXPECT_EQ(ntsc->frame_height, 480);

  // A rate set after opening that is no norm's: the input's stream decides.
  logs.clear();
  auto forced = fresh();
  forced->verbose = 1;
  ASSERT_TRUE(forced->open_input_file(ntsc_clip)) << forced->last_error;
  forced->set_option("r", "30");
  forced->apply_target("svcd", "auto", "pal");
  EXPECT_TRUE(logged(1, "Assuming NTSC for target."));
  EXPECT_EQ(forced->frame_height, 480);

  // A 30 frames/s input matches no norm: set_target falls back to NTSC.
  spec.fps = {30, 1};
  const std::string thirty_clip = testmedia::make(spec);
  auto thirty = fresh();
  ASSERT_TRUE(thirty->open_input_file(thirty_clip)) << thirty->last_error;
  thirty->apply_target("dvd", "auto", "pal");
  EXPECT_EQ(thirty->frame_height, 576);
  auto thirty_option = fresh();
  ASSERT_TRUE(thirty_option->open_input_file(thirty_clip)) << thirty_option->last_error;
  thirty_option->set_target("dvd");
  EXPECT_EQ(thirty_option->frame_height, 480);
}

}  // namespace
