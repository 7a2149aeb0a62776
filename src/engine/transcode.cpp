// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::transcode() { throw FFMpegException("transcode not built yet"); }
int TCustomFFmpeg::output_packet(InputStream*, int, AVPacket*) { return -1; }
void TCustomFFmpeg::write_frame(AVFormatContext*, AVPacket*, AVCodecContext*, OutputStream*) {}
void TCustomFFmpeg::do_subtitle_out(AVFormatContext*, OutputStream*, InputStream*, AVSubtitle*, int64_t) {}
int TCustomFFmpeg::encode_and_write(AVFormatContext*, OutputStream*, AVFrame*) { return 0; }
