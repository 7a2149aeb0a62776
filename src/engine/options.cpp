// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

bool TCustomFFmpeg::set_library_option(const std::string&, const std::string&) { return false; }
bool TCustomFFmpeg::set_library_option(const std::string&, int64_t) { return false; }
void TCustomFFmpeg::copy_context_options(void*, void*, int) {}
bool TCustomFFmpeg::find_codec(const char*, AVMediaType, AVCodecID&, bool) { return false; }
int64_t TCustomFFmpeg::parse_time(const std::string&, const std::string&, bool) { return 0; }
