// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::pre_process_video(InputStream*, AVFrame*) {}
void TCustomFFmpeg::do_video_out(AVFormatContext*, OutputStream*, InputStream*, AVFrame*, int& frame_size) { frame_size = 0; }
