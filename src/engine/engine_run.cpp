// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

TCustomFFmpeg::TCustomFFmpeg() {}
TCustomFFmpeg::~TCustomFFmpeg() {}
void TCustomFFmpeg::set_defaults() {}
void TCustomFFmpeg::reset() {}
TFFmpegThread* TCustomFFmpeg::start_conversion(bool, TConvertPriority) { return nullptr; }
void TCustomFFmpeg::run_conversion() {}
void TCustomFFmpeg::notify_terminated() {}
void TCustomFFmpeg::request_stop() {}
void TCustomFFmpeg::stop_conversion() {}
void TCustomFFmpeg::pause_conversion() {}
void TCustomFFmpeg::resume_conversion() {}
void TCustomFFmpeg::release_all() {}
void TCustomFFmpeg::wait_if_paused() {}
void TCustomFFmpeg::add_opened_encoder(OutputStream*) {}
void TCustomFFmpeg::add_opened_decoder(InputStream*) {}
void TCustomFFmpeg::remove_opened_encoder(OutputStream*) {}
void TCustomFFmpeg::remove_opened_decoder(InputStream*) {}
void TCustomFFmpeg::close_leftover_codecs() {}
TFFmpegThread::TFFmpegThread(TCustomFFmpeg* e, TConvertPriority p) : engine_(e), priority_(p) {}
TFFmpegThread::~TFFmpegThread() {}
void TFFmpegThread::resume() {}
void TFFmpegThread::join() {}
uint64_t TFFmpegThread::thread_id() const { return 0; }
uint64_t current_thread_id() { return 0; }
std::mutex& library_lock() { static std::mutex m; return m; }
