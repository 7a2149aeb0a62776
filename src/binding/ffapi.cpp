#include "binding/ffapi.h"

#include <cstdio>

namespace ff {
#define KLAVENTA_DEFINE_SYMBOL(name) decltype(&::name) name = nullptr;
KLAVENTA_AVCODEC_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
KLAVENTA_AVFORMAT_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
KLAVENTA_AVUTIL_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
KLAVENTA_SWSCALE_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
KLAVENTA_SWRESAMPLE_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
KLAVENTA_AVFILTER_SYMBOLS(KLAVENTA_DEFINE_SYMBOL)
#undef KLAVENTA_DEFINE_SYMBOL

const char* error_text(int code, char* buf, size_t size) {
  if (!av_strerror || av_strerror(code, buf, size) < 0) std::snprintf(buf, size, "error %d", code);
  return buf;
}
}  // namespace ff
