// Application routines: turn the selected entries into a task's output options.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>

#include "profiles/profiles.h"

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool all_digits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Decimal digits only; `entry` and `what` only make the failure message.
int to_int(const std::string& digits, const char* what, const std::string& entry) {
  if (!all_digits(digits)) {
    if (entry.empty()) throw ProfileError(std::string("No ") + what + " selected");
    throw ProfileError(std::string("The ") + what + " \"" + entry + "\" is not a whole number");
  }
  const size_t first = std::min(digits.find_first_not_of('0'), digits.size());
  const std::string significant = digits.substr(first);
  if (significant.size() > 10 || (significant.size() == 10 && significant > "2147483647"))
    throw ProfileError(std::string("The ") + what + " \"" + entry + "\" is too large");
  return significant.empty() ? 0 : std::stoi(significant);
}

struct CodecRow {
  const char* entry;
  const char* codec;
};

const CodecRow kVideoCodecs[] = {
    {"h264", "libx264"},
    {"xvid", "libxvid"},
    {"wmv2x", "wmv2"},
    {"mpeg4_qt", "mpeg4"},
};

const CodecRow kAudioCodecs[] = {
    {"aac", "libfaac"},       {"ac3", "ac3"},         {"flac", "flac"},
    {"asf", "mp3"},           {"mp3", "libmp3lame"},  {"m4a", "mpeg4aac"},
    {"mpeg4aac", "libfaac"},  {"ra", "ac3"},          {"wma7x", "wmav2"},
    {"wav", "pcm_s16le"},     {"mpeg4aac_qt", "libfaac"}, {"amr_nb", "libamr_nb"},
};

// The four texts every routine reads, cut to their numbers.
struct Selection {
  std::string video_bitrate_entry, audio_bitrate_entry, sample_rate_entry, size_entry;
  std::string video_bitrate, audio_bitrate, sample_rate;

  explicit Selection(const ProfileModel& m)
      : video_bitrate_entry(m.ComboVideoBitrate.text()),
        audio_bitrate_entry(m.ComboAudioBitrate.text()),
        sample_rate_entry(m.ComboSamplingRate.text()),
        size_entry(m.ComboVideoSize.text()),
        video_bitrate(EntryNumber(video_bitrate_entry)),
        audio_bitrate(EntryNumber(audio_bitrate_entry)),
        sample_rate(EntryNumber(sample_rate_entry)) {}
};

void apply_size_and_rate(const ProfileModel& m, const Selection& sel, TOutputOptions& record,
                         int file_index) {
  if (!IsInputSizeEntry(sel.size_entry)) record.FrameSize = GetFrameSizeText(sel.size_entry, file_index);
  const std::string rate = GetFrameRateText(m.ComboVideoFramerate.text());
  if (!rate.empty()) record.FrameRate = rate;
}

void apply_numbers(const Selection& sel, const std::string& audio_digits, TOutputOptions& record) {
  // "000" makes an empty video bit rate 0, as for audio-only profiles.
  record.VideoBitrate = to_int(sel.video_bitrate + "000", "video bit rate", sel.video_bitrate_entry);
  record.AudioBitrate = to_int(audio_digits, "audio bit rate", sel.audio_bitrate_entry);
  record.AudioSampleRate = to_int(sel.sample_rate, "sampling rate", sel.sample_rate_entry);
}

bool is_audio_only_tag(const std::string& ext) {
  static const char* const kTags[] = {"aac", "ac3", "au", "mp2", "mp3", "wav",
                                      "wma", "ra",  "m4a", "asf", "amr"};
  const std::string tag = lower(ext);
  return std::any_of(std::begin(kTags), std::end(kTags), [&](const char* t) { return tag == t; });
}

}  // namespace

std::string EntryNumber(const std::string& text) {
  const size_t space = text.find(' ');
  return space == std::string::npos ? std::string() : text.substr(0, space);
}

std::string MapVideoCodec(const std::string& entry, bool all_rows) {
  const std::string name = lower(entry);
  if (name == "mpeg4") return name;
  const size_t rows = all_rows ? std::size(kVideoCodecs) : 2;
  for (size_t i = 0; i < rows; ++i)
    if (name == kVideoCodecs[i].entry) return kVideoCodecs[i].codec;
  return name;
}

std::string MapAudioCodec(const std::string& entry) {
  const std::string name = lower(entry);
  for (const CodecRow& row : kAudioCodecs)
    if (name == row.entry) return row.codec;
  return name;
}

std::string GetFrameSizeText(const std::string& size_text, int /*file_index*/) {
  std::string s = size_text;
  const size_t paren = s.find('(');
  if (paren != std::string::npos) s.erase(paren);
  if (s == "Original Video Size") return "original";
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s;
}

bool IsInputSizeEntry(const std::string& size_text) {
  return size_text == "Original Video Size" || size_text == "Auto";
}

std::string GetFrameRateText(const std::string& rate_text) {
  std::string number = EntryNumber(rate_text);
  if (number.empty()) number = rate_text;
  if (number.empty() || number == "Auto") return std::string();
  const size_t dot = number.find('.');
  const std::string whole = number.substr(0, dot);
  const std::string frac = dot == std::string::npos ? std::string() : number.substr(dot + 1);
  if ((whole.empty() && frac.empty()) || (!whole.empty() && !all_digits(whole)) ||
      (!frac.empty() && !all_digits(frac)) || whole.size() > 6 || frac.size() > 6)
    return std::string();
  const int64_t w = whole.empty() ? 0 : std::stoll(whole);
  if (frac.find_first_not_of('0') == std::string::npos) return w > 0 ? std::to_string(w) : std::string();
  const int64_t f = std::stoll(frac);
  int64_t den = 1;
  for (size_t i = 0; i < frac.size(); ++i) den *= 10;
  const double value = static_cast<double>(w) + static_cast<double>(f) / static_cast<double>(den);
  // NTSC-style rates (29.97, 23.976, 14.985, 59.94 ...) are N*1000/1001.
  const double n = std::round(value * 1.001);
  if (n >= 1 && std::fabs(n * 1000.0 / 1001.0 - value) < 0.005)
    return std::to_string(static_cast<int64_t>(n) * 1000) + "/1001";
  int64_t num = w * den + f;
  const int64_t g = std::gcd(num, den);
  num /= g;
  den /= g;
  return std::to_string(num) + "/" + std::to_string(den);
}

void ApplyGeneralSettings(const ProfileModel& m, TOutputOptions& record, int file_index) {
  const Selection sel(m);
  record.VideoCodec = MapVideoCodec(m.ComboVideoCodec.text(), true);
  record.AudioCodec = MapAudioCodec(m.ComboAudioCodec.text());
  apply_size_and_rate(m, sel, record, file_index);
  record.AudioChannels = m.ComboAudioChannels.text() == "Stereo" ? 2 : 1;
  if (m.OutputExt == "3GP" || m.OutputExt == "3G2") record.AudioChannels = 1;
  if (is_audio_only_tag(m.OutputExt)) record.DisableVideo = true;
  const bool kbps = sel.audio_bitrate_entry.find("Kbps") != std::string::npos;
  apply_numbers(sel, kbps ? sel.audio_bitrate + "000" : sel.audio_bitrate, record);
}

void ApplyAppleSettings(const ProfileModel& m, TOutputOptions& record, int file_index) {
  const Selection sel(m);
  record.VideoCodec = MapVideoCodec(m.ComboVideoCodec.text(), false);
  record.AudioCodec = "libfaac";
  apply_size_and_rate(m, sel, record, file_index);
  apply_numbers(sel, sel.audio_bitrate + "000", record);
}

void ApplyMobileSettings(const ProfileModel& m, TOutputOptions& record, int file_index) {
  const Selection sel(m);
  record.VideoCodec = MapVideoCodec(m.ComboVideoCodec.text(), false);
  record.AudioCodec = "libamr_nb";
  apply_size_and_rate(m, sel, record, file_index);
  apply_numbers(sel, sel.audio_bitrate, record);
  record.AudioChannels = 1;
}

void ApplyProfile(const ProfileModel& m, TOutputOptions& record, int file_index) {
  for (const TheAVCodec* row : FindProfile(m.ComboOutputFormat.text())) {
    const int id = row->ProfileID;
    if (id == 0 || id == 1)
      ApplyMobileSettings(m, record, file_index);
    else if (id >= 3 && id <= 15)  // iPod, Apple TV and iPod Touch rows
      ApplyAppleSettings(m, record, file_index);
    else if ((id >= 18 && id <= 20) || (id >= 22 && id <= 46) || (id >= 49 && id <= 51) ||
             (id >= 53 && id <= 56) || (id >= 58 && id <= 61) || (id >= 63 && id <= 70))
      ApplyGeneralSettings(m, record, file_index);
  }
}
