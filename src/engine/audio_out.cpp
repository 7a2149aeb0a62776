// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::do_audio_out(AVFormatContext*, OutputStream*, InputStream*, const uint8_t*, int) {}
int TCustomFFmpeg::encode_audio_samples(AVFormatContext*, OutputStream*, const uint8_t*, int) { return 0; }
