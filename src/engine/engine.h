// TCustomFFmpeg: one transcoding engine instance, one conversion.
//
// Threads: options, inputs and outputs are set up on the caller's thread before
// start_conversion; the run itself (transcode, events) happens on the worker
// thread. stop_requested and the pause gate are the only cross-thread controls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/ffapi.h"
#include "binding/hooks.h"
#include "binding/loader.h"

constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;
constexpr int MAX_STREAM_MAPS = 20;

// Every engine validation error and run fault.
class FFMpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// printf-style text, cut at 1023 characters.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

enum THookAction { haContinue = 0, haIgnore = 1, haStop = 2 };
enum TConvertPriority { tpIdle = 0, tpLowest = 1, tpLower = 2, tpNormal = 3 };

struct StreamMap {
  int file_index = 0, stream_index = 0, sync_file_index = 0, sync_stream_index = 0;
};
struct MetaDataMap {
  int out_file = 0, in_file = 0;
};
struct THookRange {
  int64_t start = 0, end = 0;  // microseconds
};

// 24-bit bitmap handed to OnCustomHook: rows top to bottom, blue, green, red.
class TBitmap {
 public:
  void set_size(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  int stride() const { return stride_; }
  uint8_t* scan_line(int row) { return pixels_.data() + static_cast<size_t>(row) * stride_; }
  const uint8_t* scan_line(int row) const { return pixels_.data() + static_cast<size_t>(row) * stride_; }
  // Stands for the canvas lock: held while the hook handler runs.
  std::recursive_mutex& canvas_lock() { return canvas_lock_; }

 private:
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<uint8_t> pixels_;
  std::recursive_mutex canvas_lock_;
};

// Engine events (the component adds the task index; no sender is passed).
using TEngineBeforeHook = std::function<void(int64_t pts, THookAction& action)>;
using TEngineCustomHook =
    std::function<void(TBitmap& bitmap, int frame_number, int64_t pts, bool& update, bool& stop_hook)>;
using TEngineLog = std::function<void(int level, const std::string& message)>;
using TEngineProgress = std::function<void(int frame_number, int fps, int current_duration_ms, float quality,
                                           float bit_rate, int64_t current_size, int total_output_duration_ms)>;
using TEngineTerminate = std::function<void()>;

// Per input stream set up by open_input_file: the decoder context built from the
// stream's parameters (streams carry no codec context any more).
struct InputStreamSetup {
  AVCodecContext* dec = nullptr;  // owned, freed by release_all
  bool rate_emu = false;
};

// Per output stream created by new_*_stream: its encoder context and what used
// to live on the old stream record.
struct OutputStreamSetup {
  AVCodecContext* enc = nullptr;   // owned, freed by release_all
  bool stream_copy = false;
  float quality = 0;               // fixed quantiser as lambda (118 x q)
  AVDictionary* codec_opts = nullptr;  // private encoder options for avcodec_open2
  std::string language;            // up to 3 characters
};

// Per-run records (Part of transcode set-up), released at the end of every run.
struct InputFile {
  bool eof_reached = false;
  int ist_index = 0;
  int nb_streams = 0;
};

struct InputStream {
  int file_index = 0;
  int index = 0;
  AVStream* st = nullptr;
  AVCodecContext* dec = nullptr;  // not owned (InputStreamSetup)
  bool discard = true;
  bool decoding_needed = false;
  bool rate_emu = false;
  int64_t start = 0;
  int frame = 0;
  int64_t next_pts = AV_NOPTS_VALUE;
  int64_t pts = 0;
  bool is_start = true;
  float quality = 0;  // quality of the last decoded picture
  // Decoded audio as interleaved signed 16-bit at the decoder's rate and channels.
  SwrContext* to_s16 = nullptr;
  AVFrame* frame_buf = nullptr;  // decoded frame (owned)
  // packet loop: dts of the last packet read (µs) and the input to_s16 was made for
  int64_t last_dts = AV_NOPTS_VALUE;
  int to_s16_format = -1, to_s16_rate = 0, to_s16_channels = 0;
};

// Frees an AVFrame held by a per-run record when the record goes.
struct AVFrameDeleter {
  void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};

struct OutputStream {
  int file_index = 0;
  int index = 0;
  int source_index = 0;
  AVStream* st = nullptr;
  AVCodecContext* enc = nullptr;  // not owned (OutputStreamSetup)
  OutputStreamSetup* setup = nullptr;
  bool encoding_needed = false;
  int frame_number = 0;
  InputStream* sync_ist = nullptr;
  int64_t sync_opts = 0;
  // video
  bool video_resample = false;
  AVFrame* pict_tmp = nullptr;  // scaler/pad target, owns its buffer
  SwsContext* img_resample_ctx = nullptr;
  int resample_height = 0;
  bool video_crop = false;
  int top_band = 0, left_band = 0;
  bool video_pad = false;
  int pad_top = 0, pad_bottom = 0, pad_left = 0, pad_right = 0;
  // audio
  bool audio_resample = false;
  SwrContext* resample = nullptr;  // s16 -> s16, channels/rate, drift compensation
  AVFifo* fifo = nullptr;          // bytes of interleaved s16 waiting for a full frame
  AVFrame* audio_frame = nullptr;  // frame in the encoder's sample format
  // Direct path (no volume, no drift handling): decoder format straight to the
  // encoder's format, rate and channels, framed in the encoder's format.
  SwrContext* direct = nullptr;
  AVAudioFifo* direct_fifo = nullptr;
  AVFrame* direct_buf = nullptr;  // resampler output before the FIFO
  int direct_format = -1, direct_rate = 0, direct_channels = 0;  // input `direct` was made for
  // two-pass
  FILE* logfile = nullptr;
  // what the old coded frame told, taken from the last packet's side data
  float coded_quality = 0;  // lambda
  int coded_pict_type = 0;
  uint64_t coded_error[4] = {0, 0, 0, 0};
  bool coded_key = false;
  int64_t coded_pts = AV_NOPTS_VALUE;
  uint64_t error_sum[4] = {0, 0, 0, 0};  // accumulated for the last report's PSNR
  AVPacket* pkt = nullptr;               // reusable packet for encoder output
  int64_t audio_ts_shift = -1;           // encoder time base; -1 until the first audio packet
  int64_t written_end = 0;  // end of the last packet handed to the muxer, stream time base
  int64_t last_mux_dts = AV_NOPTS_VALUE;  // dts of that packet
  // video path: encoder input referencing the final picture, and the picture
  // geometry the stream runs with (taken from its first picture)
  std::unique_ptr<AVFrame, AVFrameDeleter> video_frame;
  int src_width = 0, src_height = 0, src_pix_fmt = -1;
};

class TFFmpegThread;

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // ---- run control ----
  void reset();
  TFFmpegThread* start_conversion(bool in_thread, TConvertPriority priority);
  void run_conversion();
  void notify_terminated();
  void request_stop();
  void stop_conversion();
  void pause_conversion();
  void resume_conversion();
  void release_all();
  // Blocks while paused; checked once per packet-loop turn.
  void wait_if_paused();
  // Stops a run and waits for its thread to end (a thread never resumed ends
  // without running). The destructor calls it; a derived class whose members
  // the run or its events use calls it first in its own destructor.
  void finish_run();

  // ---- option store ----
  bool set_library_option(const std::string& name, const std::string& value);
  bool set_library_option(const std::string& name, int64_t value);
  void copy_context_options(void* target, void* source, int flags);
  bool find_codec(const char* name, AVMediaType type, AVCodecID& id, bool encoder);
  int64_t parse_time(const std::string& option, const std::string& text, bool is_duration);

  // ---- input ----
  bool open_input_file(const std::string& file_name);
  void check_audio_video_sub_inputs(bool& has_video, bool& has_audio, bool& has_subtitle);
  static std::string open_error_message(const std::string& file_name, int code);

  // ---- output ----
  bool open_output_file(const std::string& file_name);
  void new_video_stream(AVFormatContext* oc);
  void new_audio_stream(AVFormatContext* oc);
  void new_subtitle_stream(AVFormatContext* oc);
  void add_video_stream();
  void add_audio_stream();
  void add_subtitle_stream();

  // ---- dispatcher and typed setters ----
  void set_option(const std::string& name, const std::string& value);
  void set_format(const std::string& v);
  void set_input_format(const std::string& v);
  void set_output_format(const std::string& v);
  void set_frame_rate(const std::string& v);
  void set_frame_size(const std::string& v);
  void set_frame_aspect_ratio(const std::string& v);
  void set_frame_pix_fmt(const std::string& v);
  void set_crop_top(int n);
  void set_crop_bottom(int n);
  void set_crop_left(int n);
  void set_crop_right(int n);
  void set_pad_top(int n);
  void set_pad_bottom(int n);
  void set_pad_left(int n);
  void set_pad_right(int n);
  void set_pad_color(int32_t rgb);
  void set_qscale(double q);
  void set_video_codec(const std::string& v);
  void set_audio_codec(const std::string& v);
  void set_subtitle_codec(const std::string& v);
  void set_video_tag(const std::string& v);
  void set_audio_tag(const std::string& v);
  void set_audio_sample_rate(int v);
  void set_audio_channels(int v);
  void set_audio_volume(int v);
  void set_audio_sync_method(int v);
  void set_video_sync_method(int v);
  void set_mux_preload(double v);
  void set_mux_max_delay(double v);
  void set_title(const std::string& v);
  void set_author(const std::string& v);
  void set_copyright(const std::string& v);
  void set_comment(const std::string& v);
  void set_genre(const std::string& v);
  void set_album(const std::string& v);
  void set_year(int v);
  void set_track(int v);
  void set_recording_time_ms(int ms);
  void set_start_time(int64_t us);
  void set_program_id(int v);
  void set_verbose(int level);
  void set_pass(int v);
  void set_intra_matrix(const std::string& v);
  void set_inter_matrix(const std::string& v);
  void set_vstats(bool on);
  void set_vstats_file(const std::string& v);
  void add_video_hook(const std::string& v);
  void add_stream_map(const std::string& v);
  void add_meta_data_map(const std::string& v);
  void set_input_ts_scale(const std::string& v);
  void set_target(const std::string& v);
  void apply_target(const std::string& type, const std::string& norm, const std::string& fallback_norm);
  void set_hook_ranges(const std::vector<THookRange>& ranges);

  // ---- transcode ----
  // Virtual so tests can stand in a run of their own.
  virtual void transcode();
  int output_packet(InputStream* ist, int ist_index, AVPacket* pkt);
  void write_frame(AVFormatContext* os, AVPacket* pkt, AVCodecContext* enc, OutputStream* ost);
  void do_subtitle_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, AVSubtitle* sub, int64_t pts);
  void pre_process_video(InputStream* ist, AVFrame* picture);
  void do_video_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, AVFrame* in_picture,
                    int& frame_size);
  void do_audio_out(AVFormatContext* os, OutputStream* ost, InputStream* ist, const uint8_t* buf, int size);
  // Whether decoded audio can skip the 16-bit stage (no volume change, no drift handling).
  bool audio_direct() const { return audio_volume == 256 && audio_sync_method == 0; }
  void do_audio_out_direct(AVFormatContext* os, OutputStream* ost, InputStream* ist, const AVFrame* frame);
  void flush_audio_direct(AVFormatContext* os, OutputStream* ost);
  void flush_direct_resampler(OutputStream* ost);
  void flush_audio_resampler(AVFormatContext* os, OutputStream* ost);
  bool reserve_direct_buf(OutputStream* ost, int samples);
  void encode_direct_frame(AVFormatContext* os, OutputStream* ost, int nb, int total = 0);
  // Converts interleaved s16 samples (encoder's channels and rate) to the
  // encoder's sample format and encodes them as one frame; returns bytes written.
  // The frame's pts is sync_opts, which then advances by nb_samples; audio_size
  // grows by the bytes written.
  int encode_audio_samples(AVFormatContext* os, OutputStream* ost, const uint8_t* s16, int nb_samples);
  // Encoder output: drains receive_packet after a send, writes each packet.
  // Returns the byte count written (0 when the encoder gave nothing).
  int encode_and_write(AVFormatContext* os, OutputStream* ost, AVFrame* frame);
  void print_report(bool is_last);
  void do_video_stats(AVFormatContext* os, OutputStream* ost, int frame_size);

  // ---- opened-codec bookkeeping ----
  void add_opened_encoder(OutputStream* ost);
  void add_opened_decoder(InputStream* ist);
  void remove_opened_encoder(OutputStream* ost);
  void remove_opened_decoder(InputStream* ist);
  void close_leftover_codecs();

  void log(int level, const std::string& message) {
    if (OnLog) OnLog(level, message);
  }

  // ---- engine tables ----
  AVFormatContext* input_files[MAX_FILES] = {};
  int64_t input_ts_offset[MAX_FILES] = {};
  double input_ts_scale[MAX_FILES][MAX_STREAMS] = {};
  int nb_input_files = 0;
  std::vector<InputStreamSetup> input_streams[MAX_FILES];
  AVFormatContext* output_files[MAX_FILES] = {};
  int nb_output_files = 0;
  std::vector<OutputStreamSetup> output_streams[MAX_FILES];
  AVDictionary* mux_opts[MAX_FILES] = {};  // muxer private options for write_header
  StreamMap stream_maps[MAX_STREAM_MAPS];
  int nb_stream_maps = 0;
  MetaDataMap meta_data_maps[MAX_FILES];
  int nb_meta_data_maps = 0;

  // ---- pending option values (defaults set by set_defaults) ----
  const AVInputFormat* file_iformat = nullptr;
  const AVOutputFormat* file_oformat = nullptr;
  bool pgmyuv_compatibility = false;
  int frame_width = 0, frame_height = 0;
  float frame_aspect_ratio = 0;
  int frame_pix_fmt = -1;
  int frame_padtop = 0, frame_padbottom = 0, frame_padleft = 0, frame_padright = 0;
  int padcolor[3] = {16, 128, 128};
  int frame_topband = 0, frame_bottomband = 0, frame_leftband = 0, frame_rightband = 0;
  int max_frames[4] = {2147483647, 2147483647, 2147483647, 2147483647};
  AVRational frame_rate = {0, 0};
  float video_qscale = 0;
  uint16_t* intra_matrix = nullptr;  // 64 entries, av_mallocz
  uint16_t* inter_matrix = nullptr;
  char* video_rc_override = nullptr;
  bool video_disable = false;
  int video_discard = 0;
  char* video_codec_name = nullptr;
  int video_codec_tag = 0;
  bool same_quality = false;
  bool do_deinterlace = false;
  int top_field_first = -1;
  int me_threshold = 0;
  int intra_dc_precision = 8;
  bool loop_input = false;
  int loop_output = -1;
  bool qp_hist = false;
  bool intra_only = false;
  int audio_sample_rate = 44100;
  float audio_qscale = -99999;
  bool audio_disable = false;
  int audio_channels = 2;
  char* audio_codec_name = nullptr;
  int audio_codec_tag = 0;
  std::string audio_language;
  bool subtitle_disable = false;
  char* subtitle_codec_name = nullptr;
  std::string subtitle_language;
  float mux_preload = 0.5f;
  float mux_max_delay = 0.7f;
  int64_t recording_time = INT64_MAX;
  int64_t start_time = 0;
  int64_t rec_timestamp = 0;
  int64_t pending_ts_offset = 0;
  std::string meta_title, meta_author, meta_copyright, meta_comment, meta_genre, meta_album;
  int meta_year = 0, meta_track = 0;
  bool do_hex_dump = false, do_pkt_dump = false, do_psnr = false;
  int do_pass = 0;
  std::string pass_logfilename;
  bool audio_stream_copy = false, video_stream_copy = false, subtitle_stream_copy = false;
  int video_sync_method = -1;
  int audio_sync_method = 0;
  float audio_drift_threshold = 0.1f;
  bool copy_ts = false;
  bool opt_shortest = false;
  int video_global_header = 0;
  char* vstats_filename = nullptr;
  FILE* vstats_file = nullptr;
  int opt_programid = 0;
  bool rate_emu = false;
  int video_channel = 0;
  char* video_standard = nullptr;
  int audio_volume = 256;
  bool using_vhook = false;
  int verbose = 1;
  int thread_count = 1;
  bool input_sync = false;
  int64_t limit_filesize = 0;
  float dts_delta_threshold = 10;
  int sws_flags = 4;

  // ---- library option store ----
  AVCodecContext* codec_option_ctx[5] = {};  // video, audio, data, subtitle, attachment
  AVFormatContext* format_option_ctx = nullptr;
  SwsContext* scaler_option_ctx = nullptr;
  std::vector<const char*> option_names;  // names as the library spells them
  // Options that moved into a muxer's or encoder's private options; handed to
  // avformat_write_header / avcodec_open2 of every later output.
  AVDictionary* private_format_opts = nullptr;
  AVDictionary* private_codec_opts[5] = {};

  // ---- statistics ----
  int64_t video_size = 0, audio_size = 0, extra_size = 0;
  int nb_frames_dup = 0, nb_frames_drop = 0;
  int64_t timer_start = 0;
  int64_t last_report_time = 0;
  int bit_buffer_size = 262144;
  int qp_histogram[52] = {};

  // ---- per-run records (transcode) ----
  std::vector<InputFile> file_table;
  std::vector<std::unique_ptr<InputStream>> ist_table;
  std::vector<std::unique_ptr<OutputStream>> ost_table;
  std::vector<OutputStream*> opened_encoders;
  std::vector<InputStream*> opened_decoders;

  // ---- work buffers ----
  std::vector<uint8_t> audio_buf;    // decoded s16 samples
  std::vector<uint8_t> resample_buf;
  std::vector<uint8_t> silence_buf;
  std::vector<uint8_t> subtitle_buf;

  // ---- hook state ----
  klaventa::FrameHook* frame_hooks = nullptr;
  uint8_t* hook_buf = nullptr;
  int hook_buf_size = 0;
  int hook_rgb_pix_fmt = AV_PIX_FMT_BGR24;
  std::unique_ptr<TBitmap> hook_bitmap;
  uint8_t* rgb_buf = nullptr;
  int rgb_buf_size = 0;
  SwsContext* to_rgb_ctx = nullptr;
  SwsContext* from_rgb_ctx = nullptr;
  int hook_frame_number = 0;
  THookAction hook_action = haContinue;
  std::vector<THookRange> hook_ranges;
  int hook_range_index = 0;
  int hook_rgb_width = 0, hook_rgb_height = 0, hook_rgb_src_fmt = -1;  // what to/from_rgb_ctx were made for
  AVFilterGraph* deint_graph = nullptr;  // deinterlace filter, built on first use
  AVFilterContext* deint_src = nullptr;
  AVFilterContext* deint_sink = nullptr;

  // ---- run state ----
  std::atomic<TFFmpegThread*> worker_thread{nullptr};
  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> terminated{false};
  std::atomic<bool> failed{false};
  std::string fail_message;
  int total_output_duration = -1;
  std::string last_error;
  int64_t progress_interval = 500000;

  // ---- files on disk and library I/O interrupts ----
  // Device and inode of a local file; known = false for other URLs or when it cannot be read.
  struct FileIdentity {
    bool known = false;
    uint64_t dev = 0, ino = 0;
  };
  // The local path a library URL names ("file:" stripped), or empty for other protocols.
  static std::string local_file_path(const std::string& url);
  static FileIdentity identity_of(const std::string& url);
  FileIdentity input_identity[MAX_FILES];   // each opened input
  FileIdentity output_identity[MAX_FILES];  // each output file open_output_file created
  // Throws FFMpegException when an output file is no longer where it was created.
  void check_outputs_present();
  // Interrupt callbacks (opaque: the engine). Inputs give up at once on a stop
  // request; outputs only once their writing has stalled for a moment after it,
  // so that a stopped run still closes its files properly.
  static int input_interrupt(void* engine);
  static int output_interrupt(void* engine);
  int64_t output_stall_pos = 0, output_stall_since = 0;  // used by output_interrupt only

  TEngineBeforeHook OnBeforeHook;
  TEngineCustomHook OnCustomHook;
  TEngineLog OnLog;
  TEngineProgress OnProgress;
  TEngineTerminate OnTerminate;

 protected:
  void set_defaults();

 private:
  friend class TFFmpegThread;
  void join_threads();
  std::unique_ptr<TFFmpegThread> thread_holder_;   // joined on reset/destruction
  std::thread terminate_thread_;                   // TDoTerminateThread
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
  bool paused_ = false;
};

// Worker thread of one engine; created suspended, started by resume().
class TFFmpegThread {
 public:
  TFFmpegThread(TCustomFFmpeg* engine, TConvertPriority priority);
  ~TFFmpegThread();
  void resume();  // starts the suspended thread
  void join();
  uint64_t thread_id() const;  // pthread identifier, comparable with current_thread_id()

 private:
  TCustomFFmpeg* engine_;
  TConvertPriority priority_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool started_ = false;
  uint64_t id_ = 0;
  std::thread thread_;
};

uint64_t current_thread_id();

// Process-wide lock around every codec open and close and stream-information read.
std::mutex& library_lock();

// Holds library_lock(); library log lines written meanwhile are delivered
// only after it is released, so no log event runs under the lock.
class LibraryLockGuard {
 public:
  LibraryLockGuard() {
    klaventa::hold_library_log();
    library_lock().lock();
    ++depth();
  }
  ~LibraryLockGuard() {
    --depth();
    library_lock().unlock();
    klaventa::release_library_log();
  }
  // True while the calling thread holds the lock through a guard.
  static bool held_by_this_thread() { return depth() > 0; }
  LibraryLockGuard(const LibraryLockGuard&) = delete;
  LibraryLockGuard& operator=(const LibraryLockGuard&) = delete;

 private:
  static int& depth() {
    static thread_local int d = 0;
    return d;
  }
};
