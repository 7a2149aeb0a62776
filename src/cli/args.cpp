#include "cli/args.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

namespace fs = std::filesystem;

namespace klaventa::cli {

const SettingOption kSettingOptions[8] = {
    {"--video-codec", "Video Codec", &ProfileModel::ComboVideoCodec},
    {"--size", "Video Size", &ProfileModel::ComboVideoSize},
    {"--video-bitrate", "Video Bitrate", &ProfileModel::ComboVideoBitrate},
    {"--framerate", "Video Framerate", &ProfileModel::ComboVideoFramerate},
    {"--audio-codec", "Audio Codec", &ProfileModel::ComboAudioCodec},
    {"--audio-bitrate", "Audio Bitrate", &ProfileModel::ComboAudioBitrate},
    {"--sample-rate", "Sampling Rate", &ProfileModel::ComboSamplingRate},
    {"--channels", "Audio Channels", &ProfileModel::ComboAudioChannels},
};

namespace {

constexpr int kVolumeFactors[11] = {1, 50, 100, 150, 200, 256, 300, 350, 400, 450, 600};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Trimmed, inner blank runs as one space.
std::string squeeze(const std::string& s) {
  std::string out;
  bool blank = false;
  for (unsigned char c : s) {
    if (std::isspace(c)) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += static_cast<char>(c);
  }
  return out;
}

std::string without_blanks(const std::string& s) {
  std::string out;
  for (unsigned char c : s)
    if (!std::isspace(c)) out += static_cast<char>(c);
  return out;
}

std::string leading_token(const std::string& s) {
  const std::string t = squeeze(s);
  return t.substr(0, t.find(' '));
}

bool parse_number(const std::string& s, double& v) {
  if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.')) return false;
  char* end = nullptr;
  v = std::strtod(s.c_str(), &end);
  return end && *end == '\0' && std::isfinite(v);
}

bool parse_int(const std::string& s, int& v) {
  if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  v = std::atoi(s.c_str());
  return true;
}

bool tokens_match(const std::string& entry, const std::string& value) {
  const std::string token = lower(leading_token(entry));
  const std::string want = lower(squeeze(value));
  if (token.empty() || want.empty()) return false;
  double a = 0, b = 0;
  if (parse_number(token, a) && parse_number(want, b)) return a == b;
  if (token == want) return true;
  // "320x240" for "320 x 240 (VGA)"
  const std::string head = entry.substr(0, entry.find('('));
  return lower(without_blanks(head)) == lower(without_blanks(value));
}

std::string offered_list_text(const std::vector<std::pair<int, std::string>>& rows) {
  std::string text;
  for (const auto& [pos, label] : rows) text += "  " + std::to_string(pos) + "\t" + label + "\n";
  return text;
}

std::string entries_text(const std::vector<std::string>& entries, const std::vector<int>& only) {
  std::string text;
  if (only.empty()) {
    for (const std::string& e : entries) text += "  " + e + "\n";
  } else {
    for (int i : only) text += "  " + entries[static_cast<size_t>(i)] + "\n";
  }
  return text;
}

const SettingOption* setting_option(const std::string& name) {
  for (const SettingOption& s : kSettingOptions)
    if (name == s.option) return &s;
  return nullptr;
}

TLogLevel log_level_of(const std::string& text) {
  const std::string t = lower(text);
  if (t == "quiet") return llQuiet;
  if (t == "error") return llError;
  if (t == "info") return llInfo;
  if (t == "debug") return llDebug;
  if (t == "all") return llAll;
  throw UsageError("--log-level: \"" + text + "\" is not one of quiet, error, info, debug, all");
}

const std::vector<std::string>& aspect_entries() {
  static const std::vector<std::string> entries = ProfileModel().ComboAspectRatio.entries;
  return entries;
}

}  // namespace

std::string help_text() {
  return R"(Usage:
  klaventa-cli --list-profiles
  klaventa-cli [-p PROFILE] [setting options] --show-settings
  klaventa-cli [-p PROFILE] [options] FILE...

Converts each FILE with an output profile, as the Klaventa window does.

Profile and settings:
  -p, --profile PROFILE   an offered profile: its exact label, its list position
                          (see --list-profiles) or a text found in exactly one
                          label, case ignored (default: list position 0)
      --list-profiles     print the offered profiles: position, tab, label
      --show-settings     print the profile's setting lists, the chosen entry
                          marked with "*"
      --video-codec ENTRY, --size ENTRY, --video-bitrate ENTRY,
      --framerate ENTRY, --audio-codec ENTRY, --audio-bitrate ENTRY,
      --sample-rate ENTRY, --channels ENTRY
                          choose an entry of the profile's list: the entry
                          itself, or its leading number or word, case ignored
                          (e.g. --video-bitrate 1500, --video-codec h264,
                          --size 320x240)
      --aspect A          Original, 4:3 or 16:9 (default: Original)
      --volume PERCENT    0 to 200 in steps of 20 (default: 100)

Output:
  -o, --output-dir DIR    folder for the outputs (default: the current folder)
      --overwrite         replace existing outputs (default: clip.mp4 exists,
                          so clip-1.mp4, clip-2.mp4, ...)
      --option NAME=VALUE extra engine option for every output (repeatable)

Running:
  -j, --jobs N            convert N files at once (default: 1)
  -q, --quiet             no progress, no summary, no library messages;
                          failures still go to standard error
      --log-level LEVEL   quiet, error, info, debug or all (default: error);
                          messages go to standard error
  -h, --help              this text

Ctrl-C stops every conversion (outputs are closed); a second Ctrl-C exits at once.
Exit status: 0 every file "Done", 1 a file failed or was aborted, 2 usage error,
130 interrupted.
)";
}

Options parse_arguments(int argc, char** argv) {
  Options o;
  bool only_files = false;
  bool profile_seen = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_files || arg.empty() || arg == "-" || arg[0] != '-') {
      o.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    std::string name = arg, value;
    bool has_value = false;
    if (arg.rfind("--", 0) == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
      }
    } else if (arg.size() > 2) {  // -j2, -pMP4
      name = arg.substr(0, 2);
      value = arg.substr(2);
      has_value = true;
    }
    auto take_value = [&]() -> std::string {
      if (has_value) return value;
      if (i + 1 >= argc) throw UsageError(name + " needs a value");
      return argv[++i];
    };
    auto no_value = [&] {
      if (has_value) throw UsageError(name + " takes no value");
    };

    if (name == "-h" || name == "--help") {
      no_value();
      o.help = true;
    } else if (name == "--list-profiles") {
      no_value();
      o.list_profiles = true;
    } else if (name == "--show-settings") {
      no_value();
      o.show_settings = true;
    } else if (name == "--overwrite") {
      no_value();
      o.overwrite = true;
    } else if (name == "-q" || name == "--quiet") {
      no_value();
      o.quiet = true;
    } else if (name == "-p" || name == "--profile") {
      o.profile = take_value();
      profile_seen = true;
    } else if (const SettingOption* s = setting_option(name)) {
      o.settings.emplace_back(s->option, take_value());
    } else if (name == "--aspect") {
      o.aspect = take_value();
      std::vector<int> candidates;
      if (match_entry(aspect_entries(), o.aspect, &candidates) < 0)
        throw UsageError("--aspect: \"" + o.aspect + "\" is not one of Original, 4:3, 16:9");
    } else if (name == "--volume") {
      const std::string v = take_value();
      std::string digits = v;
      if (!digits.empty() && digits.back() == '%') digits.pop_back();
      int percent = -1;
      if (!parse_int(digits, percent) || percent > 200 || percent % 20 != 0)
        throw UsageError("--volume: \"" + v + "\" is not a percentage from 0 to 200 in steps of 20");
      o.volume_percent = percent;
    } else if (name == "-o" || name == "--output-dir") {
      o.output_dir = take_value();
      if (o.output_dir.empty()) throw UsageError("--output-dir: empty folder name");
    } else if (name == "--option") {
      const std::string v = take_value();
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || v.find_first_of("\r\n") != std::string::npos)
        throw UsageError("--option: \"" + v + "\" is not NAME=VALUE");
      o.ext_options.push_back(v);
    } else if (name == "-j" || name == "--jobs") {
      const std::string v = take_value();
      if (!parse_int(v, o.jobs) || o.jobs < 1 || o.jobs > 64)
        throw UsageError("--jobs: \"" + v + "\" is not a number from 1 to 64");
    } else if (name == "--log-level") {
      o.log_level = log_level_of(take_value());
    } else {
      throw UsageError("unknown option " + name);
    }
  }
  if (profile_seen && o.profile.empty()) throw UsageError("--profile: empty profile name");
  if (o.help || o.list_profiles) return o;
  if (!o.show_settings && o.files.empty()) throw UsageError("no input files");
  if (!o.show_settings && !o.output_dir.empty()) {
    std::error_code ec;
    if (!fs::is_directory(o.output_dir, ec))
      throw UsageError("--output-dir: \"" + o.output_dir + "\" is not an existing folder");
  }
  return o;
}

std::vector<std::pair<int, std::string>> offered_profiles() {
  ProfileModel m;
  FillComboOutputFormat(m);
  std::vector<std::pair<int, std::string>> rows;
  for (int i = 0; i < m.ComboOutputFormat.count(); ++i) {
    const std::string& label = m.ComboOutputFormat.entries[static_cast<size_t>(i)];
    if (!FindProfile(label).empty()) rows.emplace_back(i, label);
  }
  return rows;
}

int find_profile(const std::string& text) {
  const auto offered = offered_profiles();
  for (const auto& [pos, label] : offered)
    if (label == text) return pos;

  int position = -1;
  if (parse_int(text, position)) {
    for (const auto& [pos, label] : offered)
      if (pos == position) return pos;
    throw UsageError("no profile at list position " + text + "; the offered profiles:\n" +
                     offered_list_text(offered));
  }

  const std::string want = lower(text);
  std::vector<std::pair<int, std::string>> found;
  for (const auto& row : offered) {
    const std::string label = lower(row.second);
    if (label == want) return row.first;
    if (label.find(want) != std::string::npos) found.push_back(row);
  }
  if (found.size() == 1) return found.front().first;
  if (found.empty())
    throw UsageError("no profile matches \"" + text + "\"; the offered profiles:\n" + offered_list_text(offered));
  throw UsageError("\"" + text + "\" matches more than one profile:\n" + offered_list_text(found));
}

int match_entry(const std::vector<std::string>& entries, const std::string& value, std::vector<int>* ambiguous) {
  if (ambiguous) ambiguous->clear();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i] == value) return static_cast<int>(i);

  const std::string want = lower(squeeze(value));
  const std::function<bool(const std::string&)> levels[] = {
      [&](const std::string& e) { return lower(squeeze(e)) == want; },
      [&](const std::string& e) { return tokens_match(e, value); },
  };
  for (const auto& matches : levels) {
    std::vector<int> found;
    for (size_t i = 0; i < entries.size(); ++i)
      if (matches(entries[i])) found.push_back(static_cast<int>(i));
    if (found.size() == 1) return found.front();
    if (found.size() > 1) {
      if (ambiguous) *ambiguous = found;
      return -1;
    }
  }
  return -1;
}

void prepare_model(ProfileModel& m, int position, const Options& o) {
  // As the window starts: list position 0 on first show, then the user's choice.
  FillComboOutputFormat(m);
  m.DropDownCount = 25;
  OnOutputFormatChange(m);
  if (position != m.ComboOutputFormat.selected) {
    m.ComboOutputFormat.set_index(position);
    OnOutputFormatChange(m);
  }
  const std::string profile = m.ComboOutputFormat.text();

  for (const auto& [option, value] : o.settings) {
    const SettingOption* s = setting_option(option);
    SettingList& list = m.*(s->list);
    const std::string what = lower(s->label);
    if (list.entries.empty())
      throw UsageError(option + ": \"" + profile + "\" has no " + what + " entries");
    std::vector<int> ambiguous;
    const int index = match_entry(list.entries, value, &ambiguous);
    if (index >= 0) {
      list.set_index(index);
      continue;
    }
    if (!ambiguous.empty())
      throw UsageError(option + ": \"" + value + "\" matches more than one " + what + " entry of \"" + profile +
                       "\":\n" + entries_text(list.entries, ambiguous));
    throw UsageError(option + ": \"" + value + "\" is not offered by \"" + profile + "\"; its " + what +
                     " entries:\n" + entries_text(list.entries, {}));
  }

  if (!o.aspect.empty()) {
    const int index = match_entry(m.ComboAspectRatio.entries, o.aspect, nullptr);
    if (index < 0) throw UsageError("--aspect: \"" + o.aspect + "\" is not one of Original, 4:3, 16:9");
    m.ComboAspectRatio.set_index(index);
  }
}

int volume_factor(int percent) {
  const int pos = std::clamp(percent / 20, 0, 10);
  return kVolumeFactors[pos];
}

std::string aspect_from_video_size(const std::string& cell) {
  std::string size = squeeze(cell);
  if (size.empty()) size = "640x480";
  const size_t x = size.find('x');
  double w = 0, h = 0;
  if (x == std::string::npos || !parse_number(squeeze(size.substr(0, x)), w) ||
      !parse_number(squeeze(size.substr(x + 1)), h) || !(w > 0) || !(h > 0) || !std::isfinite(w / h))
    return "1.3333";
  const double ratio = std::nearbyint(w / h * 10000.0) / 10000.0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", ratio);
  std::string text = buf;
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string path_key(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  if (ec) p = path;
  fs::path c = fs::weakly_canonical(p, ec);
  return (ec ? p.lexically_normal() : c).string();
}

std::string output_name(const std::string& folder, const std::string& input, const std::string& ext, bool overwrite,
                        const std::set<std::string>& reserved) {
  const std::string name = fs::path(input).filename().string();
  const size_t dot = name.rfind('.');
  const std::string base = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
  const fs::path dir = folder.empty() ? fs::path(".") : fs::path(folder);
  for (int n = 0;; ++n) {
    const std::string candidate = (dir / (base + (n ? "-" + std::to_string(n) : std::string()) + ext)).string();
    if (reserved.count(path_key(candidate))) continue;
    std::error_code ec;
    if (!overwrite && fs::exists(fs::symlink_status(candidate, ec))) continue;
    return candidate;
  }
}

}  // namespace klaventa::cli
