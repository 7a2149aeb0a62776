// Run-time loading of the media libraries (all or nothing) and the log-level scale.
#pragma once

#include <string>

namespace klaventa {

// Opens and binds every media library. When `folder` holds any of the library
// files, all of them are taken from there; otherwise the system's normal search
// finds them. `versioned` picks the soname (libavcodec.so.59) over the plain
// development name (libavcodec.so). A second call after success returns true.
bool load_libraries(const std::string& folder, bool versioned);
// Text of the last failed load_libraries.
std::string library_load_error();
// Frees every module (avcodec, avformat, avutil, swscale, swresample, avfilter).
void unload_libraries();
bool libraries_loaded();

bool avcodec_bound();
bool avformat_bound();
bool avutil_bound();
bool swscale_bound();
bool swresample_bound();
bool avfilter_bound();

// File name of a library as load_libraries opens it, e.g. "libswscale.so.6".
std::string library_file_name(const char* base, bool versioned);

// The system speaks the old library log scale: -1 quiet, 0 errors and warnings,
// 1 information, 2 debug (verbose included), 3 everything. These map it to and
// from today's AV_LOG_* values.
int av_level_from_old(int old_level);
int old_level_from_av(int av_level);

// Process-wide log threshold (old scale) read by the library log callback.
int log_threshold();
void set_log_threshold(int old_level);

// While a thread holds library log lines back (nesting counts), the log
// callback keeps that thread's finished lines; the flusher set here delivers
// them when the last hold ends. Used around calls made under the library lock,
// so no log event runs while it is held.
void hold_library_log();
void release_library_log();
bool library_log_held();
void set_library_log_flusher(void (*flusher)());

}  // namespace klaventa
