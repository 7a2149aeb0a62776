// klaventa-fuzz-seed DIR: writes small generated clips into DIR as the seed
// corpus of the fuzz targets (one clip per container and codec family).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "media/testmedia.h"

namespace {

testmedia::ClipSpec small(const std::string& container, const std::string& video, const std::string& audio) {
  testmedia::ClipSpec s;
  s.container = container;
  s.video_codec = video;
  s.audio_codec = audio;
  s.width = 64, s.height = 48;
  s.frames = 6;
  s.gop = 3;
  s.seconds = 0.25;
  s.sample_rate = 22050;
  s.channels = 1;
  s.audio_bit_rate = 32000;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);

  struct Seed {
    const char* name;
    testmedia::ClipSpec spec;
  };
  auto h264 = small("mp4", "libx264", "aac");
  h264.video_opts = {{"preset", "ultrafast"}};
  h264.bframes = 2;
  auto interlaced = small("mpeg", "mpeg2video", "mp2");
  interlaced.interlaced = true;
  interlaced.start_offset_us = 500000;
  auto subtitles = small("matroska", "mpeg4", "libmp3lame");
  subtitles.subtitles = true;
  subtitles.seconds = 1.0, subtitles.frames = 25, subtitles.gop = 12;
  auto mobile = small("3gp", "h263", "libopencore_amrnb");
  mobile.width = 128, mobile.height = 96;
  mobile.sample_rate = 8000, mobile.audio_bit_rate = 7400;
  auto aspect = small("mov", "mjpeg", "pcm_s16le");
  aspect.sar = {16, 11};
  aspect.pix_fmt = "yuvj420p";
  const std::vector<Seed> seeds = {
      {"mpeg4-mp3.avi", small("avi", "mpeg4", "libmp3lame")},
      {"h264-aac.mp4", h264},
      {"mpeg2-mp2.mpg", interlaced},
      {"mpeg2-mp2.ts", small("mpegts", "mpeg2video", "mp2")},
      {"mpeg4-mp3-srt.mkv", subtitles},
      {"wmv2-wma.wmv", small("asf", "wmv2", "wmav2")},
      {"h263-amr.3gp", mobile},
      {"flv-mp3.flv", small("flv", "flv", "libmp3lame")},
      {"mjpeg-pcm.mov", aspect},
      {"pcm.wav", small("wav", "", "pcm_s16le")},
      {"mp3.mp3", small("mp3", "", "libmp3lame")},
      {"video-only.avi", small("avi", "mpeg4", "")},
  };

  int written = 0;
  for (const Seed& s : seeds) {
    std::string error;
    if (testmedia::write_clip(s.spec, (dir / s.name).string(), &error))
      ++written;
    else
      std::fprintf(stderr, "skipped %s: %s\n", s.name, error.c_str());
  }
  // Degenerate inputs: empty, text, a truncated clip.
  std::FILE* f = std::fopen((dir / "empty").c_str(), "wb");
  if (f) std::fclose(f), ++written;
  f = std::fopen((dir / "text").c_str(), "wb");
  if (f) std::fputs("Line 1: this is a plain text file, not a video.\n", f), std::fclose(f), ++written;
  std::error_code ec;
  const auto size = std::filesystem::file_size(dir / "mpeg4-mp3.avi", ec);
  if (!ec) {
    std::filesystem::copy_file(dir / "mpeg4-mp3.avi", dir / "truncated.avi",
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) std::filesystem::resize_file(dir / "truncated.avi", size / 2, ec), ++written;
  }
  std::printf("%d seed files in %s\n", written, dir.c_str());
  return 0;
}
