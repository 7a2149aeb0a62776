#include "binding/loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

#include "binding/ffapi.h"

namespace klaventa {
namespace {

using BindFn = void (*)(void* handle, const std::string& file);

struct LibraryUnit {
  const char* base;  // "libavcodec"
  int major;
  BindFn bind;
  void* handle = nullptr;
  bool bound = false;
  std::string error;
};

[[noreturn]] void missing_function(const char* name, const std::string& file) {
  const char* err = dlerror();
  char buf[1024];
  std::snprintf(buf, sizeof buf, "Load function %s@%s error: %s", name, file.c_str(), err ? err : "not found");
  throw std::runtime_error(buf);
}

#define KLAVENTA_BIND_SYMBOL(name)                                  \
  {                                                                 \
    dlerror();                                                      \
    void* p = dlsym(handle, #name);                                 \
    if (!p) missing_function(#name, file);                          \
    ff::name = reinterpret_cast<decltype(ff::name)>(p);             \
  }
#define KLAVENTA_CLEAR_SYMBOL(name) ff::name = nullptr;

void bind_avcodec(void* handle, const std::string& file) { KLAVENTA_AVCODEC_SYMBOLS(KLAVENTA_BIND_SYMBOL) }
void bind_avformat(void* handle, const std::string& file) { KLAVENTA_AVFORMAT_SYMBOLS(KLAVENTA_BIND_SYMBOL) }
void bind_avutil(void* handle, const std::string& file) { KLAVENTA_AVUTIL_SYMBOLS(KLAVENTA_BIND_SYMBOL) }
void bind_swscale(void* handle, const std::string& file) { KLAVENTA_SWSCALE_SYMBOLS(KLAVENTA_BIND_SYMBOL) }
void bind_swresample(void* handle, const std::string& file) { KLAVENTA_SWRESAMPLE_SYMBOLS(KLAVENTA_BIND_SYMBOL) }
void bind_avfilter(void* handle, const std::string& file) { KLAVENTA_AVFILTER_SYMBOLS(KLAVENTA_BIND_SYMBOL) }

void clear_symbols(int unit) {
  switch (unit) {
    case 0: KLAVENTA_AVCODEC_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
    case 1: KLAVENTA_AVFORMAT_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
    case 2: KLAVENTA_AVUTIL_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
    case 3: KLAVENTA_SWSCALE_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
    case 4: KLAVENTA_SWRESAMPLE_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
    case 5: KLAVENTA_AVFILTER_SYMBOLS(KLAVENTA_CLEAR_SYMBOL) break;
  }
}

// Load order; unloading follows the same order.
LibraryUnit g_units[] = {
    {"libavcodec", LIBAVCODEC_VERSION_MAJOR, bind_avcodec, nullptr, false, {}},
    {"libavformat", LIBAVFORMAT_VERSION_MAJOR, bind_avformat, nullptr, false, {}},
    {"libavutil", LIBAVUTIL_VERSION_MAJOR, bind_avutil, nullptr, false, {}},
    {"libswscale", LIBSWSCALE_VERSION_MAJOR, bind_swscale, nullptr, false, {}},
    {"libswresample", LIBSWRESAMPLE_VERSION_MAJOR, bind_swresample, nullptr, false, {}},
    {"libavfilter", LIBAVFILTER_VERSION_MAJOR, bind_avfilter, nullptr, false, {}},
};
constexpr int kUnitCount = sizeof g_units / sizeof g_units[0];

std::mutex g_mutex;
std::atomic<bool> g_loaded{false};
std::string g_error;
std::atomic<int> g_threshold{1};

std::string file_name(const LibraryUnit& u, bool versioned) {
  std::string name = std::string(u.base) + ".so";
  if (versioned) name += "." + std::to_string(u.major);
  return name;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool bind_unit(LibraryUnit& u, const std::string& dir, bool versioned) {
  const std::string file = file_name(u, versioned);
  if (!u.handle) {
    const std::string path = dir.empty() ? file : dir + "/" + file;
    dlerror();
    u.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!u.handle) {
      const char* err = dlerror();
      u.error = "Load libraray " + file + " error: " + (err ? err : "unknown error");
      return false;
    }
  }
  if (!u.bound) {
    try {
      u.bind(u.handle, file);
    } catch (const std::exception& e) {
      u.error = e.what();
      return false;
    }
    u.bound = true;
  }
  return true;
}

void unload_locked() {
  for (int i = 0; i < kUnitCount; ++i) {
    LibraryUnit& u = g_units[i];
    clear_symbols(i);
    if (u.handle) dlclose(u.handle);
    u.handle = nullptr;
    u.bound = false;
  }
  g_loaded = false;
}

}  // namespace

std::string library_file_name(const char* base, bool versioned) {
  for (const LibraryUnit& u : g_units)
    if (std::string(u.base) == base) return file_name(u, versioned);
  return std::string(base) + ".so";
}

bool load_libraries(const std::string& folder, bool versioned) {
  std::lock_guard lock(g_mutex);
  if (g_loaded) return true;
  g_error.clear();
  // A folder that holds any of the files is the installation: every file must
  // come from it. Otherwise the dynamic loader's own search finds them. The
  // loader's search path needs no change (PATH played that role elsewhere).
  std::string dir;
  if (!folder.empty()) {
    for (const LibraryUnit& u : g_units)
      if (file_exists(folder + "/" + file_name(u, versioned))) {
        dir = folder;
        break;
      }
  }
  bool ok = true;
  for (LibraryUnit& u : g_units) {
    if (!bind_unit(u, dir, versioned)) {
      g_error = u.error;
      ok = false;
      break;
    }
  }
  if (!ok) {
    unload_locked();
    return false;
  }
  g_loaded = true;
  g_threshold = old_level_from_av(ff::av_log_get_level());
  return true;
}

std::string library_load_error() {
  std::lock_guard lock(g_mutex);
  return g_error;
}

void unload_libraries() {
  std::lock_guard lock(g_mutex);
  unload_locked();
}

bool libraries_loaded() { return g_loaded; }
bool avcodec_bound() { return g_units[0].bound; }
bool avformat_bound() { return g_units[1].bound; }
bool avutil_bound() { return g_units[2].bound; }
bool swscale_bound() { return g_units[3].bound; }
bool swresample_bound() { return g_units[4].bound; }
bool avfilter_bound() { return g_units[5].bound; }

int av_level_from_old(int old_level) {
  if (old_level < 0) return AV_LOG_QUIET;
  switch (old_level) {
    case 0: return AV_LOG_WARNING;
    case 1: return AV_LOG_INFO;
    case 2: return AV_LOG_DEBUG;
    default: return AV_LOG_TRACE;
  }
}

int old_level_from_av(int av_level) {
  if (av_level < 0) return -1;
  if (av_level <= AV_LOG_WARNING) return 0;
  if (av_level <= AV_LOG_INFO) return 1;
  if (av_level <= AV_LOG_DEBUG) return 2;
  return 3;
}

int log_threshold() { return g_threshold; }
void set_log_threshold(int old_level) { g_threshold = old_level; }

namespace {
thread_local int t_log_hold_depth = 0;
std::atomic<void (*)()> g_log_flusher{nullptr};
}  // namespace

void hold_library_log() { ++t_log_hold_depth; }

void release_library_log() {
  if (--t_log_hold_depth > 0) return;
  if (auto flush = g_log_flusher.load()) flush();
}

bool library_log_held() { return t_log_hold_depth > 0; }
void set_library_log_flusher(void (*flusher)()) { g_log_flusher = flusher; }

}  // namespace klaventa
