// Output profiles: the constant profile table, the setting lists as plain data,
// the routines that fill them for a profile and the routines that turn the
// selected entries into a task's output options. No Qt: the window binds its
// combo boxes to a ProfileModel, the command line uses the same model.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "component/options.h"

// One row of the profile table.
struct TheAVCodec {
  const char* DisplayName;  // compared byte for byte with the output-format list text
  const char* ExtTag;       // upper-case extension tag of the output container
  int32_t ProfileID;        // equals the row index
};

constexpr int kOutputProfileCount = 71;
extern const TheAVCodec OutputProfiles[kOutputProfileCount];

// Divider line of the output-format list (14 spaces, 41 hyphens).
extern const char* const kFormatSeparator;
constexpr int kOutputFormatEntryCount = 33;

// A drop-down list without edit field: entries and the selected index.
struct SettingList {
  std::vector<std::string> entries;
  int selected = -1;

  // The selected entry; empty when nothing is selected.
  std::string text() const;
  // Replaces the entries and leaves nothing selected.
  void fill(const std::vector<std::string>& items);
  void fill(std::initializer_list<const char*> items);
  void clear();
  // Selects the first entry equal to `item`; nothing when there is none.
  void select(const std::string& item);
  // Sets the item index; an index outside the entries leaves nothing selected.
  void set_index(int index);
  int index_of(const std::string& item) const;
  int count() const { return static_cast<int>(entries.size()); }
};

// Raised when a selected entry cannot be turned into a number of the record.
class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The main window's profile state: the output-format list, the setting lists
// and the hooks the window provides.
struct ProfileModel {
  SettingList ComboOutputFormat;
  SettingList ComboVideoCodec;
  SettingList ComboVideoSize;
  SettingList ComboVideoBitrate;
  SettingList ComboVideoFramerate;
  SettingList ComboAudioCodec;
  SettingList ComboAudioBitrate;
  SettingList ComboSamplingRate;
  SettingList ComboAudioChannels;  // "Stereo", "Mono"
  SettingList ComboAspectRatio;    // "Original", "4:3 (Standard)", "16:9 (Wide Screen)"

  std::string OutputExt;     // tag of the current profile; empty until one is chosen
  int LastFormatIndex = 0;   // list position after the last non-separator change
  int DropDownCount = 8;     // rows shown by the output-format drop-down

  // Writes the tag into the "Output" column of every file-list row.
  std::function<void(const std::string& ext)> OnOutputColumn;
  // Text of the " Drop Down Items in Output Format List" spin field.
  std::function<std::string()> DropDownItemsText;

  ProfileModel();
};

// ---- Catalogue -------------------------------------------------------------

// Rows whose DisplayName equals `text` exactly, in row order.
std::vector<const TheAVCodec*> FindProfile(const std::string& text);
void FillComboOutputFormat(ProfileModel& m);
void OnOutputFormatChange(ProfileModel& m);
void OnOutputFormatDropDown(ProfileModel& m);
// Spin field value: 26..47, 27 without a provider, 26 for a text that is not a number.
int DropDownItemsValue(const ProfileModel& m);

// ---- Setting choices -------------------------------------------------------

void FillProfileSettings(ProfileModel& m);
void FillGeneralLists(ProfileModel& m);
void FillPSPSettings(ProfileModel& m, const std::string& quality);
void FillPS3Settings480P(ProfileModel& m);
void FillPS3Settings720P(ProfileModel& m);
void FillPS3Settings1080P(ProfileModel& m);
void FillMobileSettings(ProfileModel& m);
void FillAVISettings(ProfileModel& m, const std::string& kind);
void FillMOVSettings(ProfileModel& m);
void FillMP4Settings(ProfileModel& m);
void FillMPEGSettings(ProfileModel& m, const std::string& kind);
void FillWMVSettings(ProfileModel& m);
void FillMPEGAudioSettings(ProfileModel& m, const std::string& codec);
void FilliPodSettings(ProfileModel& m, const std::string& kind);
void FilliPodTouchSettings(ProfileModel& m, const std::string& kind);
void FilliPhoneSettings(ProfileModel& m, const std::string& size_text);
void FillZuneMPEG4Settings(ProfileModel& m);
void FillZuneWMVSettings(ProfileModel& m);
void FillZuneAVCSettings(ProfileModel& m);
void FillArchosAV500Settings(ProfileModel& m);
void FillArchosAV700Settings(ProfileModel& m);
void FillZenSettings(ProfileModel& m);
void FilliRiverSettings(ProfileModel& m);
void FillBlackBerryMPEG4Settings(ProfileModel& m);
void FillBlackBerryAVISettings(ProfileModel& m);
void FillBlackBerry3GPSettings(ProfileModel& m);
void FillBlackBerryAMRSettings(ProfileModel& m);
void FillAppleTVSettings(ProfileModel& m, const std::string& quality);
void FillAppleTVH264Settings(ProfileModel& m, const std::string& size_text);
void FillRMSettings(ProfileModel& m);
void FillRASettings(ProfileModel& m);
void FillFlashSettings(ProfileModel& m);
void FillVCDSettings(ProfileModel& m);
void FillSVCDSettings(ProfileModel& m);
void FillDVDSettings(ProfileModel& m);
void FillAACSettings(ProfileModel& m);
void FillASFSettings(ProfileModel& m);
void FillAUSettings(ProfileModel& m);
void FillM4ASettings(ProfileModel& m);
void FillOGGSettings(ProfileModel& m);
void FillWAVSettings(ProfileModel& m);
void FillWMASettings(ProfileModel& m);

// ---- Applying a profile ----------------------------------------------------

// Runs the application routine of every row named by the output-format list's
// text. Throws ProfileError when a bit rate or sampling rate is not a number.
void ApplyProfile(const ProfileModel& m, TOutputOptions& record, int file_index);
void ApplyGeneralSettings(const ProfileModel& m, TOutputOptions& record, int file_index);
void ApplyAppleSettings(const ProfileModel& m, TOutputOptions& record, int file_index);
void ApplyMobileSettings(const ProfileModel& m, TOutputOptions& record, int file_index);

// "320 x 240 (VGA)" -> "320x240"; "Original Video Size" -> "original".
std::string GetFrameSizeText(const std::string& size_text, int file_index);
// Frame-rate entry -> FrameRate text ("29.97 fps" -> "30000/1001"); empty for
// "Auto", an empty text or an entry without a rate.
std::string GetFrameRateText(const std::string& rate_text);
// True for the size entries that keep the input's size.
bool IsInputSizeEntry(const std::string& size_text);
// Part of an entry before its first space; empty when there is no space.
std::string EntryNumber(const std::string& text);
// Engine encoder names for the list entries.
std::string MapVideoCodec(const std::string& entry, bool all_rows);
std::string MapAudioCodec(const std::string& entry);
