// Video and audio output paths: deinterlace, hooks, frame-rate sync, crop, pad
// and scale, audio drift handling, resampling, framing and sample formats.
// Pictures and samples are checked by reading the written files back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding/hooks.h"
#include "binding/loader.h"
#include "engine/engine.h"
#include "media/testmedia.h"

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;
using LogLines = std::vector<std::pair<int, std::string>>;

bool has_line(const LogLines& log, const std::string& text) {
  for (auto& [level, line] : log)
    if (line == text) return true;
  return false;
}

bool has_prefix(const LogLines& log, const std::string& text) {
  for (auto& [level, line] : log)
    if (line.rfind(text, 0) == 0) return true;
  return false;
}

std::string out_path(const std::string& name) { return testmedia::temp_dir() + "/" + name; }

struct FrameFree {
  void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameFree>;

// A picture whose sample at (plane, x, y) is value(plane, x, y).
Frame make_picture(AVPixelFormat fmt, int w, int h, const std::function<int(int, int, int)>& value) {
  Frame f(ff::av_frame_alloc());
  f->format = fmt;
  f->width = w;
  f->height = h;
  if (ff::av_frame_get_buffer(f.get(), 32) < 0) throw std::runtime_error("av_frame_get_buffer");
  const AVPixFmtDescriptor* d = ff::av_pix_fmt_desc_get(fmt);
  const bool packed_rgb = fmt == AV_PIX_FMT_BGR24 || fmt == AV_PIX_FMT_RGB24;
  const int planes = packed_rgb ? 1 : (fmt == AV_PIX_FMT_GRAY8 ? 1 : 3);
  for (int p = 0; p < planes; ++p) {
    const int pw = packed_rgb ? w * 3 : (p ? w >> d->log2_chroma_w : w);
    const int ph = p ? h >> d->log2_chroma_h : h;
    for (int y = 0; y < ph; ++y)
      for (int x = 0; x < pw; ++x) f->data[p][y * f->linesize[p] + x] = static_cast<uint8_t>(value(p, x, y));
  }
  return f;
}

int sample(const AVFrame* f, int plane, int x, int y) { return f->data[plane][y * f->linesize[plane] + x]; }

// Every byte of the w x h picture's planes, row by row.
std::vector<uint8_t> plane_bytes(const uint8_t* data, int linesize, int w, int h) {
  std::vector<uint8_t> out;
  for (int y = 0; y < h; ++y) out.insert(out.end(), data + y * linesize, data + y * linesize + w);
  return out;
}

class Paths : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error(); }

  void SetUp() override {
    e_ = std::make_unique<TCustomFFmpeg>();
    e_->reset();
    e_->OnLog = [this](int level, const std::string& line) { log_.emplace_back(level, line); };
    log_.clear();
    ist_ = InputStream{};
    ist_.pts = 0;
  }

  std::unique_ptr<TCustomFFmpeg> e_;
  LogLines log_;
  InputStream ist_;
};

// ------------------------------------------------------------- deinterlace

struct DeinterlaceCase {
  const char* name;
  std::function<int(int)> luma;  // value of luma row y (16 rows)
  std::vector<std::pair<int, int>> expected;  // (row, value) after deinterlacing
};

void PrintTo(const DeinterlaceCase& c, std::ostream* os) { *os << c.name; }

class Deinterlace : public Paths, public ::testing::WithParamInterface<DeinterlaceCase> {};

TEST_P(Deinterlace, RebuildsOddLinesFromTheirNeighbours) {
  const DeinterlaceCase& c = GetParam();
  Frame pic = make_picture(AV_PIX_FMT_YUV420P, 16, 16, [&](int p, int, int y) {
    if (p == 0) return c.luma(y);
    return y % 2 ? 150 : 50;  // combed chroma
  });
  const std::vector<uint8_t> decoded = plane_bytes(pic->data[0], pic->linesize[0], 16, 16);
  uint8_t* const decoded_y = pic->data[0];
  e_->do_deinterlace = true;
  e_->pre_process_video(&ist_, pic.get());

  EXPECT_NE(pic->data[0], decoded_y) << "the result is a working copy";
  EXPECT_EQ(plane_bytes(decoded_y, pic->linesize[0], 16, 16), decoded) << "decoder's picture must stay untouched";
  for (int y = 0; y < 16; y += 2) EXPECT_EQ(sample(pic.get(), 0, 5, y), c.luma(y)) << "even row " << y;
  for (auto [row, value] : c.expected) {
    EXPECT_EQ(sample(pic.get(), 0, 0, row), value) << "row " << row;
    EXPECT_EQ(sample(pic.get(), 0, 15, row), value) << "row " << row;
  }
  for (int y = 0; y < 8; ++y) EXPECT_EQ(sample(pic.get(), 1, 3, y), 50) << "chroma row " << y;
  EXPECT_FALSE(has_line(log_, "deinterlace error."));
}

const DeinterlaceCase kDeinterlaceCases[] = {
    // Fields 100 / 200: the comb disappears, edges included.
    {"Comb", [](int y) { return y % 2 ? 200 : 100; },
     {{1, 100}, {3, 100}, {7, 100}, {13, 100}, {15, 100}}},
    // A smooth vertical ramp passes unchanged away from the edges.
    {"Ramp", [](int y) { return 10 * y + 5; }, {{3, 35}, {7, 75}, {11, 115}, {13, 135}}},
    // One bright odd line: softened to a quarter, its field neighbours clip at 0.
    {"ClipLow", [](int y) { return y == 7 ? 255 : 0; }, {{7, 64}, {5, 0}, {9, 0}, {3, 0}}},
    // One dark odd line in white: the neighbours clip at 255.
    {"ClipHigh", [](int y) { return y == 7 ? 0 : 255; }, {{5, 255}, {9, 255}, {7, 191}}},
};

INSTANTIATE_TEST_SUITE_P(Kernel, Deinterlace, ::testing::ValuesIn(kDeinterlaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct UnsupportedCase {
  const char* name;
  AVPixelFormat fmt;
  int w, h;
};

TEST_F(Paths, DeinterlaceRefusesWhatItCannotFilterAndPassesThePictureOn) {
  const UnsupportedCase cases[] = {
      {"width not a multiple of 4", AV_PIX_FMT_YUV420P, 18, 16},
      {"height not a multiple of 4", AV_PIX_FMT_YUV420P, 16, 18},
      {"packed RGB", AV_PIX_FMT_RGB24, 16, 16},
  };
  for (const auto& c : cases) {
    log_.clear();
    Frame pic = make_picture(c.fmt, c.w, c.h, [](int, int, int y) { return y % 2 ? 200 : 100; });
    uint8_t* const decoded = pic->data[0];
    e_->do_deinterlace = true;
    e_->pre_process_video(&ist_, pic.get());
    EXPECT_TRUE(has_line(log_, "deinterlace error.")) << c.name;
    EXPECT_EQ(pic->data[0], decoded) << c.name;
    EXPECT_EQ(sample(pic.get(), 0, 0, 1), 200) << c.name;
  }
}

// ------------------------------------------------------------- custom hook

struct CustomHookCall {
  int frame_number = 0;
  int64_t pts = 0;
  int width = 0, height = 0;
};

TEST_F(Paths, CustomHookSeesTheBitmapAndItsChangesComeBack) {
  struct Case {
    const char* name;
    std::function<void(TBitmap&, bool&, bool&)> handler;
    int expect_y;  // luma of the result, -1 = unchanged
    bool expect_error;
  };
  const Case cases[] = {
      {"no update leaves the picture identical",
       [](TBitmap& b, bool& update, bool&) {
         for (int r = 0; r < b.height(); ++r) memset(b.scan_line(r), 255, b.width() * 3);
         update = false;
       },
       -1, false},
      {"drawing white changes it", [](TBitmap& b, bool&, bool&) {
         for (int r = 0; r < b.height(); ++r) memset(b.scan_line(r), 255, b.width() * 3);
       },
       235, false},
      {"a failing handler loses its changes", [](TBitmap& b, bool&, bool&) {
         for (int r = 0; r < b.height(); ++r) memset(b.scan_line(r), 255, b.width() * 3);
         throw std::runtime_error("boom");
       },
       -1, true},
  };
  for (const auto& c : cases) {
    SetUp();
    Frame pic = make_picture(AV_PIX_FMT_YUV420P, 32, 16, [](int p, int x, int y) { return p ? 128 : 40 + x + y; });
    const std::vector<uint8_t> decoded_y = plane_bytes(pic->data[0], pic->linesize[0], 32, 16);
    std::vector<CustomHookCall> calls;
    std::vector<uint8_t> seen_row;
    e_->OnCustomHook = [&](TBitmap& b, int n, int64_t pts, bool& update, bool& stop) {
      calls.push_back({n, pts, b.width(), b.height()});
      seen_row.assign(b.scan_line(15), b.scan_line(15) + 3 * 32);
      c.handler(b, update, stop);
    };
    ist_.pts = 1234567;
    e_->pre_process_video(&ist_, pic.get());

    ASSERT_EQ(calls.size(), 1u) << c.name;
    EXPECT_EQ(calls[0].frame_number, 1) << c.name;
    EXPECT_EQ(calls[0].pts, 1234567) << c.name;
    EXPECT_EQ(calls[0].width, 32) << c.name;
    EXPECT_EQ(calls[0].height, 16) << c.name;
    // Bottom row, right end: Y 40+31+15 = 86 on grey chroma -> about (82, 82, 82) in RGB.
    EXPECT_NEAR(seen_row[3 * 31], 82, 4) << c.name;
    EXPECT_LT(seen_row[0], seen_row[3 * 31]) << c.name << ": rows keep their left-to-right order";
    const std::vector<uint8_t> result = plane_bytes(pic->data[0], pic->linesize[0], 32, 16);
    if (c.expect_y < 0) {
      EXPECT_EQ(result, decoded_y) << c.name;
    } else {
      for (uint8_t v : result) ASSERT_NEAR(v, c.expect_y, 2) << c.name;
      EXPECT_NEAR(sample(pic.get(), 1, 4, 4), 128, 2) << c.name;
    }
    EXPECT_EQ(has_line(log_, "Error occurs OnCustomHook: boom"), c.expect_error) << c.name;
  }
}

TEST_F(Paths, CustomHookStopEndsHookingAfterThatPicture) {
  int calls = 0;
  e_->using_vhook = true;
  e_->OnCustomHook = [&](TBitmap& b, int, int64_t, bool&, bool& stop) {
    ++calls;
    for (int r = 0; r < b.height(); ++r) memset(b.scan_line(r), 255, b.width() * 3);
    stop = true;
  };
  Frame first = make_picture(AV_PIX_FMT_YUV420P, 16, 16, [](int p, int, int) { return p ? 128 : 60; });
  e_->pre_process_video(&ist_, first.get());
  EXPECT_NEAR(sample(first.get(), 0, 3, 3), 235, 2) << "the stopping picture keeps the drawing";
  EXPECT_FALSE(e_->OnCustomHook);
  EXPECT_EQ(e_->hook_action, haStop);
  EXPECT_FALSE(e_->using_vhook);

  Frame second = make_picture(AV_PIX_FMT_YUV420P, 16, 16, [](int p, int, int) { return p ? 128 : 60; });
  uint8_t* const decoded = second->data[0];
  e_->pre_process_video(&ist_, second.get());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(second->data[0], decoded);
}

TEST_F(Paths, CustomHookOnBgrPicturesNeedsNoConversion) {
  // Row r, column x: blue x, green r, red 7.
  Frame pic = make_picture(AV_PIX_FMT_BGR24, 8, 4, [](int, int x, int y) {
    const int px = x / 3, c = x % 3;
    return c == 0 ? px : c == 1 ? y : 7;
  });
  std::vector<uint8_t> row2;
  e_->OnCustomHook = [&](TBitmap& b, int, int64_t, bool&, bool&) {
    row2.assign(b.scan_line(2), b.scan_line(2) + 8 * 3);
    b.scan_line(3)[3 * 5 + 2] = 99;  // red of pixel (5, 3)
  };
  e_->pre_process_video(&ist_, pic.get());
  EXPECT_EQ(e_->to_rgb_ctx, nullptr);
  EXPECT_EQ(e_->from_rgb_ctx, nullptr);
  ASSERT_EQ(row2.size(), 24u);
  for (int x = 0; x < 8; ++x) {
    EXPECT_EQ(row2[3 * x], x);
    EXPECT_EQ(row2[3 * x + 1], 2);
    EXPECT_EQ(row2[3 * x + 2], 7);
  }
  EXPECT_EQ(sample(pic.get(), 0, 3 * 5 + 2, 3), 99);
  EXPECT_EQ(sample(pic.get(), 0, 3 * 4 + 2, 3), 7);
}

// ------------------------------------------------------------ hook modules

class HookModules : public Paths {
 protected:
  void load_invert_hook() {
    char path[] = KLAVENTA_TEST_HOOK;
    char* argv[] = {path};
    ASSERT_EQ(klaventa::add_frame_hook(&e_->frame_hooks, 1, argv), klaventa::kHookOk);
    e_->using_vhook = true;
  }
  // Runs one picture of luma 40 at `pts_us`; true when the modules inverted it.
  bool inverted_at(int64_t pts_us) {
    Frame pic = make_picture(AV_PIX_FMT_YUV420P, 16, 16, [](int p, int, int) { return p ? 128 : 40; });
    uint8_t* const decoded = pic->data[0];
    ist_.pts = pts_us;
    e_->pre_process_video(&ist_, pic.get());
    EXPECT_EQ(decoded[0], 40) << "modules never write into the decoder's picture";
    return sample(pic.get(), 0, 7, 7) == 215;
  }
};

TEST_F(HookModules, RunOnlyInsideTheirTimeRanges) {
  load_invert_hook();
  // Given unsorted: sorting by end makes the forward scan work.
  e_->set_hook_ranges({{5000000, 6000000}, {0, 1000000}});
  const std::pair<double, bool> pictures[] = {{0.5, true}, {1.0, true}, {3.0, false}, {5.5, true},
                                              {6.5, false}, {0.5, false}, {5.5, false}};
  for (auto [seconds, expected] : pictures)
    EXPECT_EQ(inverted_at(static_cast<int64_t>(seconds * 1e6)), expected) << seconds << " s";
  EXPECT_FALSE(e_->using_vhook) << "the first picture after the last range switches the modules off";
}

TEST_F(HookModules, BeforeHookDecidesPictureByPicture) {
  load_invert_hook();
  // nullopt: the handler leaves the previous decision in place.
  const std::vector<std::optional<THookAction>> decisions = {haContinue, haIgnore, std::nullopt, haContinue, haStop};
  size_t call = 0;
  std::vector<int64_t> pts_seen;
  e_->OnBeforeHook = [&](int64_t pts, THookAction& action) {
    pts_seen.push_back(pts);
    if (call < decisions.size() && decisions[call]) action = *decisions[call];
    ++call;
  };
  const bool expected[] = {true, false, false, true, false, false, false};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(inverted_at(i * 40000), expected[i]) << "picture " << i;
  EXPECT_EQ(call, 5u) << "after haStop the handler is not asked again";
  EXPECT_EQ(pts_seen[3], 120000);
}

TEST_F(HookModules, FailingBeforeHookStopsTheModules) {
  load_invert_hook();
  int calls = 0;
  e_->OnBeforeHook = [&](int64_t, THookAction&) {
    ++calls;
    throw std::runtime_error("no decision");
  };
  EXPECT_FALSE(inverted_at(0));
  EXPECT_FALSE(inverted_at(40000));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(has_line(log_, "Error occurs OnBeforeHook: no decision"));
}

TEST_F(HookModules, ModulesGetACopyEvenWhenDeinterlacingFails) {
  load_invert_hook();
  e_->do_deinterlace = true;
  Frame pic = make_picture(AV_PIX_FMT_YUV420P, 18, 16, [](int p, int, int) { return p ? 128 : 40; });
  uint8_t* const decoded = pic->data[0];
  e_->pre_process_video(&ist_, pic.get());
  EXPECT_TRUE(has_line(log_, "deinterlace error."));
  EXPECT_EQ(decoded[0], 40);
  EXPECT_EQ(sample(pic.get(), 0, 17, 15), 215);
}

// ------------------------------------------- output paths on a small muxer

// One output stream written through the engine's own paths, set up the way
// the transcode set-up does it.
class MiniOutput {
 public:
  MiniOutput(TCustomFFmpeg& e, const std::string& path, const char* codec,
             const std::function<void(AVCodecContext*)>& configure)
      : e_(e), path_(path) {
    const AVCodec* c = ff::avcodec_find_encoder_by_name(codec);
    if (!c) throw std::runtime_error(std::string("no encoder ") + codec);
    if (ff::avformat_alloc_output_context2(&oc_, nullptr, nullptr, path.c_str()) < 0)
      throw std::runtime_error("output context");
    enc_ = ff::avcodec_alloc_context3(c);
    configure(enc_);
    if (oc_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (ff::avcodec_open2(enc_, c, nullptr) < 0) throw std::runtime_error("avcodec_open2");
    AVStream* st = ff::avformat_new_stream(oc_, nullptr);
    ff::avcodec_parameters_from_context(st->codecpar, enc_);
    st->time_base = enc_->time_base;
    if (ff::avio_open(&oc_->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) throw std::runtime_error("avio_open");
    if (ff::avformat_write_header(oc_, nullptr) < 0) throw std::runtime_error("write_header");
    ost.st = st;
    ost.enc = enc_;
    ost.pkt = ff::av_packet_alloc();
    ost.encoding_needed = true;
    ost.sync_ist = nullptr;
    dec = ff::avcodec_alloc_context3(nullptr);
  }
  ~MiniOutput() {
    if (oc_ && oc_->pb) finish();
    ff::av_fifo_freep2(&ost.fifo);
    ff::swr_free(&ost.resample);
    ff::av_frame_free(&ost.audio_frame);
    ff::av_frame_free(&ost.pict_tmp);
    if (ost.img_resample_ctx) ff::sws_freeContext(ost.img_resample_ctx);
    ff::av_packet_free(&ost.pkt);
    ff::avcodec_free_context(&enc_);
    ff::avcodec_free_context(&dec);
    ff::avformat_free_context(oc_);
  }
  // Drains the encoder and closes the file.
  void finish() {
    e_.encode_and_write(oc_, &ost, nullptr);
    ff::av_write_trailer(oc_);
    ff::avio_closep(&oc_->pb);
  }
  AVFormatContext* os() { return oc_; }

  OutputStream ost;
  AVCodecContext* dec = nullptr;  // stands for the input's decoder

 private:
  TCustomFFmpeg& e_;
  std::string path_;
  AVFormatContext* oc_ = nullptr;
  AVCodecContext* enc_ = nullptr;
};

// ------------------------------------------------------------ frame-rate sync

struct SyncCase {
  const char* name;
  int video_sync_method;
  std::vector<double> pictures;  // input times in frame periods (1/25 s)
  int max_frames;
  int frames_written, dups, drops;
  std::vector<int> picture_of_frame;  // which input picture each output frame shows (-1: not checked)
  const char* log_line;
};

void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }

class FrameRateSync : public Paths, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(FrameRateSync, DuplicatesDropsAndRenumbers) {
  const SyncCase& c = GetParam();
  const std::string path = out_path(std::string("sync_") + c.name + ".mkv");
  e_->video_sync_method = c.video_sync_method;
  e_->max_frames[AVMEDIA_TYPE_VIDEO] = c.max_frames;
  e_->verbose = 3;
  {
    MiniOutput out(*e_, path, "mpeg4", [](AVCodecContext* enc) {
      enc->width = 64;
      enc->height = 48;
      enc->pix_fmt = AV_PIX_FMT_YUV420P;
      enc->time_base = {1, 25};
      enc->gop_size = 1;
    });
    out.ost.setup = nullptr;
    for (size_t i = 0; i < c.pictures.size(); ++i) {
      // Picture i is flat grey 20 + 20 i, so the read-back tells which one a frame shows.
      Frame pic = make_picture(AV_PIX_FMT_YUV420P, 64, 48, [i](int p, int, int) { return p ? 128 : 20 + 20 * int(i); });
      ist_.pts = std::llround(c.pictures[i] * 40000);
      int frame_size = -1;
      e_->do_video_out(out.os(), &out.ost, &ist_, pic.get(), frame_size);
      EXPECT_GE(frame_size, 0);
    }
    EXPECT_EQ(out.ost.frame_number, c.frames_written);
    out.finish();
  }
  EXPECT_EQ(e_->nb_frames_dup, c.dups);
  EXPECT_EQ(e_->nb_frames_drop, c.drops);
  if (c.log_line) {
    EXPECT_TRUE(has_line(log_, c.log_line)) << c.log_line;
  }

  const testmedia::FileInfo info = testmedia::probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->frames_decoded, c.frames_written);
  for (size_t n = 0; n < c.picture_of_frame.size(); ++n) {
    if (c.picture_of_frame[n] < 0) continue;
    std::vector<uint8_t> y;
    int w = 0, h = 0;
    ASSERT_TRUE(testmedia::read_video_frame(path, static_cast<int>(n), y, w, h)) << "frame " << n;
    EXPECT_NEAR(y[w * h / 2 + w / 2], 20 + 20 * c.picture_of_frame[n], 3) << "frame " << n;
  }
}

const SyncCase kSyncCases[] = {
    // A picture 50 periods ahead of the output position is written 50 times.
    {"Duplicate", -1, {0, 51}, INT32_MAX, 51, 49, 0, {0, 1, 1, -1, 1}, "*** 49 dup!"},
    // A picture 3 periods early is dropped.
    {"Drop", -1, {0, 1, 2, 0}, INT32_MAX, 3, 0, 1, {0, 1, 2}, "*** drop!"},
    // Method 2 renumbers: a gap costs no duplicates.
    {"Renumber", 2, {0, 20, 21.4, 22}, INT32_MAX, 4, 0, 0, {0, 1, 2, 3}, nullptr},
    // Method 0 stamps every picture with its own time, one frame each.
    {"Passthrough", 0, {0, 10, 11}, INT32_MAX, 3, 0, 0, {0, 1, 2}, nullptr},
    // Ten frames at most: after 8, a picture due 5 times is written twice.
    {"FrameLimit", -1, {0, 1, 2, 3, 4, 5, 6, 7, 13}, 10, 10, 4, 0, {-1, -1, -1, -1, -1, -1, -1, 7, 8, 8}, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Video, FrameRateSync, ::testing::ValuesIn(kSyncCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Paths, PictureOfAnotherSizeIsDroppedNotOverrun) {
  const std::string path = out_path("size_change.mkv");
  MiniOutput out(*e_, path, "mpeg4", [](AVCodecContext* enc) {
    enc->width = 64;
    enc->height = 48;
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = {1, 25};
  });
  int frame_size = 0;
  Frame ok = make_picture(AV_PIX_FMT_YUV420P, 64, 48, [](int, int, int) { return 100; });
  e_->do_video_out(out.os(), &out.ost, &ist_, ok.get(), frame_size);
  Frame smaller = make_picture(AV_PIX_FMT_YUV420P, 32, 24, [](int, int, int) { return 100; });
  ist_.pts = 40000;
  e_->do_video_out(out.os(), &out.ost, &ist_, smaller.get(), frame_size);
  EXPECT_EQ(out.ost.frame_number, 1);
  EXPECT_EQ(frame_size, 0);
  EXPECT_TRUE(has_prefix(log_, "picture 32x24 does not fit output stream"));
}

// ------------------------------------------------------------ audio drift

// Interleaved s16 stereo: a 441 Hz tone of amplitude 8000 starting at sample `from`.
std::vector<uint8_t> tone_block(int samples, int channels, int rate, int64_t from = 0) {
  std::vector<uint8_t> out(static_cast<size_t>(samples) * channels * 2);
  for (int n = 0; n < samples; ++n) {
    const auto v = static_cast<int16_t>(std::lrint(8000 * std::sin(2 * M_PI * 441.0 * double(from + n) / rate)));
    for (int c = 0; c < channels; ++c) memcpy(&out[(static_cast<size_t>(n) * channels + c) * 2], &v, 2);
  }
  return out;
}

struct DriftCase {
  const char* name;
  int audio_sync_method;
  bool is_start;
  int64_t output_position;  // sync_opts before the block (samples)
  double block_time_s;      // input time of the block
  int block_samples;
  int64_t expect_sync_opts;
  bool expect_is_start;
  int64_t expect_written;        // samples that reach the file
  int64_t expect_leading_zeros;  // samples of silence at the start of the written audio, -1 = not checked
  const char* log_line;
};

void PrintTo(const DriftCase& c, std::ostream* os) { *os << c.name; }

class AudioDrift : public Paths, public ::testing::WithParamInterface<DriftCase> {};

TEST_P(AudioDrift, CorrectsAgainstTheInputClock) {
  const DriftCase& c = GetParam();
  const std::string path = out_path(std::string("drift_") + c.name + ".wav");
  e_->audio_sync_method = c.audio_sync_method;
  e_->verbose = 3;
  {
    MiniOutput out(*e_, path, "pcm_s16le", [](AVCodecContext* enc) {
      enc->sample_fmt = AV_SAMPLE_FMT_S16;
      enc->sample_rate = 44100;
      ff::av_channel_layout_default(&enc->ch_layout, 2);
      enc->time_base = {1, 44100};
    });
    out.dec->sample_rate = 44100;
    ff::av_channel_layout_default(&out.dec->ch_layout, 2);
    ist_.dec = out.dec;
    ist_.is_start = c.is_start;
    ist_.pts = std::llround(c.block_time_s * 1e6);
    out.ost.sync_opts = c.output_position;
    const std::vector<uint8_t> block = tone_block(c.block_samples, 2, 44100);
    e_->do_audio_out(out.os(), &out.ost, &ist_, block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(out.ost.sync_opts, c.expect_sync_opts);
    EXPECT_EQ(ist_.is_start, c.expect_is_start);
    out.finish();
  }
  if (c.log_line) {
    EXPECT_TRUE(has_line(log_, c.log_line)) << c.log_line;
  }
  std::vector<float> samples;
  int channels = 0, rate = 0;
  if (c.expect_written == 0) return;
  ASSERT_TRUE(testmedia::read_audio(path, samples, channels, rate));
  ASSERT_EQ(channels, 2);
  EXPECT_EQ(static_cast<int64_t>(samples.size()) / 2, c.expect_written);
  if (c.expect_leading_zeros >= 0) {
    int64_t zeros = 0;
    while (zeros * 2 < static_cast<int64_t>(samples.size()) && samples[zeros * 2] == 0.0f) ++zeros;
    // The tone itself starts at 0: one more zero sample belongs to the block.
    EXPECT_EQ(zeros, c.expect_leading_zeros + 1);
  }
}

const DriftCase kDriftCases[] = {
    // First block 0.5 s late: 22050 samples of silence go in front of it.
    {"SilenceAtStart", 1, true, 0, 0.5, 1000, 22050 + 1000, false, 23050, 22050, "adding 22050 audio samples of silence"},
    // More silence than one correction may add: 131072 bytes in all, the rest later.
    {"SilenceCapped", 1, true, 0, 2.0, 1000, 131072 / 4, true, 131072 / 4, 131072 / 4 - 1000, nullptr},
    // Output 100 samples ahead at the start: they are cut from the block.
    {"DropAtStart", 1, true, 44100, 1.0 - 100 / 44100.0, 1000, 44100 + 900, false, 900, -1,
     "discarding 100 audio samples"},
    // Output ahead by more than the block: all of it goes, the start state stays.
    {"DropWholeBlock", 1, true, 44100, 0.5, 1000, 44100, true, 0, -1, "discarding 22050 audio samples"},
    // A small drift after the start is left alone by method 1.
    {"SmallDriftKept", 1, false, 0, 100 / 44100.0, 1000, 1000, false, 1000, 0, nullptr},
    // Method 0 takes the input clock as the output position; nothing added.
    {"FollowClock", 0, true, 0, 2.0, 1000, 88200 + 1000, true, 1000, 0, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Audio, AudioDrift, ::testing::ValuesIn(kDriftCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Paths, SoftDriftCompensationIsClampedToTheSyncMethod) {
  std::map<int, int64_t> handed;
  for (int method : {1000, 10}) {
    SetUp();
    const std::string path = out_path("compensate_" + std::to_string(method) + ".wav");
    e_->audio_sync_method = method;
    e_->verbose = 3;
    MiniOutput out(*e_, path, "pcm_s16le", [](AVCodecContext* enc) {
      enc->sample_fmt = AV_SAMPLE_FMT_S16;
      enc->sample_rate = 44100;
      ff::av_channel_layout_default(&enc->ch_layout, 2);
      enc->time_base = {1, 44100};
    });
    out.dec->sample_rate = 44100;
    ff::av_channel_layout_default(&out.dec->ch_layout, 2);
    out.ost.audio_resample = true;  // as the set-up does for methods above 1
    ist_.dec = out.dec;
    ist_.is_start = false;
    int64_t fed = 0;
    for (int i = 0; i < 40; ++i) {
      // The input clock runs 100 samples ahead of what was handed over.
      ist_.pts = std::llround((fed + 100) * 1e6 / 44100);
      const std::vector<uint8_t> block = tone_block(1024, 2, 44100, fed);
      e_->do_audio_out(out.os(), &out.ost, &ist_, block.data(), static_cast<int>(block.size()));
      fed += 1024;
    }
    const int expect = std::min(method, 100);
    EXPECT_TRUE(has_prefix(log_, "compensating audio timestamp drift:100.")) << method;
    bool found = false;
    for (auto& [level, line] : log_)
      found |= line.find("compensation:" + std::to_string(expect) + " in:44100") != std::string::npos;
    EXPECT_TRUE(found) << method;
    EXPECT_FALSE(has_prefix(log_, "adding")) << method;
    handed[method] = out.ost.sync_opts;
  }
  // The resampler stretches instead of inserting silence: about 100 samples
  // over the run at full strength, a tenth of that when clamped to 10.
  EXPECT_GT(handed[1000], handed[10] + 30);
  EXPECT_LT(handed[1000], handed[10] + 110);
}

TEST_F(Paths, FrameBasedEncoderWaitsForAWholeFrame) {
  const std::string path = out_path("framing.mp2");
  MiniOutput out(*e_, path, "mp2", [](AVCodecContext* enc) {
    enc->sample_fmt = AV_SAMPLE_FMT_S16;
    enc->sample_rate = 44100;
    ff::av_channel_layout_default(&enc->ch_layout, 2);
    enc->time_base = {1, 44100};
    enc->bit_rate = 192000;
  });
  ASSERT_EQ(out.ost.enc->frame_size, 1152);
  out.dec->sample_rate = 44100;
  ff::av_channel_layout_default(&out.dec->ch_layout, 2);
  ist_.dec = out.dec;
  const std::vector<uint8_t> block = tone_block(1000, 2, 44100);
  e_->do_audio_out(out.os(), &out.ost, &ist_, block.data(), static_cast<int>(block.size()));
  EXPECT_EQ(out.ost.sync_opts, 0);
  EXPECT_EQ(e_->audio_size, 0);
  ist_.pts = 1000 * 1000000LL / 44100;
  e_->do_audio_out(out.os(), &out.ost, &ist_, block.data(), static_cast<int>(block.size()));
  EXPECT_EQ(out.ost.sync_opts, 1152);
  EXPECT_GT(e_->audio_size, 0);
  EXPECT_EQ(ff::av_fifo_can_read(out.ost.fifo), static_cast<size_t>(2000 - 1152) * 4);
}

TEST_F(Paths, ResamplesRateAndChannels) {
  const std::string path = out_path("resampled.wav");
  {
    MiniOutput out(*e_, path, "pcm_s16le", [](AVCodecContext* enc) {
      enc->sample_fmt = AV_SAMPLE_FMT_S16;
      enc->sample_rate = 22050;
      ff::av_channel_layout_default(&enc->ch_layout, 2);
      enc->time_base = {1, 22050};
    });
    out.dec->sample_rate = 48000;
    ff::av_channel_layout_default(&out.dec->ch_layout, 1);
    ist_.dec = out.dec;
    for (int i = 0; i < 48; ++i) {  // 1 s in 1000-sample blocks
      ist_.pts = i * 1000 * 1000000LL / 48000;
      const std::vector<uint8_t> block = tone_block(1000, 1, 48000, i * 1000);
      e_->do_audio_out(out.os(), &out.ost, &ist_, block.data(), static_cast<int>(block.size()));
    }
    ASSERT_NE(out.ost.resample, nullptr);
    out.finish();
  }
  const testmedia::FileInfo info = testmedia::probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->sample_rate, 22050);
  EXPECT_EQ(a->channels, 2);
  // One second in, one second out, less what the resampler still holds.
  EXPECT_NEAR(static_cast<double>(a->samples_decoded), 22050, 64);
  EXPECT_NEAR(a->tone_hz, 441, 5);
}

// ---------------------------------------------------------- sample formats

struct FormatCase {
  const char* encoder;
  const char* file;
  AVSampleFormat expect_fmt;
};

TEST_F(Paths, SamplesReachEveryEncoderFormatIntact) {
  const FormatCase cases[] = {
      {"pcm_s16le", "fmt_s16.wav", AV_SAMPLE_FMT_S16},   {"pcm_s16le_planar", "fmt_s16p.nut", AV_SAMPLE_FMT_S16P},
      {"pcm_s32le", "fmt_s32.wav", AV_SAMPLE_FMT_S32},   {"pcm_s24le", "fmt_s24.wav", AV_SAMPLE_FMT_S32},
      {"pcm_f32le", "fmt_flt.wav", AV_SAMPLE_FMT_FLT},   {"pcm_f64le", "fmt_dbl.wav", AV_SAMPLE_FMT_DBL},
      {"pcm_u8", "fmt_u8.wav", AV_SAMPLE_FMT_U8},        {"pcm_s64le", "fmt_s64.nut", AV_SAMPLE_FMT_S64},
  };
  // Extremes and a few values in between, on both channels (right = -left).
  std::vector<int16_t> left = {-32768, -32767, -256, -1, 0, 1, 255, 256, 12345, 32767};
  std::vector<uint8_t> block;
  for (int16_t l : left) {
    const int16_t r = static_cast<int16_t>(l == -32768 ? 32767 : -l);
    block.insert(block.end(), reinterpret_cast<const uint8_t*>(&l), reinterpret_cast<const uint8_t*>(&l) + 2);
    block.insert(block.end(), reinterpret_cast<const uint8_t*>(&r), reinterpret_cast<const uint8_t*>(&r) + 2);
  }
  for (const auto& c : cases) {
    const std::string path = out_path(c.file);
    {
      const AVCodec* codec = ff::avcodec_find_encoder_by_name(c.encoder);
      ASSERT_NE(codec, nullptr) << c.encoder;
      MiniOutput out(*e_, path, c.encoder, [&](AVCodecContext* enc) {
        enc->sample_fmt = codec->sample_fmts[0];
        enc->sample_rate = 8000;
        ff::av_channel_layout_default(&enc->ch_layout, 2);
        enc->time_base = {1, 8000};
      });
      ASSERT_EQ(out.ost.enc->sample_fmt, c.expect_fmt) << c.encoder;
      const int written = e_->encode_audio_samples(out.os(), &out.ost, block.data(), static_cast<int>(left.size()));
      EXPECT_GT(written, 0) << c.encoder;
      EXPECT_EQ(out.ost.sync_opts, static_cast<int64_t>(left.size())) << c.encoder;
      out.finish();
    }
    std::vector<float> got;
    int channels = 0, rate = 0;
    ASSERT_TRUE(testmedia::read_audio(path, got, channels, rate)) << c.encoder;
    ASSERT_EQ(got.size(), left.size() * 2) << c.encoder;
    const double step = c.expect_fmt == AV_SAMPLE_FMT_U8 ? 1.0 / 128 : 1.0 / 32768;
    for (size_t i = 0; i < left.size(); ++i) {
      int16_t r;
      memcpy(&r, &block[i * 4 + 2], 2);
      EXPECT_NEAR(got[2 * i], left[i] / 32768.0, step) << c.encoder << " sample " << i;
      EXPECT_NEAR(got[2 * i + 1], r / 32768.0, step) << c.encoder << " sample " << i;
    }
  }
}

// ------------------------------------------------- whole conversions

struct RunResult {
  bool ok = false;
  std::string fail_message;
  LogLines log;
  int dups = 0, drops = 0;
};

// Opens `input`, applies the options, writes `output` and runs the conversion inline.
RunResult convert(const std::string& input, const std::string& output, const Options& options,
                  const std::function<void(TCustomFFmpeg&)>& before_start = {}) {
  RunResult r;
  TCustomFFmpeg e;
  e.reset();
  e.OnLog = [&r](int level, const std::string& line) { r.log.emplace_back(level, line); };
  if (!e.open_input_file(input)) {
    r.fail_message = "open_input_file: " + e.last_error;
    return r;
  }
  for (auto& [k, v] : options) e.set_option(k, v);
  if (!e.open_output_file(output)) {
    r.fail_message = "open_output_file: " + e.last_error;
    return r;
  }
  if (before_start) before_start(e);
  e.start_conversion(false, tpNormal);
  r.ok = e.finished && !e.failed;
  r.fail_message = e.fail_message;
  r.dups = e.nb_frames_dup;
  r.drops = e.nb_frames_drop;
  return r;
}

// Mean absolute luma difference between the output's inner area and the source
// picture, cropped by (crop_left, crop_top) and scaled by `scale` (1 or 2).
double inner_difference(const std::vector<uint8_t>& out, int ow, int pad_left, int pad_top, int iw, int ih,
                        const std::vector<uint8_t>& src, int sw, int crop_left, int crop_top, int scale) {
  double sum = 0;
  for (int y = 2; y < ih - 2; ++y)
    for (int x = 2; x < iw - 2; ++x) {
      double s = 0;
      for (int dy = 0; dy < scale; ++dy)
        for (int dx = 0; dx < scale; ++dx) s += src[(crop_top + y * scale + dy) * sw + crop_left + x * scale + dx];
      s /= scale * scale;
      sum += std::abs(out[(pad_top + y) * ow + pad_left + x] - s);
    }
  return sum / ((iw - 4) * (ih - 4));
}

struct GeometryCase {
  const char* name;
  Options options;
  int width, height;                      // output size
  int crop_left, crop_top;                // source offset of the inner picture
  int pad_left, pad_top, inner_w, inner_h;
  int scale;                              // source pixels per output pixel
  bool counter_readable;                  // the counter band survives
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class Geometry : public Paths, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, InnerPictureAndPadColour) {
  const GeometryCase& c = GetParam();
  const std::string src = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);  // 320x240, 50 frames
  const std::string out = out_path(std::string("geometry_") + c.name + ".avi");
  Options options = {{"an", ""}, {"vcodec", "mpeg4"}, {"qscale", "2"}, {"padcolor", "255"}};  // pure red
  options.insert(options.end(), c.options.begin(), c.options.end());
  const RunResult r = convert(src, out, options);
  ASSERT_TRUE(r.ok) << r.fail_message;

  const testmedia::FileInfo info = testmedia::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->width, c.width);
  EXPECT_EQ(v->height, c.height);
  EXPECT_EQ(v->frames_decoded, 50);

  for (int n : {0, 20}) {
    std::vector<uint8_t> y, rgb, sy;
    int w = 0, h = 0, swid = 0, sh = 0;
    ASSERT_TRUE(testmedia::read_video_frame(out, n, y, w, h));
    ASSERT_TRUE(testmedia::read_video_frame(out, n, rgb, w, h, true));
    ASSERT_TRUE(testmedia::read_video_frame(src, n, sy, swid, sh));
    // Pad colour (Y 76, U 85, V 255 from red) in the corner and beside the picture.
    std::vector<std::pair<int, int>> pad_points = {{1, 1}, {w - 2, h - 2}};
    if (c.pad_left >= 16) pad_points.push_back({c.pad_left / 2, h / 2});
    for (auto [px, py] : pad_points) {
      const uint8_t* p = &rgb[(py * w + px) * 3];
      EXPECT_GT(p[0], 220) << "frame " << n << " at " << px << "," << py;
      EXPECT_LT(p[1], 40) << "frame " << n << " at " << px << "," << py;
      EXPECT_LT(p[2], 40) << "frame " << n << " at " << px << "," << py;
      EXPECT_NEAR(y[py * w + px], 76, 4);
    }
    if (c.counter_readable) {
      EXPECT_EQ(testmedia::read_counter(y.data(), w, c.pad_left, c.pad_top, c.inner_w, c.inner_h), n);
    }
    const double right = inner_difference(y, w, c.pad_left, c.pad_top, c.inner_w, c.inner_h, sy, swid, c.crop_left,
                                          c.crop_top, c.scale);
    EXPECT_LT(right, 8) << "frame " << n;
    if (c.crop_left || c.crop_top) {
      // The same comparison without the crop offset must be clearly worse.
      const double wrong =
          inner_difference(y, w, c.pad_left, c.pad_top, c.inner_w, c.inner_h, sy, swid, 0, 0, c.scale);
      EXPECT_LT(right * 2, wrong) << "frame " << n;
    }
  }
}

const GeometryCase kGeometryCases[] = {
    {"Pad", {{"padtop", "16"}, {"padbottom", "16"}, {"padleft", "32"}, {"padright", "32"}},
     384, 272, 0, 0, 32, 16, 320, 240, 1, true},
    {"CropPad",
     {{"cropleft", "32"}, {"croptop", "16"}, {"cropright", "16"}, {"cropbottom", "24"},
      {"padtop", "8"}, {"padbottom", "8"}, {"padleft", "8"}, {"padright", "8"}},
     288, 216, 32, 16, 8, 8, 272, 200, 1, false},
    {"CropScalePad",
     {{"cropleft", "32"}, {"cropbottom", "40"}, {"s", "144x100"},
      {"padtop", "16"}, {"padbottom", "16"}, {"padleft", "8"}, {"padright", "8"}},
     160, 132, 32, 0, 8, 16, 144, 100, 2, false},
    {"ScalePad", {{"s", "160x120"}, {"padtop", "20"}, {"padbottom", "20"}, {"padleft", "40"}, {"padright", "40"}},
     240, 160, 0, 0, 40, 20, 160, 120, 2, true},
};

INSTANTIATE_TEST_SUITE_P(Run, Geometry, ::testing::ValuesIn(kGeometryCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Pixels of odd rows that stand out from both neighbours by more than 40 (combing).
double combing(const std::vector<uint8_t>& y, int w, int h) {
  int count = 0;
  for (int r = 1; r + 1 < h; r += 2)
    for (int x = 0; x < w; ++x) {
      const int a = y[r * w + x] - y[(r - 1) * w + x], b = y[r * w + x] - y[(r + 1) * w + x];
      count += (a > 40 && b > 40) || (a < -40 && b < -40);
    }
  return count;
}

TEST_F(Paths, DeinterlaceRemovesTheCombingOfAnInterlacedClip) {
  const std::string src = testmedia::path(testmedia::Clip::Mpeg2Mp2PsInterlaced720x576);
  double comb[2] = {0, 0};
  for (int deint = 0; deint < 2; ++deint) {
    const std::string out = out_path(deint ? "deinterlaced.avi" : "interlaced.avi");
    Options options = {{"an", ""}, {"vcodec", "mpeg4"}, {"qscale", "2"}, {"vframes", "6"}};
    if (deint) options.push_back({"deinterlace", ""});
    const RunResult r = convert(src, out, options);
    ASSERT_TRUE(r.ok) << r.fail_message;
    EXPECT_FALSE(has_line(r.log, "deinterlace error."));
    std::vector<uint8_t> y;
    int w = 0, h = 0;
    ASSERT_TRUE(testmedia::read_video_frame(out, 5, y, w, h));
    ASSERT_EQ(w, 720);
    comb[deint] = combing(y, w, h);
  }
  EXPECT_LT(comb[1] * 20, comb[0]) << "interlaced " << comb[0] << ", deinterlaced " << comb[1];
}

TEST_F(Paths, VolumeScalesTheDecodedSamples) {
  struct Case {
    double amplitude;
    int volume;
    double expect_peak;
  };
  const Case cases[] = {{0.3, 512, 0.6}, {0.5, 128, 0.25}, {0.7, 512, 1.0}};
  for (const auto& c : cases) {
    testmedia::ClipSpec spec;
    spec.container = "wav";
    spec.video_codec = "";
    spec.audio_codec = "pcm_s16le";
    spec.seconds = 0.5;
    spec.amplitude = c.amplitude;
    const std::string src = testmedia::make(spec);
    const std::string out = out_path("volume_" + std::to_string(c.volume) + "_" + std::to_string(c.amplitude) + ".wav");
    const RunResult r = convert(src, out, {{"acodec", "pcm_s16le"}, {"vol", std::to_string(c.volume)}});
    ASSERT_TRUE(r.ok) << r.fail_message;
    const testmedia::FileInfo info = testmedia::probe(out);
    const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    EXPECT_NEAR(a->peak_amplitude, c.expect_peak, 0.005) << c.amplitude << " x " << c.volume;
    if (c.amplitude * c.volume / 256 > 1) {
      // Clamped, not wrapped: a clipped sine keeps most of its energy near full scale.
      EXPECT_GT(a->rms, 0.8) << "clipped";
      EXPECT_LT(a->rms, 1.0) << "clipped";
    } else {
      EXPECT_NEAR(a->rms, c.expect_peak / std::sqrt(2.0), 0.01);
    }
  }
}

// Without volume change or drift handling the samples keep the decoder's
// precision (no 16-bit rounding) and none are lost at the end, resampled or not.
TEST_F(Paths, PlainAudioKeepsItsPrecisionAndItsLength) {
  testmedia::ClipSpec spec;
  spec.container = "wav";
  spec.video_codec = "";
  spec.audio_codec = "pcm_f32le";
  spec.sample_rate = 48000;
  spec.seconds = 0.5;
  const std::string src = testmedia::make(spec);
  std::vector<float> in;
  int in_channels = 0, in_rate = 0;
  ASSERT_TRUE(testmedia::read_audio(src, in, in_channels, in_rate));
  ASSERT_EQ(in_rate, 48000);
  // The last case takes the 16-bit path (volume), whose resampler tail must not be lost either.
  const std::pair<int, int> cases[] = {{48000, 256}, {22050, 256}, {22050, 128}};
  for (const auto& [rate, volume] : cases) {
    const std::string out = out_path("plain_audio_" + std::to_string(rate) + "_" + std::to_string(volume) + ".wav");
    const RunResult r = convert(src, out, {{"acodec", "pcm_f32le"}, {"ar", std::to_string(rate)}, {"vol", std::to_string(volume)}});
    ASSERT_TRUE(r.ok) << r.fail_message;
    std::vector<float> samples;
    int channels = 0, got_rate = 0;
    ASSERT_TRUE(testmedia::read_audio(out, samples, channels, got_rate));
    ASSERT_EQ(channels, in_channels);
    ASSERT_EQ(got_rate, rate);
    const double expected = static_cast<double>(in.size()) * rate / in_rate;
    EXPECT_NEAR(static_cast<double>(samples.size()), expected, 4.0 * channels) << rate << " vol " << volume;
    if (rate == in_rate) {
      ASSERT_EQ(samples.size(), in.size());
      float worst = 0;
      for (size_t i = 0; i < in.size(); ++i) worst = std::max(worst, std::fabs(samples[i] - in[i]));
      EXPECT_LT(worst, 1e-6f) << "rounded on the way";
    }
  }
}

TEST_F(Paths, LateAudioGetsSilenceInFrontWithAudioSync) {
  testmedia::ClipSpec spec;
  spec.container = "matroska";
  spec.video_codec = "mpeg4";
  spec.audio_codec = "pcm_s16le";
  spec.width = 64;
  spec.height = 48;
  spec.seconds = 1.5;
  spec.audio_delay_s = 0.5;
  const std::string src = testmedia::make(spec);
  for (int method : {1, 0}) {
    const std::string out = out_path("late_audio_" + std::to_string(method) + ".mkv");
    const RunResult r = convert(src, out, {{"vcodec", "mpeg4"}, {"acodec", "pcm_s16le"}, {"async", std::to_string(method)}},
                                [](TCustomFFmpeg& e) { e.verbose = 3; });
    ASSERT_TRUE(r.ok) << r.fail_message;
    std::vector<float> samples;
    int channels = 0, rate = 0;
    ASSERT_TRUE(testmedia::read_audio(out, samples, channels, rate));
    ASSERT_EQ(channels, 2);
    size_t first_sound = 0;
    while (first_sound < samples.size() && std::fabs(samples[first_sound]) < 0.01f) ++first_sound;
    first_sound /= 2;
    const testmedia::FileInfo info = testmedia::probe(out);
    const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(a, nullptr);
    if (method == 1) {
      // Silence fills the first half second, the stream starts with the video.
      EXPECT_NEAR(static_cast<double>(first_sound) / rate, 0.5, 0.01);
      EXPECT_NEAR(a->first_pts_s, 0.0, 0.03);
      EXPECT_TRUE(has_prefix(r.log, "adding ")) << "silence is reported";
    } else {
      // Without sync the stream itself starts late; nothing is inserted.
      EXPECT_LT(static_cast<double>(first_sound) / rate, 0.01);
      EXPECT_NEAR(a->first_pts_s, 0.5, 0.03);
      EXPECT_FALSE(has_prefix(r.log, "adding "));
    }
  }
}

TEST_F(Paths, FrameRateConversionDuplicatesAndDrops) {
  const std::string src = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);  // 25 fps, 50 frames
  struct Case {
    const char* rate;
    int frames;
    int dups, drops;
  };
  // Doubling: from the third picture on each is written twice. Halving: every
  // other picture from the fourth on arrives more than 1.1 periods early.
  const Case cases[] = {{"50", 98, 48, 0}, {"12.5", 26, 0, 24}};
  for (const auto& c : cases) {
    const std::string out = out_path(std::string("rate_") + c.rate + ".avi");
    const RunResult r = convert(src, out, {{"an", ""}, {"vcodec", "mpeg4"}, {"r", c.rate}});
    ASSERT_TRUE(r.ok) << r.fail_message;
    EXPECT_NEAR(r.dups, c.dups, 1) << c.rate;
    EXPECT_NEAR(r.drops, c.drops, 1) << c.rate;
    const testmedia::FileInfo info = testmedia::probe(out);
    const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_NEAR(v->frames_decoded, c.frames, 1) << c.rate;
    const std::vector<int> counters = testmedia::read_counters(out);
    ASSERT_GE(counters.size(), 10u);
    // Each output frame shows the input picture due at its time.
    const double ratio = 25.0 / std::stod(c.rate);
    for (size_t n = 0; n < counters.size(); n += 7)
      EXPECT_NEAR(counters[n], n * ratio, ratio + 0.5) << c.rate << " frame " << n;
  }
}

TEST_F(Paths, CustomHookInAConversion) {
  const std::string src = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);
  const Options options = {{"an", ""}, {"vcodec", "mpeg4"}, {"qscale", "2"}, {"vframes", "10"}};
  const std::string plain = out_path("hook_none.avi"), untouched = out_path("hook_noupdate.avi"),
                    drawn = out_path("hook_drawn.avi");
  ASSERT_TRUE(convert(src, plain, options).ok);
  int calls = 0;
  ASSERT_TRUE(convert(src, untouched, options, [&](TCustomFFmpeg& e) {
                e.OnCustomHook = [&](TBitmap& b, int, int64_t, bool& update, bool&) {
                  ++calls;
                  memset(b.scan_line(100), 255, b.width() * 3);
                  update = false;
                };
              }).ok);
  EXPECT_EQ(calls, 10);
  ASSERT_TRUE(convert(src, drawn, options, [](TCustomFFmpeg& e) {
                e.OnCustomHook = [](TBitmap& b, int, int64_t, bool&, bool&) {
                  for (int r = 100; r < 140; ++r) memset(b.scan_line(r) + 3 * 100, 255, 3 * 60);
                };
              }).ok);
  for (int n : {0, 9}) {
    std::vector<uint8_t> a, b, d;
    int w = 0, h = 0;
    ASSERT_TRUE(testmedia::read_video_frame(plain, n, a, w, h));
    ASSERT_TRUE(testmedia::read_video_frame(untouched, n, b, w, h));
    ASSERT_TRUE(testmedia::read_video_frame(drawn, n, d, w, h));
    EXPECT_EQ(a, b) << "frame " << n;
    EXPECT_NEAR(d[120 * w + 130], 235, 6) << "frame " << n;
    EXPECT_EQ(testmedia::read_counter(d, w, h), n);
  }
}

TEST_F(Paths, HookModuleRunsInItsRangesInAConversion) {
  const std::string src = testmedia::path(testmedia::Clip::Mpeg4Mp3Avi);  // counter = frame index
  const std::string out = out_path("vhook_ranges.avi");
  const RunResult r = convert(src, out, {{"an", ""}, {"vcodec", "mpeg4"}, {"qscale", "2"}, {"vhook", KLAVENTA_TEST_HOOK}},
                              [](TCustomFFmpeg& e) { e.set_hook_ranges({{0, 200000}, {1000000, 1200000}}); });
  ASSERT_TRUE(r.ok) << r.fail_message;
  const std::vector<int> counters = testmedia::read_counters(out);
  ASSERT_EQ(counters.size(), 50u);
  for (int n = 0; n < 50; ++n) {
    const bool inside = (n >= 0 && n <= 5) || (n >= 25 && n <= 30);
    // The module inverts luma, so the counter band reads back inverted.
    EXPECT_EQ(counters[n], inside ? (~n & 0xffff) : n) << "frame " << n;
  }
}

}  // namespace
