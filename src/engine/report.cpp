// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::print_report(bool) {}
void TCustomFFmpeg::do_video_stats(AVFormatContext*, OutputStream*, int) {}
