// Option dispatcher (set_option) and the typed setters behind it.
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "binding/loader.h"
#include "engine/engine.h"

namespace {

std::string format_msg(const char* fmt, const std::string& a) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, fmt, a.c_str());
  return buf;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Whole-text integer: leading blanks, optional sign, decimal digits or a
// "$"/"0x" hexadecimal number (hexadecimal may use all bits of the type).
template <typename T>
bool parse_integer(const std::string& text, T& out) {
  using U = std::make_unsigned_t<T>;
  std::string_view s = text;
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  U mag = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), mag, base);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  if (base == 16) {
    T v = static_cast<T>(mag);
    out = neg ? static_cast<T>(U(0) - mag) : v;
    return true;
  }
  const U limit = neg ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max());
  if (mag > limit) return false;
  out = neg ? static_cast<T>(U(0) - mag) : static_cast<T>(mag);
  return true;
}

int to_int(const std::string& text) {
  int32_t v = 0;
  if (!parse_integer(text, v)) throw FFMpegException(format_msg("'%s' is not a valid integer value", text));
  return v;
}

int64_t to_int64(const std::string& text) {
  int64_t v = 0;
  if (!parse_integer(text, v)) throw FFMpegException(format_msg("'%s' is not a valid integer value", text));
  return v;
}

// Decimal with a point, independent of the process locale; blanks around it
// are allowed, infinities and NaN are not.
bool parse_decimal(const std::string& text, double& out) {
  std::string_view s = trim(text);
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return false;
  }
  if (s.empty()) return false;
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
  out = v;
  return true;
}

double to_double(const std::string& text) {
  double v = 0;
  if (!parse_decimal(text, v)) throw FFMpegException(format_msg("'%s' is not a valid floating point value", text));
  return v;
}

// strtod as the C runtime does it in the "C" locale, whatever the process locale is.
double c_strtod(const char* s, char** end) {
  static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return strtod_l(s, end, c_locale);
}

int clamp_long(long v) { return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX)); }

// Integer at the start of the text as atoi reads it (blanks skipped, stops at
// the first character that cannot continue the number); saturates.
long read_leading_integer(const char* p) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < 1000000000L) v = v * 10 + (*p - '0');
    ++p;
  }
  return neg ? -v : v;
}

// Parses 64 comma-separated coefficients into a new av_mallocz block.
uint16_t* parse_matrix(const std::string& text) {
  auto* m = static_cast<uint16_t*>(ff::av_mallocz(64 * sizeof(uint16_t)));
  if (!m) throw FFMpegException("av_mallocz fail");
  const char* p = text.c_str();
  for (int i = 0;; ++i) {
    const long v = read_leading_integer(p);
    // Zero divides in the encoder's quantiser set-up; the bitstream holds 8 bits.
    if (v < 1 || v > 255) {
      ff::av_free(m);
      char buf[1024];
      std::snprintf(buf, sizeof buf, "Invalid value %ld in matrix \"%s\" at coeff %d (1 to 255)", v, text.c_str(), i);
      throw FFMpegException(buf);
    }
    m[i] = static_cast<uint16_t>(v);
    if (i == 63) break;
    p = std::strchr(p, ',');
    if (!p) {
      ff::av_free(m);
      char buf[1024];
      std::snprintf(buf, sizeof buf, "Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i);
      throw FFMpegException(buf);
    }
    ++p;
  }
  return m;
}

void replace_text(char*& field, const std::string& value) {
  ff::av_freep(&field);
  field = ff::av_strdup(value.c_str());
}

std::string executable_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

// ---------------------------------------------------------------- setters

void TCustomFFmpeg::set_format(const std::string& v) {
  if (v.empty()) return;
  std::string name = v;
  if (name == "pgmyuv") {
    name = "image2";
    pgmyuv_compatibility = true;
    log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVInputFormat* in = ff::av_find_input_format(name.c_str());
  const AVOutputFormat* out = ff::av_guess_format(name.c_str(), nullptr, nullptr);
  if (!in && !out) throw FFMpegException(format_msg("Unknown input or output format: %s", name));
  file_iformat = in;
  file_oformat = out;
}

void TCustomFFmpeg::set_input_format(const std::string& v) {
  if (v.empty()) return;
  std::string name = v;
  if (name == "pgmyuv") {
    name = "image2";
    pgmyuv_compatibility = true;
    log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVInputFormat* in = ff::av_find_input_format(name.c_str());
  if (!in) throw FFMpegException(format_msg("Unknown input format: %s", name));
  file_iformat = in;
}

void TCustomFFmpeg::set_output_format(const std::string& v) {
  if (v.empty()) return;
  std::string name = v;
  if (name == "pgmyuv") {
    name = "image2";
    pgmyuv_compatibility = true;
    log(1, "pgmyuv format is deprecated, use image2");
  }
  const AVOutputFormat* out = ff::av_guess_format(name.c_str(), nullptr, nullptr);
  if (!out) throw FFMpegException(format_msg("Unknown output format: %s", name));
  file_oformat = out;
}

void TCustomFFmpeg::set_frame_rate(const std::string& v) {
  if (v.empty()) return;
  AVRational r{0, 0};
  if (ff::av_parse_video_rate(&r, v.c_str()) < 0) throw FFMpegException("Incorrect frame rate");
  frame_rate = r;
}

void TCustomFFmpeg::set_frame_size(const std::string& v) {
  if (v.empty()) return;
  int w = 0, h = 0;
  if (ff::av_parse_video_size(&w, &h, v.c_str()) < 0) throw FFMpegException("Incorrect frame size");
  frame_width = w;
  frame_height = h;
  if ((w % 2) != 0 || (h % 2) != 0) throw FFMpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::set_frame_aspect_ratio(const std::string& v) {
  if (v.empty()) return;
  double ar = 0;
  const size_t colon = v.find(':');
  if (colon != std::string::npos) {
    int32_t a = 0, b = 0;
    if (!parse_integer(v.substr(0, colon), a)) a = 0;
    if (!parse_integer(v.substr(colon + 1), b)) b = 0;
    ar = b > 0 ? static_cast<double>(a) / b : 0;
  } else {
    // Read in the locale the application runs in.
    std::istringstream in(v);
    in.imbue(std::locale());
    double d = 0;
    if (in >> d) {
      in >> std::ws;
      if (in.eof()) ar = d;
    }
  }
  // Negative or non-finite aspects would give an invalid sample aspect later.
  if (!(ar > 0) || !std::isfinite(ar) || static_cast<float>(ar) == 0.0f)
    throw FFMpegException("Incorrect aspect ratio specification.");
  frame_aspect_ratio = static_cast<float>(ar);
}

void TCustomFFmpeg::set_frame_pix_fmt(const std::string& v) {
  if (v == "list") {
    if (!OnLog) return;
    for (int i = -1; i < 40; ++i) {
      char buf[128] = {};
      ff::av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(i));
      log(1, std::string(trim(buf)));
    }
    return;
  }
  frame_pix_fmt = ff::av_get_pix_fmt(v.c_str());
}

static const char kVerticalCrop[] =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
static const char kHorizontalCrop[] =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

namespace {
// Negative: not set. A crop band shrinks the picture it is cut from.
void set_crop(int n, const char* odd_message, const char* range_message, int& band, int& size) {
  if (n < 0) return;
  if (n % 2 != 0) throw FFMpegException(odd_message);
  if (n >= size) throw FFMpegException(range_message);
  band = n;
  size -= n;
}

void set_pad(int n, const char* odd_message, int& pad) {
  if (n < 0) return;
  if (n % 2 != 0) throw FFMpegException(odd_message);
  pad = n;
}
}  // namespace

void TCustomFFmpeg::set_crop_top(int n) {
  set_crop(n, "Top crop size must be a multiple of 2", kVerticalCrop, frame_topband, frame_height);
}

void TCustomFFmpeg::set_crop_bottom(int n) {
  set_crop(n, "Bottom crop size must be a multiple of 2", kVerticalCrop, frame_bottomband, frame_height);
}

void TCustomFFmpeg::set_crop_left(int n) {
  set_crop(n, "Left crop size must be a multiple of 2", kHorizontalCrop, frame_leftband, frame_width);
}

void TCustomFFmpeg::set_crop_right(int n) {
  set_crop(n, "Right crop size must be a multiple of 2", kHorizontalCrop, frame_rightband, frame_width);
}

void TCustomFFmpeg::set_pad_top(int n) { set_pad(n, "Top pad size must be a multiple of 2", frame_padtop); }

void TCustomFFmpeg::set_pad_bottom(int n) { set_pad(n, "Bottom pad size must be a multiple of 2", frame_padbottom); }

void TCustomFFmpeg::set_pad_left(int n) { set_pad(n, "Left pad size must be a multiple of 2", frame_padleft); }

void TCustomFFmpeg::set_pad_right(int n) { set_pad(n, "Right pad size must be a multiple of 2", frame_padright); }

void TCustomFFmpeg::set_pad_color(int32_t rgb) {
  const int r = rgb & 0xff, g = (rgb >> 8) & 0xff, b = (rgb >> 16) & 0xff;
  padcolor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  padcolor[1] = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
  padcolor[2] = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}

void TCustomFFmpeg::set_qscale(double q) {
  if (!(q > 0 && q <= 255)) throw FFMpegException("qscale must be > 0.0 and <= 255");
  video_qscale = static_cast<float>(q);
}

namespace {
// "copy" selects stream copy; a codec name given later takes copy back.
void set_codec(char*& name, bool& copy, const std::string& v) {
  if (v.empty()) return;
  ff::av_freep(&name);
  if (v == "copy") {
    copy = true;
  } else {
    copy = false;
    name = ff::av_strdup(v.c_str());
  }
}

int fourcc(const std::string& v, const char* message) {
  if (v.size() != 4) throw FFMpegException(message);
  const auto* p = reinterpret_cast<const unsigned char*>(v.data());
  return static_cast<int>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}
}  // namespace

void TCustomFFmpeg::set_video_codec(const std::string& v) { set_codec(video_codec_name, video_stream_copy, v); }
void TCustomFFmpeg::set_audio_codec(const std::string& v) { set_codec(audio_codec_name, audio_stream_copy, v); }
void TCustomFFmpeg::set_subtitle_codec(const std::string& v) {
  set_codec(subtitle_codec_name, subtitle_stream_copy, v);
}

void TCustomFFmpeg::set_video_tag(const std::string& v) {
  if (v.empty()) return;
  video_codec_tag = fourcc(v, "video tag parameter must be 4 chars");
}

void TCustomFFmpeg::set_audio_tag(const std::string& v) {
  if (v.empty()) return;
  audio_codec_tag = fourcc(v, "audio tag parameter must be 4 chars");
}

void TCustomFFmpeg::set_audio_sample_rate(int v) {
  if (v > 0) audio_sample_rate = v;
}
void TCustomFFmpeg::set_audio_channels(int v) {
  if (v > 0) audio_channels = v;
}
void TCustomFFmpeg::set_audio_volume(int v) {
  if (v >= 0) audio_volume = v;
}
void TCustomFFmpeg::set_audio_sync_method(int v) { audio_sync_method = v; }
void TCustomFFmpeg::set_video_sync_method(int v) { video_sync_method = v; }
void TCustomFFmpeg::set_mux_preload(double v) {
  if (v > 0) mux_preload = static_cast<float>(v);
}
void TCustomFFmpeg::set_mux_max_delay(double v) {
  if (v > 0) mux_max_delay = static_cast<float>(v);
}

void TCustomFFmpeg::set_title(const std::string& v) {
  if (!v.empty()) meta_title = v;
}
void TCustomFFmpeg::set_author(const std::string& v) {
  if (!v.empty()) meta_author = v;
}
void TCustomFFmpeg::set_copyright(const std::string& v) {
  if (!v.empty()) meta_copyright = v;
}
void TCustomFFmpeg::set_comment(const std::string& v) {
  if (!v.empty()) meta_comment = v;
}
void TCustomFFmpeg::set_genre(const std::string& v) {
  if (!v.empty()) meta_genre = v;
}
void TCustomFFmpeg::set_album(const std::string& v) {
  if (!v.empty()) meta_album = v;
}
void TCustomFFmpeg::set_year(int v) {
  if (v > 0) meta_year = v;
}
void TCustomFFmpeg::set_track(int v) {
  if (v > 0) meta_track = v;
}

void TCustomFFmpeg::set_recording_time_ms(int ms) {
  if (ms <= 0) return;
  recording_time = static_cast<int64_t>(ms) * 1000;
  total_output_duration = ms;
}

void TCustomFFmpeg::set_start_time(int64_t us) {
  if (us > 0) start_time = us;
}
void TCustomFFmpeg::set_program_id(int v) {
  if (v >= 0) opt_programid = v;
}

void TCustomFFmpeg::set_verbose(int level) {
  verbose = level;
  ff::av_log_set_level(klaventa::av_level_from_old(level));
  klaventa::set_log_threshold(level);
}

void TCustomFFmpeg::set_pass(int v) {
  if (v != 1 && v != 2) throw FFMpegException("pass number can be only 1 or 2");
  do_pass = v;
}

void TCustomFFmpeg::set_intra_matrix(const std::string& v) {
  uint16_t* m = parse_matrix(v);
  ff::av_freep(&intra_matrix);
  intra_matrix = m;
}

void TCustomFFmpeg::set_inter_matrix(const std::string& v) {
  uint16_t* m = parse_matrix(v);
  ff::av_freep(&inter_matrix);
  inter_matrix = m;
}

void TCustomFFmpeg::set_vstats(bool on) {
  ff::av_freep(&vstats_filename);
  if (!on) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  char name[4200];
  std::snprintf(name, sizeof name, "%svstats_%s.log", executable_dir().c_str(), stamp);
  vstats_filename = ff::av_strdup(name);
}

void TCustomFFmpeg::set_vstats_file(const std::string& v) { replace_text(vstats_filename, v); }

void TCustomFFmpeg::add_video_hook(const std::string& v) {
  std::string args = v;
  const char* delims = v.find('|') != std::string::npos ? "|" : " ";
  std::vector<std::string> tokens;
  char* save = nullptr;
  for (char* t = strtok_r(args.data(), delims, &save); t && tokens.size() < 254; t = strtok_r(nullptr, delims, &save))
    tokens.emplace_back(t);

  // The plug-in runs with its own folder as the current directory, so a
  // relative path is made absolute first.
  std::string dir;
  if (!tokens.empty()) {
    const size_t slash = tokens[0].rfind('/');
    if (slash != std::string::npos) {
      if (tokens[0][0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) tokens[0] = std::string(cwd) + "/" + tokens[0];
      }
      dir = tokens[0].substr(0, tokens[0].rfind('/') + 1);
    }
  }
  std::vector<char*> argv;
  for (std::string& t : tokens) argv.push_back(t.data());
  argv.push_back(nullptr);

  int saved_cwd = -1;
  if (!dir.empty()) {
    saved_cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (chdir(dir.c_str()) != 0) {
      // The load below reports the problem.
    }
  }
  const int rc = klaventa::add_frame_hook(&frame_hooks, static_cast<int>(tokens.size()), argv.data());
  if (saved_cwd >= 0) {
    if (fchdir(saved_cwd) != 0) {
      // Nothing better to do than to stay where we are.
    }
    close(saved_cwd);
  }
  if (rc != 0) throw FFMpegException("Failed to add video hook function: " + v);
  using_vhook = true;
}

void TCustomFFmpeg::add_stream_map(const std::string& v) {
  if (nb_stream_maps >= MAX_STREAM_MAPS)
    throw FFMpegException("Too many stream maps (at most " + std::to_string(MAX_STREAM_MAPS) + ")");
  StreamMap m;
  char* p = nullptr;
  m.file_index = clamp_long(std::strtol(v.c_str(), &p, 0));
  if (*p) ++p;
  m.stream_index = clamp_long(std::strtol(p, &p, 0));
  if (*p) {
    ++p;
    m.sync_file_index = clamp_long(std::strtol(p, &p, 0));
    if (*p) ++p;
    m.sync_stream_index = clamp_long(std::strtol(p, &p, 0));
  } else {
    m.sync_file_index = m.file_index;
    m.sync_stream_index = m.stream_index;
  }
  stream_maps[nb_stream_maps++] = m;
}

void TCustomFFmpeg::add_meta_data_map(const std::string& v) {
  if (nb_meta_data_maps >= MAX_FILES)
    throw FFMpegException("Too many meta-data maps (at most " + std::to_string(MAX_FILES) + ")");
  MetaDataMap m;
  char* p = nullptr;
  m.out_file = clamp_long(std::strtol(v.c_str(), &p, 0));
  if (*p) ++p;
  m.in_file = clamp_long(std::strtol(p, &p, 0));
  meta_data_maps[nb_meta_data_maps++] = m;
}

void TCustomFFmpeg::set_input_ts_scale(const std::string& v) {
  char* p = nullptr;
  const long stream = std::strtol(v.c_str(), &p, 0);
  if (*p) ++p;
  const double scale = c_strtod(p, &p);
  if (static_cast<unsigned long>(stream) >= static_cast<unsigned long>(MAX_STREAMS)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "stream index over MAX_STREAMS(%d)", MAX_STREAMS);
    throw FFMpegException(buf);
  }
  // The table has no row for a 21st input, which cannot be opened anyway.
  if (nb_input_files >= MAX_FILES)
    throw FFMpegException("Too many input files (at most " + std::to_string(MAX_FILES) + ")");
  if (!std::isfinite(scale)) throw FFMpegException(format_msg("'%s' is not a valid floating point value", v));
  input_ts_scale[nb_input_files][stream] = scale;
}

void TCustomFFmpeg::set_hook_ranges(const std::vector<THookRange>& ranges) {
  hook_ranges = ranges;
  std::sort(hook_ranges.begin(), hook_ranges.end(),
            [](const THookRange& a, const THookRange& b) { return a.end < b.end; });
  hook_range_index = 0;
}

// ---------------------------------------------------------------- dispatcher

namespace {

using OptionFn = void (*)(TCustomFFmpeg&, const std::string& name, const std::string& value);

void do_nothing(TCustomFFmpeg& e, const std::string& name, const std::string&) {
  e.log(1, "Do nothing: option - " + name);
}
void not_supported(TCustomFFmpeg&, const std::string& name, const std::string&) {
  throw FFMpegException("TODO: option - " + name);
}

// Bit rates go to the library; a value that looks like kbit/s gets a warning.
void bit_rate(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
  if (!e.set_library_option(name, value) || !e.OnLog) return;
  AVCodecContext* ctx = e.codec_option_ctx[name[0] == 'a' ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
  int64_t b = 0;
  if (ctx && ff::av_opt_get_int(ctx, "b", 0, &b) >= 0 && b < 1000)
    e.log(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
}

#define OPT_FLAG(field) [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.field = true; }
#define OPT_INT(lhs) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.lhs = to_int(v); }
#define OPT_FLOAT(field) \
  [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.field = static_cast<float>(to_double(v)); }
#define OPT_TEXT(call) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.call(v); }
#define OPT_INT_SETTER(call) [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.call(to_int(v)); }

const std::unordered_map<std::string_view, OptionFn>& option_table() {
  static const std::unordered_map<std::string_view, OptionFn> table = {
      {"L", do_nothing},
      {"h", do_nothing},
      {"version", do_nothing},
      {"formats", do_nothing},
      {"i", do_nothing},
      {"y", do_nothing},
      {"benchmark", do_nothing},
      {"apre", do_nothing},
      {"vpre", do_nothing},
      {"spre", do_nothing},

      {"threads", not_supported},
      {"absf", not_supported},
      {"vbsf", not_supported},
      {"sbsf", not_supported},

      {"dump", OPT_FLAG(do_pkt_dump)},
      {"hex", OPT_FLAG(do_hex_dump)},
      {"re", OPT_FLAG(rate_emu)},
      {"loop_input", OPT_FLAG(loop_input)},
      {"copyts", OPT_FLAG(copy_ts)},
      {"shortest", OPT_FLAG(opt_shortest)},
      {"intra", OPT_FLAG(intra_only)},
      {"vn", OPT_FLAG(video_disable)},
      {"sameq", OPT_FLAG(same_quality)},
      {"deinterlace", OPT_FLAG(do_deinterlace)},
      {"psnr", OPT_FLAG(do_psnr)},
      {"qphist", OPT_FLAG(qp_hist)},
      {"an", OPT_FLAG(audio_disable)},
      {"sn", OPT_FLAG(subtitle_disable)},
      {"isync", OPT_FLAG(input_sync)},

      {"dframes", OPT_INT(max_frames[AVMEDIA_TYPE_DATA])},
      {"vframes", OPT_INT(max_frames[AVMEDIA_TYPE_VIDEO])},
      {"aframes", OPT_INT(max_frames[AVMEDIA_TYPE_AUDIO])},
      {"loop_output", OPT_INT(loop_output)},
      {"vsync", OPT_INT(video_sync_method)},
      {"async", OPT_INT(audio_sync_method)},
      {"vglobal", OPT_INT(video_global_header)},
      {"programid", OPT_INT(opt_programid)},
      {"vdt", OPT_INT(video_discard)},
      {"me_threshold", OPT_INT(me_threshold)},
      {"top", OPT_INT(top_field_first)},
      {"dc", OPT_INT(intra_dc_precision)},
      {"vol", OPT_INT(audio_volume)},
      {"vc", OPT_INT(video_channel)},
      {"fs", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.limit_filesize = to_int64(v); }},

      {"adrift_threshold", OPT_FLOAT(audio_drift_threshold)},
      {"dts_delta_threshold", OPT_FLOAT(dts_delta_threshold)},
      {"aq", OPT_FLOAT(audio_qscale)},
      {"muxdelay", OPT_FLOAT(mux_max_delay)},
      {"muxpreload", OPT_FLOAT(mux_preload)},

      {"passlogfile", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.pass_logfilename = v; }},
      {"alang", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.audio_language = v; }},
      {"slang", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.subtitle_language = v; }},
      {"rc_override",
       [](TCustomFFmpeg& e, const std::string&, const std::string& v) { replace_text(e.video_rc_override, v); }},
      {"tvstd", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { replace_text(e.video_standard, v); }},

      {"f", OPT_TEXT(set_format)},
      {"map", OPT_TEXT(add_stream_map)},
      {"map_meta_data", OPT_TEXT(add_meta_data_map)},
      {"itsscale", OPT_TEXT(set_input_ts_scale)},
      {"title", OPT_TEXT(set_title)},
      {"author", OPT_TEXT(set_author)},
      {"copyright", OPT_TEXT(set_copyright)},
      {"comment", OPT_TEXT(set_comment)},
      {"genre", OPT_TEXT(set_genre)},
      {"album", OPT_TEXT(set_album)},
      {"target", OPT_TEXT(set_target)},
      {"r", OPT_TEXT(set_frame_rate)},
      {"s", OPT_TEXT(set_frame_size)},
      {"aspect", OPT_TEXT(set_frame_aspect_ratio)},
      {"pix_fmt", OPT_TEXT(set_frame_pix_fmt)},
      {"vcodec", OPT_TEXT(set_video_codec)},
      {"acodec", OPT_TEXT(set_audio_codec)},
      {"scodec", OPT_TEXT(set_subtitle_codec)},
      {"vtag", OPT_TEXT(set_video_tag)},
      {"atag", OPT_TEXT(set_audio_tag)},
      {"vstats_file", OPT_TEXT(set_vstats_file)},
      {"vhook", OPT_TEXT(add_video_hook)},
      {"intra_matrix", OPT_TEXT(set_intra_matrix)},
      {"inter_matrix", OPT_TEXT(set_inter_matrix)},

      {"v", OPT_INT_SETTER(set_verbose)},
      {"croptop", OPT_INT_SETTER(set_crop_top)},
      {"cropbottom", OPT_INT_SETTER(set_crop_bottom)},
      {"cropleft", OPT_INT_SETTER(set_crop_left)},
      {"cropright", OPT_INT_SETTER(set_crop_right)},
      {"padtop", OPT_INT_SETTER(set_pad_top)},
      {"padbottom", OPT_INT_SETTER(set_pad_bottom)},
      {"padleft", OPT_INT_SETTER(set_pad_left)},
      {"padright", OPT_INT_SETTER(set_pad_right)},
      {"padcolor", OPT_INT_SETTER(set_pad_color)},
      {"pass", OPT_INT_SETTER(set_pass)},
      {"ar", OPT_INT_SETTER(set_audio_sample_rate)},
      {"ac", OPT_INT_SETTER(set_audio_channels)},
      {"qscale", [](TCustomFFmpeg& e, const std::string&, const std::string& v) { e.set_qscale(to_double(v)); }},
      {"vstats", [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.set_vstats(true); }},

      {"t",
       [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
         const int64_t ms = e.parse_time(n, v, true) / 1000;
         if (ms <= 0) return;
         if (ms <= INT_MAX) {
           e.set_recording_time_ms(static_cast<int>(ms));
         } else {
           // Longer than the millisecond counter holds: keep the full limit.
           e.recording_time = ms * 1000;
           e.total_output_duration = INT_MAX;
         }
       }},
      {"ss", [](TCustomFFmpeg& e, const std::string& n, const std::string& v) { e.start_time = e.parse_time(n, v, true); }},
      {"itsoffset",
       [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
         e.pending_ts_offset = e.parse_time(n, v, true);
       }},
      {"timestamp",
       [](TCustomFFmpeg& e, const std::string& n, const std::string& v) {
         const int64_t us = e.parse_time(n, v, false);
         // Seconds, rounded to the nearest (halves away from zero).
         int64_t s = us / 1000000, rem = us % 1000000;
         if (rem >= 500000) ++s;
         else if (rem <= -500000) --s;
         e.rec_timestamp = s;
       }},

      {"b", bit_rate},
      {"vb", bit_rate},
      {"ab", bit_rate},

      {"newvideo", [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.add_video_stream(); }},
      {"newaudio", [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.add_audio_stream(); }},
      {"newsubtitle", [](TCustomFFmpeg& e, const std::string&, const std::string&) { e.add_subtitle_stream(); }},
  };
  return table;
}

#undef OPT_FLAG
#undef OPT_INT
#undef OPT_FLOAT
#undef OPT_TEXT
#undef OPT_INT_SETTER

}  // namespace

void TCustomFFmpeg::set_option(const std::string& name, const std::string& value) {
  const auto& table = option_table();
  const auto it = table.find(name);
  if (it == table.end()) {
    set_library_option(name, value);
    return;
  }
  it->second(*this, name, value);
}
