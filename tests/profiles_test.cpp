// Profile catalogue, setting lists and applying a profile to an output record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profiles/profiles.h"

namespace {

using Strings = std::vector<std::string>;

// A model as the window has it after start-up and first show.
ProfileModel started_model() {
  ProfileModel m;
  FillComboOutputFormat(m);
  m.DropDownCount = 25;
  OnOutputFormatChange(m);
  return m;
}

void choose(ProfileModel& m, const std::string& label) {
  const int pos = m.ComboOutputFormat.index_of(label);
  ASSERT_GE(pos, 0) << label;
  m.ComboOutputFormat.set_index(pos);
  OnOutputFormatChange(m);
}

// Rows that the offered list does not name: the list shows only that label.
void choose_unoffered(ProfileModel& m, const std::string& label) {
  m.ComboOutputFormat.fill(Strings{label});
  m.ComboOutputFormat.set_index(0);
  OnOutputFormatChange(m);
}

void pick(SettingList& list, const std::string& entry) {
  list.select(entry);
  ASSERT_EQ(list.text(), entry);
}

TOutputOptions applied(const ProfileModel& m) {
  TOutputOptions r;
  ApplyProfile(m, r, 0);
  return r;
}

// Everything a setting routine may change, to compare whole model states.
struct ListsState {
  std::vector<SettingList> lists;
  std::string ext;
  bool operator==(const ListsState& o) const {
    if (ext != o.ext || lists.size() != o.lists.size()) return false;
    for (size_t i = 0; i < lists.size(); ++i)
      if (lists[i].entries != o.lists[i].entries || lists[i].selected != o.lists[i].selected) return false;
    return true;
  }
};

ListsState state_of(const ProfileModel& m) {
  return {{m.ComboVideoCodec, m.ComboVideoSize, m.ComboVideoBitrate, m.ComboVideoFramerate,
           m.ComboAudioCodec, m.ComboAudioBitrate, m.ComboSamplingRate, m.ComboAudioChannels,
           m.ComboAspectRatio},
          m.OutputExt};
}

}  // namespace

// ---- Catalogue -----------------------------------------------------------------

TEST(ProfileCatalogue, RowsCarryTheirIdsAndPlaceholdersHaveNoRoutines) {
  for (int i = 0; i < kOutputProfileCount; ++i) EXPECT_EQ(OutputProfiles[i].ProfileID, i);
  EXPECT_STREQ(OutputProfiles[0].DisplayName, "3GP - Mobile Video Format (*.3gp)");
  EXPECT_STREQ(OutputProfiles[70].DisplayName, "BlackBerry AMR Audio");
  EXPECT_STREQ(OutputProfiles[70].ExtTag, "AMR");
  EXPECT_STREQ(OutputProfiles[36].ExtTag, "VOB");

  // Placeholder rows change neither the lists nor a record.
  for (int id : {2, 16, 17, 21, 47, 48, 52, 57, 62}) {
    ProfileModel m = started_model();
    const ListsState before = state_of(m);
    choose_unoffered(m, OutputProfiles[id].DisplayName);
    ListsState after = state_of(m);
    EXPECT_EQ(after.ext, "MP4") << id;
    after.ext = before.ext;
    EXPECT_TRUE(after == before) << id;
    const TOutputOptions r = applied(m);
    EXPECT_EQ(r.VideoCodec, "") << id;
    EXPECT_EQ(r.AudioSampleRate, -1) << id;
  }
}

TEST(ProfileCatalogue, OfferedListMatchesTableRows) {
  ProfileModel m;
  FillComboOutputFormat(m);
  ASSERT_EQ(m.ComboOutputFormat.count(), 33);
  EXPECT_EQ(m.ComboOutputFormat.selected, 0);
  EXPECT_EQ(m.DropDownCount, 33);
  EXPECT_EQ(std::string(kFormatSeparator), std::string(14, ' ') + std::string(41, '-'));

  // (list position, profile id) from the table's List column.
  const std::vector<std::pair<int, int>> offered = {
      {0, 53},  {1, 54},  {2, 56},  {4, 58},  {5, 59},  {6, 60},  {7, 61},  {9, 0},
      {10, 1},  {11, 22}, {12, 23}, {13, 26}, {14, 41}, {15, 27}, {16, 28}, {17, 29},
      {18, 31}, {20, 3},  {21, 13}, {22, 18}, {23, 49}, {24, 50}, {26, 63}, {27, 64},
      {28, 67}, {29, 68}, {30, 69}, {31, 65}, {32, 66}};
  ASSERT_EQ(offered.size(), 29u);
  for (auto [pos, id] : offered) {
    EXPECT_EQ(m.ComboOutputFormat.entries[pos], OutputProfiles[id].DisplayName) << pos;
    const auto rows = FindProfile(m.ComboOutputFormat.entries[pos]);
    ASSERT_EQ(rows.size(), 1u) << pos;
    EXPECT_EQ(rows[0]->ProfileID, id);
  }
  for (int pos : {3, 8, 19, 25}) {
    EXPECT_EQ(m.ComboOutputFormat.entries[pos], kFormatSeparator);
    EXPECT_TRUE(FindProfile(m.ComboOutputFormat.entries[pos]).empty());
  }
  EXPECT_TRUE(FindProfile("psp video (*.mp4)").empty());  // case-sensitive
  EXPECT_TRUE(FindProfile("").empty());
}

TEST(ProfileCatalogue, SeparatorKeepsPreviousProfile) {
  for (int sep : {3, 8, 19, 25}) {
    ProfileModel m = started_model();
    int column_writes = 0;
    m.OnOutputColumn = [&](const std::string&) { ++column_writes; };
    choose(m, "3GP - Mobile Video Format (*.3gp)");
    ASSERT_EQ(column_writes, 1);
    const ListsState before = state_of(m);
    m.DropDownCount = 5;

    m.ComboOutputFormat.set_index(sep);
    OnOutputFormatChange(m);
    EXPECT_EQ(m.ComboOutputFormat.selected, 9) << sep;
    EXPECT_EQ(m.LastFormatIndex, 9);
    EXPECT_TRUE(state_of(m) == before) << sep;
    EXPECT_EQ(column_writes, 1) << "no Output column rewrite on a separator";
    EXPECT_EQ(m.DropDownCount, 5);
  }
}

TEST(ProfileCatalogue, StoredPositionsAtFirstShow) {
  {  // a separator: back to position 0, no setting routine, no tag
    ProfileModel m;
    FillComboOutputFormat(m);
    m.ComboOutputFormat.set_index(8);
    const ListsState before = state_of(m);
    OnOutputFormatChange(m);
    EXPECT_EQ(m.ComboOutputFormat.selected, 0);
    EXPECT_EQ(m.OutputExt, "");
    EXPECT_TRUE(state_of(m) == before);
  }
  {  // beyond the list: nothing selected, nothing matched
    ProfileModel m = started_model();
    choose(m, "WMV - Windows Media Video (*.wmv)");
    std::string column = "?";
    m.OnOutputColumn = [&](const std::string& ext) { column = ext; };
    m.ComboOutputFormat.set_index(40);
    EXPECT_EQ(m.ComboOutputFormat.text(), "");
    OnOutputFormatChange(m);
    EXPECT_EQ(m.OutputExt, "WMV");
    EXPECT_EQ(column, "WMV");
    EXPECT_EQ(m.LastFormatIndex, -1);
  }
}

TEST(ProfileCatalogue, OutputColumnFollowsTheTag) {
  ProfileModel m = started_model();
  Strings column = {"MP4", "MP4", "MP4"};  // rows added earlier
  m.OnOutputColumn = [&](const std::string& ext) {
    for (auto& cell : column) cell = ext;
  };
  choose(m, "AVI - DivX Video (*.avi)");
  EXPECT_EQ(column, Strings({"AVI", "AVI", "AVI"}));
  choose(m, "WMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(column, Strings({"WMV", "WMV", "WMV"}));
  choose(m, "MPEG-1 Movie (*.mpg)");
  EXPECT_EQ(m.OutputExt, "MPG");
  choose(m, "MPEG-2 Movie (*.mpg)");
  EXPECT_EQ(m.OutputExt, "MPG");
  EXPECT_EQ(column[2], "MPG");
  EXPECT_EQ(m.LastFormatIndex, 17);
}

TEST(ProfileCatalogue, DropDownRowsFromAdditionalOptions) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"27", 27}, {"47", 47}, {"30", 30}, {"abc", 26}, {"", 26}, {"10", 26}, {"100", 47}, {"3.5", 26}};
  for (const auto& [text, rows] : cases) {
    ProfileModel m = started_model();
    m.DropDownItemsText = [t = text] { return t; };
    choose(m, "iPod (*.mp4)");
    EXPECT_EQ(m.DropDownCount, rows) << text;
    EXPECT_EQ(m.OutputExt, "MP4") << "selection handling goes on for " << text;
    m.DropDownCount = 0;
    OnOutputFormatDropDown(m);
    EXPECT_EQ(m.DropDownCount, rows) << text;
  }
  ProfileModel m = started_model();
  EXPECT_EQ(m.DropDownCount, 27);  // no spin field: its default
}

// ---- Setting choices ------------------------------------------------------------

TEST(ProfileSettings, PspVariantsShareChoices) {
  ProfileModel a = started_model(), b = started_model();
  choose(a, "PSP Video (*.mp4)");
  choose(b, "PSP Video - Good Quality (*.mp4)");
  EXPECT_TRUE(state_of(a) == state_of(b));
  EXPECT_EQ(a.OutputExt, "MP4");

  choose(a, "PSP Video - Small File Size (*.mp4)");
  EXPECT_EQ(a.ComboVideoBitrate.entries, Strings({"216 Kbps"}));
  EXPECT_EQ(a.ComboVideoBitrate.text(), "216 Kbps");
  EXPECT_EQ(a.ComboVideoSize.text(), "160 x 112");
}

TEST(ProfileSettings, AudioOnlyProfileEmptiesVideoLists) {
  ProfileModel m = started_model();
  choose(m, "PSP Video (*.mp4)");
  choose(m, "MP3 - Mpeg Layer3 Audio (*.mp3)");
  for (const SettingList* l : {&m.ComboVideoCodec, &m.ComboVideoSize, &m.ComboVideoBitrate,
                               &m.ComboVideoFramerate}) {
    EXPECT_TRUE(l->entries.empty());
    EXPECT_EQ(l->text(), "");
  }
  EXPECT_EQ(m.ComboAudioCodec.entries, Strings({"mp3"}));
  EXPECT_EQ(m.ComboAudioBitrate.text(), "192 Kbps");
  EXPECT_EQ(m.ComboSamplingRate.text(), "48000 Hz");
}

TEST(ProfileSettings, UntouchedChannelListKeepsMono) {
  for (const char* next : {"Archos AV500/GMini402 (*.avi)", "iPod (*.mp4)"}) {
    ProfileModel m = started_model();
    choose(m, "3GP - Mobile Video Format (*.3gp)");
    ASSERT_EQ(m.ComboAudioChannels.text(), "Mono");
    pick(m.ComboAspectRatio, "16:9 (Wide Screen)");
    choose(m, next);
    EXPECT_EQ(m.ComboAudioChannels.text(), "Mono") << next;
    EXPECT_EQ(m.ComboAspectRatio.text(), "16:9 (Wide Screen)") << next;
  }
  ProfileModel m = started_model();
  choose(m, "3GP - Mobile Video Format (*.3gp)");
  choose(m, "iPhone (*.mp4)");
  EXPECT_EQ(m.ComboAudioChannels.text(), "Stereo");
}

TEST(ProfileSettings, FamilyListsAndSelections) {
  ProfileModel zen = started_model(), iriver = started_model();
  choose(zen, "Creative Zen Vision (*.avi)");
  choose(iriver, "iRiver PMP100 (*.avi)");
  EXPECT_TRUE(state_of(zen) == state_of(iriver));
  EXPECT_EQ(zen.ComboVideoSize.entries,
            Strings({"Auto", "160 x 120", "320 x 240", "480 x 272", "720 x 480", "640 x 480"}));

  ProfileModel m = started_model();
  choose(m, "Zune Mpeg4 Video (*.mp4)");
  EXPECT_EQ(m.ComboVideoFramerate.entries, Strings({"29.97 fps"}));
  EXPECT_EQ(m.ComboVideoFramerate.text(), "29.97 fps");
  EXPECT_EQ(m.ComboVideoSize.text(), "320 x 240 ");  // trailing space kept
  choose(m, "Zune WMV Windows Media Video (*.wmv)");
  EXPECT_EQ(m.ComboVideoFramerate.entries,
            Strings({"Auto", "14.985 fps", "15.0 fps", "23.975 fps", "25.0 fps", "29.97 fps", "30.0 fps"}));
  EXPECT_EQ(m.ComboVideoFramerate.text(), "Auto");
  EXPECT_EQ(m.ComboSamplingRate.entries[0], "8000  Hz");

  choose(m, "PS3 Video(1080P) (*.mp4)");
  EXPECT_EQ(m.ComboVideoSize.entries, Strings({"1920 x 1072"}));

  choose(m, "3GP - Mobile Video Format (*.3gp)");
  EXPECT_EQ(m.ComboSamplingRate.entries, Strings({"8000  bps", "16000 bps"}));
  EXPECT_EQ(m.ComboSamplingRate.text(), "8000  bps");
  EXPECT_EQ(m.ComboAudioBitrate.count(), 8);

  choose(m, "BlackBerry 3GP Video (*.3gp)");
  EXPECT_EQ(m.ComboSamplingRate.entries, Strings({"8000  Hz", "16000 Hz"}));
  EXPECT_EQ(m.ComboAudioBitrate.text(), "4750 bps");

  choose(m, "Archos AV700 (*.avi)");
  EXPECT_EQ(m.ComboVideoBitrate.entries,
            Strings({"1000 Kbps", "1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps"}));
  EXPECT_EQ(m.ComboVideoBitrate.text(), "2000 Kbps");
  EXPECT_EQ(m.ComboVideoSize.text(), "720 x 480");

  // A choice in one list changes no other list.
  const ListsState before = state_of(m);
  pick(m.ComboVideoSize, "160 x 120");
  ListsState after = state_of(m);
  after.lists[1] = before.lists[1];
  EXPECT_TRUE(after == before);
}

TEST(ProfileSettings, UnofferedRowsSelectUsualEntries) {
  ProfileModel m = started_model();
  choose_unoffered(m, "DVD - VOB (*.vob)");
  EXPECT_EQ(m.ComboVideoSize.count(), 10);
  EXPECT_EQ(m.ComboVideoSize.text(), "720 x 480");
  EXPECT_EQ(m.ComboAudioCodec.text(), "ac3");
  EXPECT_EQ(m.ComboVideoFramerate.text(), "29.97 fps [NTSC]");

  choose_unoffered(m, "ASF - Advance Streaming Format (*.asf)");
  EXPECT_EQ(m.ComboVideoBitrate.entries,
            Strings({"1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps", "3000 Kbps"}));
  EXPECT_EQ(m.ComboVideoBitrate.text(), "2000 Kbps");

  // AAC keeps the previous audio lists when they offer the usual entries...
  ProfileModel psp = started_model();
  choose(psp, "PSP Video (*.mp4)");
  choose_unoffered(psp, "AAC - Advance Audio Coding (*.aac)");
  EXPECT_EQ(psp.ComboAudioBitrate.count(), 6);  // the PSP list
  EXPECT_EQ(psp.ComboAudioBitrate.text(), "128 Kbps");
  EXPECT_EQ(psp.ComboSamplingRate.text(), "44100 Hz");  // PSP had only 24000 Hz
  EXPECT_TRUE(psp.ComboVideoCodec.entries.empty());
  // ...and takes the general ones when they do not (AMR rates after 3GP).
  ProfileModel amr = started_model();
  choose(amr, "3GP - Mobile Video Format (*.3gp)");
  choose_unoffered(amr, "AAC - Advance Audio Coding (*.aac)");
  EXPECT_EQ(amr.ComboAudioBitrate.count(), 13);
  EXPECT_EQ(amr.ComboAudioBitrate.text(), "128 Kbps");
  EXPECT_EQ(amr.ComboSamplingRate.text(), "44100 Hz");
  EXPECT_EQ(amr.ComboAudioChannels.text(), "Stereo");
}

// ---- Applying a profile ------------------------------------------------------------

namespace {

struct ExpectedRecord {
  const char* profile;
  const char* video_codec;
  const char* audio_codec;
  const char* frame_size;
  int video_bitrate, audio_bitrate, sample_rate, channels;
  bool disable_video;
  const char* frame_rate;
};

// Every offered profile at its own choices ("" frame size = not requested).
const ExpectedRecord kOffered[] = {
    {"PSP Video (*.mp4)", "mpeg4", "libfaac", "368x208", 768000, 64000, 24000, 2, false, "30000/1001"},
    {"PSP Video - Good Quality (*.mp4)", "mpeg4", "libfaac", "368x208", 768000, 64000, 24000, 2, false, "30000/1001"},
    {"PSP Video - Small File Size (*.mp4)", "mpeg4", "libfaac", "160x112", 216000, 64000, 24000, 2, false, "30000/1001"},
    {"PS3 Video (*.mp4)", "libx264", "libfaac", "720x480", 1200000, 96000, 44100, 2, false, "30000/1001"},
    {"PS3 Video(480P) (*.mp4)", "libx264", "libfaac", "720x480", 1200000, 96000, 44100, 2, false, "30000/1001"},
    {"PS3 Video(720P) (*.mp4)", "libx264", "libfaac", "1280x720", 2000000, 96000, 44100, 2, false, "30000/1001"},
    {"PS3 Video(1080P) (*.mp4)", "libx264", "libfaac", "1920x1072", 2000000, 96000, 44100, 2, false, "30000/1001"},
    {"3GP - Mobile Video Format (*.3gp)", "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false, ""},
    {"3G2 - Mobile Video Format (*.3g2)", "mpeg4", "libamr_nb", "176x144", 128000, 7400, 8000, 1, false, ""},
    {"AVI - Audio Video Interleave (*.avi)", "mpeg4", "pcm_s16le", "", 1200000, 128000, 48000, 2, false, ""},
    {"AVI - DivX Video (*.avi)", "mpeg4", "libmp3lame", "", 1200000, 128000, 48000, 2, false, ""},
    {"MOV - QuickTime Video (*.mov)", "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false, ""},
    {"MP3 - Mpeg Layer3 Audio (*.mp3)", "", "libmp3lame", "", 0, 192000, 48000, 2, true, ""},
    {"MP4 - MPEG4 Video (*.mp4)", "mpeg4", "libfaac", "", 1200000, 128000, 44100, 2, false, ""},
    {"MPEG-1 Movie (*.mpg)", "mpeg1video", "mp2", "320x240", 1600000, 192000, 44100, 2, false, "25"},
    {"MPEG-2 Movie (*.mpg)", "mpeg2video", "mp2", "320x240", 2000000, 192000, 44100, 2, false, "25"},
    {"WMV - Windows Media Video (*.wmv)", "wmv2", "wmav2", "320x240", 1200000, 128000, 48000, 2, false, ""},
    {"iPod (*.mp4)", "mpeg4", "libfaac", "320x240", 512000, 64000, 44100, -1, false, ""},
    {"iPod Touch (*.mp4)", "mpeg4", "libfaac", "480x320", 1200000, 80000, 44100, -1, false, ""},
    {"iPhone (*.mp4)", "mpeg4", "libfaac", "480x320", 1200000, 80000, 44100, 2, false, ""},
    {"Zune Mpeg4 Video (*.mp4)", "mpeg4", "libfaac", "320x240", 1500000, 128000, 44100, 2, false, "30000/1001"},
    {"Zune WMV Windows Media Video (*.wmv)", "wmv2", "wmav2", "320x240", 1200000, 128000, 48000, 2, false, ""},
    {"Archos AV500/GMini402 (*.avi)", "mpeg4", "libmp3lame", "480x272", 1200000, 128000, 48000, 2, false, ""},
    {"Archos AV700 (*.avi)", "mpeg4", "libmp3lame", "720x480", 2000000, 128000, 48000, 2, false, ""},
    {"BlackBerry MPEG-4 Video (*.mp4)", "mpeg4", "libfaac", "320x240", 300000, 80000, 44100, 2, false, "24"},
    {"BlackBerry AVI Video (*.avi)", "h263", "libmp3lame", "176x144", 300000, 80000, 44100, 2, false, "24"},
    {"BlackBerry 3GP Video (*.3gp)", "mpeg4", "libamr_nb", "176x144", 120000, 4750, 8000, 1, false, "15"},
    {"Creative Zen Vision (*.avi)", "mpeg4", "libmp3lame", "640x480", 1200000, 128000, 48000, 2, false, ""},
    {"iRiver PMP100 (*.avi)", "mpeg4", "libmp3lame", "640x480", 1200000, 128000, 48000, 2, false, ""},
};

void expect_record(const TOutputOptions& r, const ExpectedRecord& e) {
  SCOPED_TRACE(e.profile);
  EXPECT_EQ(r.VideoCodec, e.video_codec);
  EXPECT_EQ(r.AudioCodec, e.audio_codec);
  EXPECT_EQ(r.FrameSize, e.frame_size);
  EXPECT_EQ(r.VideoBitrate, e.video_bitrate);
  EXPECT_EQ(r.AudioBitrate, e.audio_bitrate);
  EXPECT_EQ(r.AudioSampleRate, e.sample_rate);
  EXPECT_EQ(r.AudioChannels, e.channels);
  EXPECT_EQ(r.DisableVideo, e.disable_video);
  EXPECT_EQ(r.FrameRate, e.frame_rate);
  // Fields the profile never writes keep their initial values.
  const TOutputOptions d;
  EXPECT_EQ(r.AudioVolume, d.AudioVolume);
  EXPECT_EQ(r.FrameAspectRatio, d.FrameAspectRatio);
  EXPECT_EQ(r.DisableAudio, d.DisableAudio);
  EXPECT_EQ(r.FileName, d.FileName);
  EXPECT_EQ(r.Target, d.Target);
}

}  // namespace

TEST(ApplyProfile, EveryOfferedProfileAtItsOwnChoices) {
  ASSERT_EQ(std::size(kOffered), 29u);
  for (const ExpectedRecord& e : kOffered) {
    // The result must not depend on what the previous profile left in the lists.
    for (const char* previous : {"", "MP3 - Mpeg Layer3 Audio (*.mp3)", "BlackBerry 3GP Video (*.3gp)"}) {
      SCOPED_TRACE(previous);
      ProfileModel m = started_model();
      if (*previous) choose(m, previous);
      pick(m.ComboAudioChannels, "Stereo");
      choose(m, e.profile);
      expect_record(applied(m), e);
    }
  }
}

TEST(ApplyProfile, UnofferedRows) {
  struct Case {
    const char* label;
    ExpectedRecord e;
  };
  const Case cases[] = {
      {"DVD - VOB (*.vob)", {"DVD", "mpeg2video", "ac3", "720x480", 6000000, 224000, 48000, 2, false, "30000/1001"}},
      {"Video CD (*.mpg)", {"VCD", "mpeg1video", "mp2", "352x240", 1150000, 224000, 44100, 2, false, "30000/1001"}},
      {"ASF - Advance Streaming Format (*.asf)", {"ASF", "msmpeg4", "libmp3lame", "", 2000000, 128000, 48000, 2, true, ""}},
      {"Apple TV H264 (1280 x 720) (*.mp4)", {"ATV", "libx264", "libfaac", "1280x720", 2500000, 64000, 48000, -1, false, "24000/1001"}},
      {"iPod Video For TV (*.mp4)", {"TV", "mpeg4", "libfaac", "640x480", 1500000, 64000, 44100, -1, false, ""}},
      {"iPod Touch Wide Screen (*.mp4)", {"TW", "mpeg4", "libfaac", "720x406", 1500000, 128000, 44100, -1, false, ""}},
      {"RM - Real Video (*.rm)", {"RM", "rv10", "ac3", "320x240", 384000, 128000, 48000, 2, false, ""}},
      {"FLV - Flash Video (*.flv)", {"FLV", "flv", "libmp3lame", "", 200000, 64000, 44100, 2, false, "15"}},
      {"M4A - Mpeg4 Audio File (*.m4a)", {"M4A", "", "libfaac", "", 0, 128000, 48000, 2, true, ""}},
      {"BlackBerry AMR Audio", {"AMR", "", "libamr_nb", "", 0, 5900, 8000, 2, true, ""}},
      {"WAV - Waveform Audio (*.wav)", {"WAV", "", "pcm_s16le", "", 0, 128000, 44100, 2, true, ""}},
  };
  for (const Case& c : cases) {
    ProfileModel m = started_model();
    choose_unoffered(m, c.label);
    expect_record(applied(m), c.e);
  }
}

TEST(ApplyProfile, UserChoicesAfterPickingTheProfile) {
  struct Case {
    const char* profile;
    const char* list;  // which list the user changes
    const char* entry;
    const char* field;
    std::string expected;
  };
  const Case cases[] = {
      {"BlackBerry 3GP Video (*.3gp)", "channels", "Stereo", "AudioChannels", "1"},
      {"3GP - Mobile Video Format (*.3gp)", "acodec", "mpeg4aac", "AudioCodec", "libamr_nb"},
      {"3GP - Mobile Video Format (*.3gp)", "abitrate", "12200 bps", "AudioBitrate", "12200"},
      {"3GP - Mobile Video Format (*.3gp)", "framerate", "14.985 fps", "FrameRate", "15000/1001"},
      {"3GP - Mobile Video Format (*.3gp)", "framerate", "11 fps", "FrameRate", "11"},
      {"iPod (*.mp4)", "vcodec", "H264", "VideoCodec", "libx264"},
      {"iPod (*.mp4)", "channels", "Mono", "AudioChannels", "-1"},
      {"iPod (*.mp4)", "framerate", "23.975 fps", "FrameRate", "24000/1001"},
      {"AVI - Audio Video Interleave (*.avi)", "size", "Original Video Size", "FrameSize", ""},
      {"AVI - Audio Video Interleave (*.avi)", "size", "704 x 576 (4CIF)", "FrameSize", "704x576"},
      {"AVI - Audio Video Interleave (*.avi)", "acodec", "ac3", "AudioCodec", "ac3"},
      {"AVI - Audio Video Interleave (*.avi)", "channels", "Mono", "AudioChannels", "1"},
      {"AVI - Audio Video Interleave (*.avi)", "framerate", "29.97 fps", "FrameRate", "30000/1001"},
      {"AVI - Audio Video Interleave (*.avi)", "framerate", "15.0 fps", "FrameRate", "15"},
      {"MP4 - MPEG4 Video (*.mp4)", "vcodec", "XVid", "VideoCodec", "libxvid"},
      {"PSP Video (*.mp4)", "vcodec", "XVID", "VideoCodec", "libxvid"},
      {"PSP Video (*.mp4)", "framerate", "14.985 fps", "FrameRate", "15000/1001"},
      {"Archos AV500/GMini402 (*.avi)", "size", "Auto", "FrameSize", ""},
      {"Archos AV500/GMini402 (*.avi)", "acodec", "mp2", "AudioCodec", "mp2"},
      {"BlackBerry AVI Video (*.avi)", "acodec", "pcm_s16le", "AudioCodec", "pcm_s16le"},
      {"Zune Mpeg4 Video (*.mp4)", "size", "640 x 480", "FrameSize", "640x480"},
      {"MPEG-2 Movie (*.mpg)", "acodec", "ac3", "AudioCodec", "ac3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.profile) + " / " + c.entry);
    ProfileModel m = started_model();
    choose(m, c.profile);
    const std::string list = c.list;
    SettingList& l = list == "channels"    ? m.ComboAudioChannels
                     : list == "acodec"    ? m.ComboAudioCodec
                     : list == "vcodec"    ? m.ComboVideoCodec
                     : list == "abitrate"  ? m.ComboAudioBitrate
                     : list == "framerate" ? m.ComboVideoFramerate
                                           : m.ComboVideoSize;
    pick(l, c.entry);
    const TOutputOptions r = applied(m);
    const std::string field = c.field;
    const std::string got = field == "AudioChannels" ? std::to_string(r.AudioChannels)
                            : field == "AudioCodec"  ? r.AudioCodec
                            : field == "VideoCodec"  ? r.VideoCodec
                            : field == "AudioBitrate" ? std::to_string(r.AudioBitrate)
                            : field == "FrameRate"   ? r.FrameRate
                                                     : r.FrameSize;
    EXPECT_EQ(got, c.expected);
  }
}

TEST(ApplyProfile, NoSelectedProfileLeavesRecord) {
  ProfileModel m = started_model();
  m.ComboOutputFormat.set_index(-1);
  TOutputOptions r;
  r.AudioVolume = 255;
  ApplyProfile(m, r, 3);
  EXPECT_EQ(r.VideoCodec, "");
  EXPECT_EQ(r.AudioCodec, "");
  EXPECT_EQ(r.VideoBitrate, -1);
  EXPECT_EQ(r.AudioChannels, -1);
  EXPECT_EQ(r.AudioVolume, 255);
}

TEST(ApplyProfile, NumberFailuresStopAtTheField) {
  {  // empty sampling-rate list: the bit rates are written, the rate is not
    ProfileModel m = started_model();
    choose(m, "AVI - DivX Video (*.avi)");
    m.ComboSamplingRate.clear();
    TOutputOptions r;
    EXPECT_THROW(
        {
          try {
            ApplyProfile(m, r, 0);
          } catch (const ProfileError& e) {
            EXPECT_STREQ(e.what(), "No sampling rate selected");
            throw;
          }
        },
        ProfileError);
    EXPECT_EQ(r.VideoBitrate, 1200000);
    EXPECT_EQ(r.AudioBitrate, 128000);
    EXPECT_EQ(r.AudioSampleRate, -1);
    EXPECT_EQ(r.AudioCodec, "libmp3lame");
  }
  {  // empty audio bit-rate list: general and mobile fail, Apple gives 0
    ProfileModel m = started_model();
    choose(m, "iPhone (*.mp4)");
    m.ComboAudioBitrate.clear();
    TOutputOptions r;
    EXPECT_THROW(ApplyProfile(m, r, 0), ProfileError);
    EXPECT_EQ(r.VideoBitrate, 1200000);
    EXPECT_EQ(r.AudioBitrate, -1);
    EXPECT_EQ(r.AudioSampleRate, -1);

    choose(m, "3GP - Mobile Video Format (*.3gp)");
    m.ComboAudioBitrate.clear();
    TOutputOptions mobile;
    EXPECT_THROW(ApplyProfile(m, mobile, 0), ProfileError);
    EXPECT_EQ(mobile.VideoBitrate, 128000);
    EXPECT_EQ(mobile.AudioChannels, -1) << "written after the numbers";

    choose(m, "iPod (*.mp4)");
    m.ComboAudioBitrate.clear();
    m.ComboVideoBitrate.clear();
    TOutputOptions apple;
    ApplyProfile(m, apple, 0);
    EXPECT_EQ(apple.AudioBitrate, 0);
    EXPECT_EQ(apple.VideoBitrate, 0);
    EXPECT_EQ(apple.AudioSampleRate, 44100);
  }
  {  // a number with other characters, and one beyond 32 bits
    ProfileModel m = started_model();
    choose(m, "WMV - Windows Media Video (*.wmv)");
    m.ComboAudioBitrate.fill(Strings{"1x8 Kbps"});
    m.ComboAudioBitrate.set_index(0);
    TOutputOptions r;
    try {
      ApplyProfile(m, r, 0);
      ADD_FAILURE() << "no failure";
    } catch (const ProfileError& e) {
      EXPECT_STREQ(e.what(), "The audio bit rate \"1x8 Kbps\" is not a whole number");
    }
    m.ComboVideoBitrate.fill(Strings{"9999999 Kbps"});
    m.ComboVideoBitrate.set_index(0);
    TOutputOptions big;
    EXPECT_THROW(ApplyProfile(m, big, 0), ProfileError);
    EXPECT_EQ(big.VideoBitrate, -1);
    EXPECT_EQ(big.VideoCodec, "wmv2");
  }
}

TEST(ApplyProfile, TextRules) {
  const std::vector<std::pair<std::string, std::string>> sizes = {
      {"320 x 240 (VGA)", "320x240"}, {"704 x 576 (4CIF)", "704x576"}, {"1920 x 1072", "1920x1072"},
      {"320 x 240 ", "320x240"},      {"Auto", "Auto"},                 {"", ""},
      {"Original Video Size", "original"}};
  for (const auto& [in, out] : sizes) EXPECT_EQ(GetFrameSizeText(in, 7), out) << in;

  const std::vector<std::pair<std::string, std::string>> rates = {
      {"Auto", ""},           {"", ""},                     {"29.97 fps", "30000/1001"},
      {"29.97 fps [NTSC]", "30000/1001"}, {"23.975 fps", "24000/1001"}, {"23.976 fps [NTSC]", "24000/1001"},
      {"14.985 fps", "15000/1001"}, {"59.94 fps", "60000/1001"}, {"25 fps [PAL]", "25"},
      {"25.0 fps", "25"},     {"11 fps", "11"},             {"30.0 fps", "30"},
      {"50 fps", "50"},       {"12.5 fps", "25/2"}};
  for (const auto& [in, out] : rates) EXPECT_EQ(GetFrameRateText(in), out) << in;

  const std::vector<std::pair<std::string, std::string>> numbers = {
      {"512 Kbps", "512"}, {"8000  Hz", "8000"}, {"4750 bps", "4750"}, {"8000  bps", "8000"}, {"Auto", ""}};
  for (const auto& [in, out] : numbers) EXPECT_EQ(EntryNumber(in), out) << in;

  const std::vector<std::pair<std::string, std::string>> video = {
      {"H264", "libx264"}, {"XVid", "libxvid"}, {"WMV2x", "wmv2"}, {"MPEG4_QT", "mpeg4"},
      {"WMV2", "wmv2"},    {"H263", "h263"},    {"MSMPEG4", "msmpeg4"}, {"RAWVIDEO", "rawvideo"},
      {"", ""}};
  for (const auto& [in, out] : video) EXPECT_EQ(MapVideoCodec(in, true), out) << in;
  EXPECT_EQ(MapVideoCodec("WMV2x", false), "wmv2x");
  EXPECT_EQ(MapVideoCodec("H264", false), "libx264");

  const std::vector<std::pair<std::string, std::string>> audio = {
      {"aac", "libfaac"}, {"m4a", "mpeg4aac"}, {"mpeg4aac", "libfaac"}, {"MP3", "libmp3lame"},
      {"ra", "ac3"},      {"asf", "mp3"},      {"wma7x", "wmav2"},      {"wav", "pcm_s16le"},
      {"amr_nb", "libamr_nb"}, {"mpeg4aac_qt", "libfaac"}, {"vorbis", "vorbis"}, {"pcm_s16be", "pcm_s16be"}};
  for (const auto& [in, out] : audio) EXPECT_EQ(MapAudioCodec(in), out) << in;
}
