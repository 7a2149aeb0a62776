// klaventa-cli: command-line arguments, profile and setting choices, output names.
#pragma once

#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "component/converter.h"
#include "profiles/profiles.h"

namespace klaventa::cli {

// A wrong command line; main prints it and exits with 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One of the eight setting lists a command-line option picks an entry of.
struct SettingOption {
  const char* option;  // "--video-codec"
  const char* label;   // "Video Codec"
  SettingList ProfileModel::*list;
};
extern const SettingOption kSettingOptions[8];

struct Options {
  bool help = false;
  bool list_profiles = false;
  bool show_settings = false;
  std::string profile;  // empty: list position 0
  std::vector<std::pair<std::string, std::string>> settings;  // option, value
  std::string aspect;                                         // empty: "Original"
  int volume_percent = 100;
  std::string output_dir;  // empty: the current folder
  bool overwrite = false;
  std::vector<std::string> ext_options;  // name=value
  int jobs = 1;
  bool quiet = false;
  TLogLevel log_level = llError;
  std::vector<std::string> files;
};

// Throws UsageError.
Options parse_arguments(int argc, char** argv);
std::string help_text();

// Offered profiles: (list position, label) in list order.
std::vector<std::pair<int, std::string>> offered_profiles();
// List position of a profile given by exact label, position or a case-insensitive
// text found in exactly one label. Throws UsageError listing the candidates.
int find_profile(const std::string& text);

// Index of the entry `value` picks: exact text, then case-insensitive text, then
// the leading number or word (numbers compared by value; "320x240" also matches
// "320 x 240 (VGA)"). -1 when nothing or more than one entry matches; `ambiguous`
// then receives the entries that matched equally well (empty: none matched).
int match_entry(const std::vector<std::string>& entries, const std::string& value, std::vector<int>* ambiguous);

// The window's model after start-up and choosing the profile at `position`,
// with the setting and aspect choices of `o` selected. Throws UsageError.
void prepare_model(ProfileModel& m, int position, const Options& o);

// Engine volume factor of a slider percentage (0..200 in steps of 20).
int volume_factor(int percent);
// FrameAspectRatio for "Original": from "WxH" (blank: 640x480), four decimals.
std::string aspect_from_video_size(const std::string& cell);

// Output path: folder/base + ext, or base-1 + ext, base-2 + ext ... Existing
// files are skipped unless `overwrite`; names in `reserved` always are.
std::string output_name(const std::string& folder, const std::string& input, const std::string& ext, bool overwrite,
                        const std::set<std::string>& reserved);
// Absolute, normalised form used for the reserved names.
std::string path_key(const std::string& path);

}  // namespace klaventa::cli
