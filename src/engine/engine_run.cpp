// Engine object: construction, defaults, run control, threads and release.
//
// Floating point: x86-64 runs with every SSE exception masked; nothing in this
// process unmasks them, so x/0 yields inf or NaN (the report code relies on it).
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#include "binding/loader.h"
#include "engine/engine.h"

namespace {

std::mutex g_library_lock;

// Lowers the calling thread's priority; failures are ignored.
void apply_priority(TConvertPriority priority) {
  const pid_t tid = gettid();
  auto raise_nice = [tid](int step) {
    errno = 0;
    int nice_now = getpriority(PRIO_PROCESS, tid);
    if (nice_now == -1 && errno != 0) return;
    setpriority(PRIO_PROCESS, tid, std::min(nice_now + step, 19));
  };
  switch (priority) {
    case tpIdle: {
      sched_param param{};
      param.sched_priority = 0;
      sched_setscheduler(tid, SCHED_IDLE, &param);
      break;
    }
    case tpLowest: raise_nice(10); break;
    case tpLower: raise_nice(5); break;
    case tpNormal: break;
  }
}

void lib_freep(void* ptr) {
  if (ff::av_freep) ff::av_freep(ptr);
}

// Frees a codec context; an opened one is closed under the library lock.
void free_codec(AVCodecContext** ctx) {
  if (!*ctx) return;
  if (ff::avcodec_is_open(*ctx)) {
    LibraryLockGuard lock;
    ff::avcodec_free_context(ctx);
  } else {
    ff::avcodec_free_context(ctx);
  }
}

// Pending values that hold library memory or files.
void release_pending_values(TCustomFFmpeg& e) {
  lib_freep(&e.intra_matrix);
  lib_freep(&e.inter_matrix);
  lib_freep(&e.video_rc_override);
  if (e.vstats_file) std::fclose(e.vstats_file);
  e.vstats_file = nullptr;
  lib_freep(&e.vstats_filename);
  e.option_names.clear();
  lib_freep(&e.video_codec_name);
  lib_freep(&e.audio_codec_name);
  lib_freep(&e.subtitle_codec_name);
  lib_freep(&e.video_standard);
  e.audio_language.clear();
  e.subtitle_language.clear();
  if (ff::av_dict_free) {
    ff::av_dict_free(&e.private_format_opts);
    for (AVDictionary*& d : e.private_codec_opts) ff::av_dict_free(&d);
  }
}

void release_hook_state(TCustomFFmpeg& e) {
  klaventa::release_frame_hooks(&e.frame_hooks);
  lib_freep(&e.hook_buf);
  e.hook_buf_size = 0;
  e.hook_bitmap.reset();
  lib_freep(&e.rgb_buf);
  e.rgb_buf_size = 0;
  if (ff::sws_freeContext) {
    ff::sws_freeContext(e.to_rgb_ctx);
    ff::sws_freeContext(e.from_rgb_ctx);
  }
  e.to_rgb_ctx = nullptr;
  e.from_rgb_ctx = nullptr;
  e.hook_rgb_width = e.hook_rgb_height = 0;
  e.hook_rgb_src_fmt = -1;
  if (ff::avfilter_graph_free) ff::avfilter_graph_free(&e.deint_graph);
  e.deint_graph = nullptr;
  e.deint_src = nullptr;
  e.deint_sink = nullptr;
}

// The local file an output context writes to, or empty.
std::string output_path(const AVFormatContext* oc) {
  if (!oc->url || !*oc->url) return {};
  return TCustomFFmpeg::local_file_path(oc->url);
}

// Deletes an empty regular file that is still the one we created (`ours`,
// when its identity was taken); devices, pipes and other files stay.
void delete_if_empty(const std::string& path, const TCustomFFmpeg::FileIdentity& ours) {
  if (path.empty()) return;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) return;
  if (ours.known && (static_cast<uint64_t>(st.st_dev) != ours.dev || static_cast<uint64_t>(st.st_ino) != ours.ino))
    return;
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace

std::mutex& library_lock() { return g_library_lock; }

std::string format_text(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

uint64_t current_thread_id() { return static_cast<uint64_t>(pthread_self()); }

// ---- TFFmpegThread ----

TFFmpegThread::TFFmpegThread(TCustomFFmpeg* engine, TConvertPriority priority)
    : engine_(engine), priority_(priority) {
  thread_ = std::thread([this] {
    apply_priority(priority_);
    TCustomFFmpeg* engine_to_run;
    {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [this] { return started_; });
      engine_to_run = engine_;
    }
    if (!engine_to_run) return;
    // As with the platform's thread class, an exception that escapes the body
    // only ends the thread.
    try {
      engine_to_run->run_conversion();
    } catch (...) {
    }
  });
  id_ = static_cast<uint64_t>(thread_.native_handle());
}

TFFmpegThread::~TFFmpegThread() {
  {
    std::lock_guard lock(mutex_);
    if (!started_) {  // never resumed: let the thread end without running
      engine_ = nullptr;
      started_ = true;
    }
  }
  cv_.notify_all();
  join();
}

void TFFmpegThread::resume() {
  {
    std::lock_guard lock(mutex_);
    started_ = true;
  }
  cv_.notify_all();
}

void TFFmpegThread::join() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id())
    thread_.detach();
  else
    thread_.join();
}

uint64_t TFFmpegThread::thread_id() const { return id_; }

// ---- TCustomFFmpeg ----

TCustomFFmpeg::TCustomFFmpeg() {
  progress_interval = 500000;
  running = false;
  stop_requested = false;
  finished = false;
  terminated = false;
  total_output_duration = -1;
  opened_encoders.clear();
  opened_decoders.clear();
  set_defaults();
}

TCustomFFmpeg::~TCustomFFmpeg() {
  // The run must really be over before its resources go.
  finish_run();
  release_all();
  release_hook_state(*this);
  release_pending_values(*this);
}

void TCustomFFmpeg::finish_run() {
  stop_requested = true;
  {
    std::lock_guard lock(pause_mutex_);
    paused_ = false;
  }
  pause_cv_.notify_all();
  join_threads();
}

void TCustomFFmpeg::join_threads() {
  thread_holder_.reset();  // joins; a thread never resumed ends without running
  if (terminate_thread_.joinable()) {
    if (terminate_thread_.get_id() == std::this_thread::get_id())
      terminate_thread_.detach();
    else
      terminate_thread_.join();
  }
}

void TCustomFFmpeg::set_defaults() {
  release_pending_values(*this);
  release_hook_state(*this);

  nb_input_files = 0;
  nb_output_files = 0;
  for (StreamMap& m : stream_maps) m = StreamMap{};
  nb_stream_maps = 0;
  for (MetaDataMap& m : meta_data_maps) m = MetaDataMap{};
  nb_meta_data_maps = 0;
  for (auto& file : input_ts_scale)
    for (double& scale : file) scale = 0;

  file_iformat = nullptr;
  file_oformat = nullptr;
  pgmyuv_compatibility = false;
  frame_width = frame_height = 0;
  frame_aspect_ratio = 0;
  frame_pix_fmt = -1;
  frame_padtop = frame_padbottom = frame_padleft = frame_padright = 0;
  padcolor[0] = 16;
  padcolor[1] = 128;
  padcolor[2] = 128;
  frame_topband = frame_bottomband = frame_leftband = frame_rightband = 0;
  for (int& m : max_frames) m = INT_MAX;
  frame_rate = AVRational{0, 0};
  video_qscale = 0;
  video_disable = false;
  video_discard = 0;
  video_codec_tag = 0;
  same_quality = false;
  do_deinterlace = false;
  top_field_first = -1;
  me_threshold = 0;
  intra_dc_precision = 8;
  loop_input = false;
  loop_output = -1;
  qp_hist = false;
  intra_only = false;
  audio_sample_rate = 44100;
  audio_qscale = -99999;
  audio_disable = false;
  audio_channels = 2;
  audio_codec_tag = 0;
  subtitle_disable = false;
  mux_preload = 0.5f;
  mux_max_delay = 0.7f;
  recording_time = INT64_MAX;
  start_time = 0;
  rec_timestamp = 0;
  pending_ts_offset = 0;
  meta_title.clear();
  meta_author.clear();
  meta_copyright.clear();
  meta_comment.clear();
  meta_genre.clear();
  meta_album.clear();
  meta_year = meta_track = 0;
  do_hex_dump = do_pkt_dump = do_psnr = false;
  do_pass = 0;
  pass_logfilename.clear();
  audio_stream_copy = video_stream_copy = subtitle_stream_copy = false;
  video_sync_method = -1;
  audio_sync_method = 0;
  audio_drift_threshold = 0.1f;
  copy_ts = false;
  opt_shortest = false;
  video_global_header = 0;
  opt_programid = 0;
  rate_emu = false;
  video_channel = 0;
  audio_volume = 256;
  using_vhook = false;
  verbose = 1;
  thread_count = 1;
  input_sync = false;
  limit_filesize = 0;
  dts_delta_threshold = 10;
  sws_flags = 4;

  video_size = audio_size = extra_size = 0;
  nb_frames_dup = nb_frames_drop = 0;
  timer_start = 0;
  last_report_time = 0;
  for (int& n : qp_histogram) n = 0;
  bit_buffer_size = 262144;
  worker_thread = nullptr;
  total_output_duration = -1;

  hook_rgb_pix_fmt = AV_PIX_FMT_BGR24;
  hook_frame_number = 0;
  hook_action = haContinue;
  hook_ranges.clear();  // the range count is the vector's size
  hook_range_index = 0;
  failed = false;
}

void TCustomFFmpeg::reset() {
  if (!klaventa::libraries_loaded()) return;
  finish_run();

  release_all();
  set_defaults();
  running = false;
  stop_requested = false;
  finished = false;
  terminated = false;
  total_output_duration = -1;

  for (int t = 0; t < 5; ++t) {
    codec_option_ctx[t] = ff::avcodec_alloc_context3(nullptr);
    if (codec_option_ctx[t]) codec_option_ctx[t]->codec_type = static_cast<AVMediaType>(t);
  }
  format_option_ctx = ff::avformat_alloc_context();
  scaler_option_ctx = ff::sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P, sws_flags, nullptr,
                                         nullptr, nullptr);
}

TFFmpegThread* TCustomFFmpeg::start_conversion(bool in_thread, TConvertPriority priority) {
  const bool terminate_pending = terminate_thread_.joinable() && !terminated;
  if (running || terminated || terminate_pending) return nullptr;

  auto fail_start = [this](const std::string& message) {
    log(-1, message);
    failed = true;
    fail_message = message;
    notify_terminated();
  };
  try {
    if (nb_output_files <= 0) {
      release_all();
      throw FFMpegException("Must supply at least one output file");
    }
    if (nb_input_files <= 0) {
      release_all();
      throw FFMpegException("Must supply at least one input file");
    }
  } catch (const FFMpegException& e) {
    fail_start(e.what());
    return nullptr;
  }

  running = true;
  stop_requested = false;
  finished = false;
  terminated = false;
  {
    std::lock_guard lock(pause_mutex_);
    paused_ = false;
  }

  if (!in_thread) {
    run_conversion();
    return nullptr;
  }

  thread_holder_.reset();
  try {
    thread_holder_ = std::make_unique<TFFmpegThread>(this, priority);
  } catch (const std::system_error& e) {
    release_all();
    fail_start(e.what());
    return nullptr;
  }
  worker_thread = thread_holder_.get();
  return thread_holder_.get();
}

void TCustomFFmpeg::run_conversion() {
  finished = false;
  std::exception_ptr other;
  try {
    // An output whose file is gone (its folder removed) would be written to nowhere.
    check_outputs_present();
    transcode();
    try {
      check_outputs_present();
    } catch (...) {
      finished = false;
      throw;
    }
  } catch (const std::exception& e) {
    log(-1, e.what());
    failed = true;
    fail_message = e.what();
  } catch (...) {
    other = std::current_exception();
  }
  close_leftover_codecs();
  release_all();
  notify_terminated();
  if (other) std::rethrow_exception(other);
}

void TCustomFFmpeg::notify_terminated() {
  // terminated before running: whoever sees running false also sees terminated.
  terminated = true;
  running = false;
  worker_thread = nullptr;
  if (OnTerminate) OnTerminate();
}

void TCustomFFmpeg::request_stop() {
  stop_requested = true;
  // A thread created suspended starts, so that it can see the request.
  if (TFFmpegThread* t = worker_thread.load()) t->resume();
  {
    std::lock_guard lock(pause_mutex_);
    paused_ = false;
  }
  pause_cv_.notify_all();
}

void TCustomFFmpeg::stop_conversion() {
  if (running) {
    request_stop();
    return;
  }
  if (terminated) return;
  if (terminate_thread_.joinable()) return;  // its report is on the way
  terminate_thread_ = std::thread([this] {
    apply_priority(tpIdle);
    notify_terminated();
  });
}

void TCustomFFmpeg::pause_conversion() {
  if (!worker_thread.load()) return;
  std::lock_guard lock(pause_mutex_);
  paused_ = true;
}

void TCustomFFmpeg::resume_conversion() {
  TFFmpegThread* t = worker_thread.load();
  if (!t) return;
  t->resume();
  {
    std::lock_guard lock(pause_mutex_);
    paused_ = false;
  }
  pause_cv_.notify_all();
}

void TCustomFFmpeg::wait_if_paused() {
  std::unique_lock lock(pause_mutex_);
  pause_cv_.wait(lock, [this] { return !paused_ || stop_requested; });
}

void TCustomFFmpeg::release_all() {
  if (!klaventa::libraries_loaded()) return;

  for (AVCodecContext*& ctx : codec_option_ctx) ff::avcodec_free_context(&ctx);
  ff::avformat_free_context(format_option_ctx);
  format_option_ctx = nullptr;
  ff::sws_freeContext(scaler_option_ctx);
  scaler_option_ctx = nullptr;

  for (int i = 0; i < nb_output_files && i < MAX_FILES; ++i) {
    AVFormatContext* oc = output_files[i];
    if (!oc) continue;
    // Only a file this engine opened for writing is its own to delete.
    const bool written = oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE) && oc->pb;
    if (written) ff::avio_closep(&oc->pb);
    const std::string path = output_path(oc);
    ff::avformat_free_context(oc);
    output_files[i] = nullptr;
    if (written) delete_if_empty(path, output_identity[i]);
  }
  nb_output_files = 0;
  for (FileIdentity& id : output_identity) id = FileIdentity{};
  for (FileIdentity& id : input_identity) id = FileIdentity{};
  for (int i = 0; i < MAX_FILES; ++i) {
    for (OutputStreamSetup& s : output_streams[i]) {
      free_codec(&s.enc);
      ff::av_dict_free(&s.codec_opts);
    }
    output_streams[i].clear();
    ff::av_dict_free(&mux_opts[i]);
  }

  for (int i = 0; i < nb_input_files && i < MAX_FILES; ++i) ff::avformat_close_input(&input_files[i]);
  nb_input_files = 0;
  for (auto& streams : input_streams) {
    for (InputStreamSetup& s : streams) free_codec(&s.dec);
    streams.clear();
  }

  release_pending_values(*this);
  release_hook_state(*this);
}

// ---- opened-codec bookkeeping ----

void TCustomFFmpeg::add_opened_encoder(OutputStream* ost) { opened_encoders.insert(opened_encoders.begin(), ost); }

void TCustomFFmpeg::add_opened_decoder(InputStream* ist) { opened_decoders.insert(opened_decoders.begin(), ist); }

void TCustomFFmpeg::remove_opened_encoder(OutputStream* ost) {
  for (auto it = opened_encoders.begin(); it != opened_encoders.end(); ++it)
    if (*it == ost) {
      opened_encoders.erase(it);
      return;
    }
}

void TCustomFFmpeg::remove_opened_decoder(InputStream* ist) {
  for (auto it = opened_decoders.begin(); it != opened_decoders.end(); ++it)
    if (*it == ist) {
      opened_decoders.erase(it);
      return;
    }
}

void TCustomFFmpeg::close_leftover_codecs() {
  for (OutputStream* ost : opened_encoders) {
    if (!ost || !ost->encoding_needed || !ost->enc) continue;
    // The owning setup's pointer is the one freed, so release_all cannot free it twice.
    AVCodecContext** owner = ost->setup ? &ost->setup->enc : nullptr;
    if (!owner || *owner != ost->enc) {
      owner = nullptr;
      if (ost->file_index >= 0 && ost->file_index < MAX_FILES)
        for (OutputStreamSetup& s : output_streams[ost->file_index])
          if (s.enc == ost->enc) owner = &s.enc;
    }
    AVCodecContext* enc = ost->enc;
    AVCodecContext** target = owner ? owner : &enc;
    ff::av_freep(&(*target)->stats_in);
    {
      LibraryLockGuard lock;
      ff::avcodec_free_context(target);
    }
    ost->enc = nullptr;
  }
  opened_encoders.clear();

  for (InputStream* ist : opened_decoders) {
    if (!ist || !ist->decoding_needed || !ist->dec) continue;
    AVCodecContext** owner = nullptr;
    if (ist->file_index >= 0 && ist->file_index < MAX_FILES)
      for (InputStreamSetup& s : input_streams[ist->file_index])
        if (s.dec == ist->dec) owner = &s.dec;
    AVCodecContext* dec = ist->dec;
    {
      LibraryLockGuard lock;
      ff::avcodec_free_context(owner ? owner : &dec);
    }
    ist->dec = nullptr;
  }
  opened_decoders.clear();
}
