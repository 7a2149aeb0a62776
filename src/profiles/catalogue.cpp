// Profile table, offered output-format list and its selection handling.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "profiles/profiles.h"

const TheAVCodec OutputProfiles[kOutputProfileCount] = {
    {"3GP - Mobile Video Format (*.3gp)", "3GP", 0},
    {"3G2 - Mobile Video Format (*.3g2)", "3G2", 1},
    {"345 (*.mp4)", "MP4", 2},
    {"iPod (*.mp4)", "MP4", 3},
    {"iPod Extra (640 x 480) (*.mp4)", "MP4", 4},
    {"iPod Wide Screen (*.mp4)", "MP4", 5},
    {"iPod Video For TV (*.mp4)", "MP4", 6},
    {"Apple TV H264 (320 x 240) (*.mp4)", "MP4", 7},
    {"Apple TV H264 (640 x 480) (*.mp4)", "MP4", 8},
    {"Apple TV H264 (1280 x 720) (*.mp4)", "MP4", 9},
    {"Apple TV (*.mp4)", "MP4", 10},
    {"Apple TV (Normal Quality) (*.mp4)", "MP4", 11},
    {"Apple TV (High Quality) (*.mp4)", "MP4", 12},
    {"iPod Touch (*.mp4)", "MP4", 13},
    {"iPod Touch Extra (640 x 480) (*.mp4)", "MP4", 14},
    {"iPod Touch Wide Screen (*.mp4)", "MP4", 15},
    {"iPod Touchx", "MP4", 16},
    {"iPod Touchy", "MP4", 17},
    {"iPhone (*.mp4)", "MP4", 18},
    {"iPhone Extra (640 x 480) (*.mp4)", "MP4", 19},
    {"iPhone Wide Screen (*.mp4)", "MP4", 20},
    {"iphonexxxx", "MP4", 21},
    {"AVI - Audio Video Interleave (*.avi)", "AVI", 22},
    {"AVI - DivX Video (*.avi)", "AVI", 23},
    {"AVI - XviD Video (*.avi)", "AVI", 24},
    {"AVI - Uncompress (*.avi)", "AVI", 25},
    {"MOV - QuickTime Video (*.mov)", "MOV", 26},
    {"MP4 - MPEG4 Video (*.mp4)", "MP4", 27},
    {"MPEG-1 Movie (*.mpg)", "MPG", 28},
    {"MPEG-2 Movie (*.mpg)", "MPG", 29},
    {"RM - Real Video (*.rm)", "RM", 30},
    {"WMV - Windows Media Video (*.wmv)", "WMV", 31},
    {"SWF - Flash Swf (*.swf)", "SWF", 32},
    {"FLV - Flash Video (*.flv)", "FLV", 33},
    {"Video CD (*.mpg)", "MPG", 34},
    {"Super Video CD (*.mpg)", "MPG", 35},
    {"DVD - VOB (*.vob)", "VOB", 36},
    {"AAC - Advance Audio Coding (*.aac)", "AAC", 37},
    {"ASF - Advance Streaming Format (*.asf)", "ASF", 38},
    {"AU - SUN Audio (*.au)", "AU", 39},
    {"M4A - Mpeg4 Audio File (*.m4a)", "M4A", 40},
    {"MP3 - Mpeg Layer3 Audio (*.mp3)", "MP3", 41},
    {"OGG - Ogg Vorbis Audio (*.ogg)", "OGG", 42},
    {"RA - Real Audio (*.ra)", "RA", 43},
    {"WAV - Waveform Audio (*.wav)", "WAV", 44},
    {"WMA - Windows Media Audio (*.wma)", "WMA", 45},
    {"MP2 - Mpeg Layer2 Audio (*.mp2)", "MP2", 46},
    {"aaaaaa", "MP4", 47},
    {"aaaaaaa", "MP4", 48},
    {"Zune Mpeg4 Video (*.mp4)", "MP4", 49},
    {"Zune WMV Windows Media Video (*.wmv)", "WMV", 50},
    {"Zune Mpeg4 AVC Video (*.mp4)", "MP4", 51},
    {"Zune - Future Version", "MP4", 52},
    {"PSP Video (*.mp4)", "MP4", 53},
    {"PSP Video - Good Quality (*.mp4)", "MP4", 54},
    {"PSP Video - Normal Quality (*.mp4)", "MP4", 55},
    {"PSP Video - Small File Size (*.mp4)", "MP4", 56},
    {"PSP - Future Formats", "MP4", 57},
    {"PS3 Video (*.mp4)", "MP4", 58},
    {"PS3 Video(480P) (*.mp4)", "MP4", 59},
    {"PS3 Video(720P) (*.mp4)", "MP4", 60},
    {"PS3 Video(1080P) (*.mp4)", "MP4", 61},
    {"PS3 - Future Version", "MP4", 62},
    {"Archos AV500/GMini402 (*.avi)", "AVI", 63},
    {"Archos AV700 (*.avi)", "AVI", 64},
    {"Creative Zen Vision (*.avi)", "AVI", 65},
    {"iRiver PMP100 (*.avi)", "AVI", 66},
    {"BlackBerry MPEG-4 Video (*.mp4)", "MP4", 67},
    {"BlackBerry AVI Video (*.avi)", "AVI", 68},
    {"BlackBerry 3GP Video (*.3gp)", "3GP", 69},
    {"BlackBerry AMR Audio", "AMR", 70},
};

const char* const kFormatSeparator = "              -----------------------------------------";

namespace {

const char* const kSeparatorMark = "              ----";

const char* const kOfferedFormats[kOutputFormatEntryCount] = {
    "PSP Video (*.mp4)",
    "PSP Video - Good Quality (*.mp4)",
    "PSP Video - Small File Size (*.mp4)",
    kFormatSeparator,
    "PS3 Video (*.mp4)",
    "PS3 Video(480P) (*.mp4)",
    "PS3 Video(720P) (*.mp4)",
    "PS3 Video(1080P) (*.mp4)",
    kFormatSeparator,
    "3GP - Mobile Video Format (*.3gp)",
    "3G2 - Mobile Video Format (*.3g2)",
    "AVI - Audio Video Interleave (*.avi)",
    "AVI - DivX Video (*.avi)",
    "MOV - QuickTime Video (*.mov)",
    "MP3 - Mpeg Layer3 Audio (*.mp3)",
    "MP4 - MPEG4 Video (*.mp4)",
    "MPEG-1 Movie (*.mpg)",
    "MPEG-2 Movie (*.mpg)",
    "WMV - Windows Media Video (*.wmv)",
    kFormatSeparator,
    "iPod (*.mp4)",
    "iPod Touch (*.mp4)",
    "iPhone (*.mp4)",
    "Zune Mpeg4 Video (*.mp4)",
    "Zune WMV Windows Media Video (*.wmv)",
    kFormatSeparator,
    "Archos AV500/GMini402 (*.avi)",
    "Archos AV700 (*.avi)",
    "BlackBerry MPEG-4 Video (*.mp4)",
    "BlackBerry AVI Video (*.avi)",
    "BlackBerry 3GP Video (*.3gp)",
    "Creative Zen Vision (*.avi)",
    "iRiver PMP100 (*.avi)",
};

constexpr int kSpinMin = 26;
constexpr int kSpinMax = 47;
constexpr int kSpinDefault = 27;

}  // namespace

// ---- SettingList -------------------------------------------------------------

std::string SettingList::text() const {
  if (selected < 0 || selected >= count()) return std::string();
  return entries[selected];
}

void SettingList::fill(const std::vector<std::string>& items) {
  entries = items;
  selected = -1;
}

void SettingList::fill(std::initializer_list<const char*> items) {
  entries.assign(items.begin(), items.end());
  selected = -1;
}

void SettingList::clear() {
  entries.clear();
  selected = -1;
}

int SettingList::index_of(const std::string& item) const {
  auto it = std::find(entries.begin(), entries.end(), item);
  return it == entries.end() ? -1 : static_cast<int>(it - entries.begin());
}

void SettingList::select(const std::string& item) { selected = index_of(item); }

void SettingList::set_index(int index) { selected = (index >= 0 && index < count()) ? index : -1; }

ProfileModel::ProfileModel() {
  ComboAudioChannels.fill({"Stereo", "Mono"});
  ComboAudioChannels.set_index(0);
  ComboAspectRatio.fill({"Original", "4:3 (Standard)", "16:9 (Wide Screen)"});
  ComboAspectRatio.set_index(0);
}

// ---- Catalogue ---------------------------------------------------------------

std::vector<const TheAVCodec*> FindProfile(const std::string& text) {
  std::vector<const TheAVCodec*> rows;
  for (const TheAVCodec& row : OutputProfiles)
    if (text == row.DisplayName) rows.push_back(&row);
  return rows;
}

void FillComboOutputFormat(ProfileModel& m) {
  m.ComboOutputFormat.clear();
  for (const char* entry : kOfferedFormats) m.ComboOutputFormat.entries.emplace_back(entry);
  m.DropDownCount = m.ComboOutputFormat.count();
  m.ComboOutputFormat.set_index(0);
}

int DropDownItemsValue(const ProfileModel& m) {
  if (!m.DropDownItemsText) return kSpinDefault;
  const std::string text = m.DropDownItemsText();
  // Whole text must be a decimal integer (surrounding blanks allowed).
  size_t b = text.find_first_not_of(" \t");
  size_t e = text.find_last_not_of(" \t");
  if (b == std::string::npos) return kSpinMin;
  std::string t = text.substr(b, e - b + 1);
  size_t digits_from = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (digits_from == t.size() || t.size() - digits_from > 10 ||
      t.find_first_not_of("0123456789", digits_from) != std::string::npos)
    return kSpinMin;
  long long v = std::strtoll(t.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long long>(v, kSpinMin, kSpinMax));
}

void OnOutputFormatChange(ProfileModel& m) {
  const std::string text = m.ComboOutputFormat.text();
  if (text.find(kSeparatorMark) != std::string::npos) {
    m.ComboOutputFormat.set_index(m.LastFormatIndex);
    return;
  }
  FillProfileSettings(m);
  const auto rows = FindProfile(text);
  if (!rows.empty()) m.OutputExt = rows.front()->ExtTag;
  if (m.OnOutputColumn) m.OnOutputColumn(m.OutputExt);
  m.DropDownCount = DropDownItemsValue(m);
  m.LastFormatIndex = m.ComboOutputFormat.selected;
}

void OnOutputFormatDropDown(ProfileModel& m) { m.DropDownCount = DropDownItemsValue(m); }
