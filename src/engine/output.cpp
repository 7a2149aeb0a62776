// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

bool TCustomFFmpeg::open_output_file(const std::string&) { return false; }
void TCustomFFmpeg::new_video_stream(AVFormatContext*) {}
void TCustomFFmpeg::new_audio_stream(AVFormatContext*) {}
void TCustomFFmpeg::new_subtitle_stream(AVFormatContext*) {}
void TCustomFFmpeg::add_video_stream() {}
void TCustomFFmpeg::add_audio_stream() {}
void TCustomFFmpeg::add_subtitle_stream() {}
