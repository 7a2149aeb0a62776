// klaventa-sample OUT_FILE: a 3-second 320x240 25 fps MPEG-4 + MP3 AVI with a
// moving pattern and a 440 Hz tone.
#include <cstdio>
#include <string>

#include "media/testmedia.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_FILE\n", argv[0]);
    return 2;
  }
  testmedia::ClipSpec spec;
  spec.container = "avi";
  spec.video_codec = "mpeg4";
  spec.width = 320;
  spec.height = 240;
  spec.fps = {25, 1};
  spec.frames = 75;
  spec.audio_codec = "libmp3lame";
  spec.seconds = 3.0;
  std::string error;
  if (!testmedia::write_clip(spec, argv[1], &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.c_str());
    return 1;
  }
  return 0;
}
