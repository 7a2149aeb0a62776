// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

bool TCustomFFmpeg::open_input_file(const std::string&) { return false; }
void TCustomFFmpeg::check_audio_video_sub_inputs(bool&, bool&, bool&) {}
std::string TCustomFFmpeg::open_error_message(const std::string&, int) { return {}; }
