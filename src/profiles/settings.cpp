// Setting routines: refill the window's setting lists for a profile.
#include <string>
#include <vector>

#include "profiles/profiles.h"

namespace {

using List = std::vector<std::string>;

const List kFullSizes = {
    "Original Video Size", "128 x 96 (SQCIF)", "160 x 120 (QVGA)", "176 x 120",
    "176 x 144 (QCIF)",    "192 x 144",        "208 x 176",        "220 x 176",
    "240 x 180",           "320 x 200",        "320 x 240 (VGA)",  "352 x 240",
    "352 x 288 (CIF)",     "480 x 272",        "480 x 360",        "480 x 480",
    "480 x 576",           "624 x 352",        "640 x 352",        "640 x 480",
    "704 x 576 (4CIF)",    "720 x 480",        "720 x 576"};

const List kGeneralVideoBitrates = {"192 Kbps",  "200 Kbps",  "216 Kbps",  "384 Kbps",  "512 Kbps",
                                    "640 Kbps",  "768 Kbps",  "1000 Kbps", "1200 Kbps", "1500 Kbps",
                                    "1600 Kbps", "2000 Kbps", "2500 Kbps"};

const List kDeviceVideoBitrates = {"512 Kbps", "800 Kbps", "1200 Kbps", "1500 Kbps", "2500 Kbps"};

const List kGeneralFrameRates = {"Auto",     "14.985 fps", "15.0 fps", "23.975 fps",
                                 "25.0 fps", "29.97 fps",  "30.0 fps"};

const List kGeneralAudioBitrates = {"32 Kbps",  "40 Kbps",  "48 Kbps",  "64 Kbps",  "80 Kbps",
                                    "96 Kbps",  "112 Kbps", "128 Kbps", "160 Kbps", "192 Kbps",
                                    "224 Kbps", "256 Kbps", "320 Kbps"};

const List kGeneralSamplingRates = {"8000 Hz",  "16000 Hz", "22050 Hz", "32000 Hz",
                                    "44100 Hz", "48000 Hz", "54000 Hz", "96000 Hz"};

// The general list with a double space in its first entry.
const List kSecondSamplingRates = {"8000  Hz", "16000 Hz", "22050 Hz", "32000 Hz",
                                   "44100 Hz", "48000 Hz", "54000 Hz", "96000 Hz"};

const List kAmrBitrates = {"4750 bps", "5150 bps", "5900 bps",  "6700 bps",
                           "7400 bps", "7950 bps", "10200 bps", "12200 bps"};

const List kDiscSizes = {"128 x 96 (SQCIF)", "176 x 144 (QCIF)", "352 x 240", "352 x 288 (CIF)",
                         "480 x 272",        "480 x 480",        "640 x 480", "704 x 576 (4CIF)"};

const List kDiscFrameRates = {"23.976 fps [NTSC]", "24 fps",   "25 fps [PAL]", "29.97 fps [NTSC]",
                              "30.0 fps",          "50 fps",   "59.94 fps"};

const List kBlackBerryVideoBitrates = {"80 Kbps",  "120 Kbps", "200 Kbps",
                                       "256 Kbps", "300 Kbps", "512 Kbps"};
const List kBlackBerryFrameRates = {"11 fps", "15 fps", "20 fps", "24 fps", "25 fps"};
const List kBlackBerryAudioBitrates = {"40 Kbps", "48 Kbps", "64 Kbps",
                                       "80 Kbps", "96 Kbps", "112 Kbps"};
const List kBlackBerrySamplingRates = {"8000  Hz", "16000 Hz"};

void set(SettingList& list, const List& items, const std::string& selected) {
  list.fill(items);
  list.select(selected);
}

void stereo_original(ProfileModel& m) {
  m.ComboAudioChannels.select("Stereo");
  m.ComboAspectRatio.select("Original");
}

void empty_video_lists(ProfileModel& m) {
  m.ComboVideoCodec.clear();
  m.ComboVideoSize.clear();
  m.ComboVideoBitrate.clear();
  m.ComboVideoFramerate.clear();
}

// Selects `item`, refilling the list with `fallback` when it lacks the entry.
void select_or_refill(SettingList& list, const List& fallback, const std::string& item) {
  if (list.index_of(item) < 0) list.fill(fallback);
  list.select(item);
}

void fill_apple_family(ProfileModel& m, const std::string& kind, bool touch) {
  set(m.ComboVideoCodec, {"MPEG4", "H264"}, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  std::string size, video_rate, audio_rate;
  if (kind == "Normal") {
    size = touch ? "480 x 320" : "320 x 240";
    video_rate = touch ? "1200 Kbps" : "512 Kbps";
    audio_rate = touch ? "80 Kbps" : "64 Kbps";
  } else if (kind == "Extra") {
    size = "640 x 480";
    video_rate = "1500 Kbps";
    audio_rate = touch ? "80 Kbps" : "64 Kbps";
  } else if (kind == "Wide Screen") {
    size = "720 x 406";
    video_rate = "1500 Kbps";
    audio_rate = "128 Kbps";
  }
  if (size.empty())
    m.ComboVideoSize.clear();
  else
    set(m.ComboVideoSize, {size}, size);
  set(m.ComboVideoBitrate, kDeviceVideoBitrates, video_rate);
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, audio_rate);
  set(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
  if (kind == "Wide Screen") stereo_original(m);
}

void fill_zune(ProfileModel& m, const List& video_codecs, const std::string& audio_codec, bool wmv) {
  set(m.ComboVideoCodec, video_codecs, video_codecs.front());
  set(m.ComboAudioCodec, {audio_codec}, audio_codec);
  set(m.ComboVideoSize, {"320 x 240 ", "640 x 480"}, "320 x 240 ");
  set(m.ComboVideoBitrate,
      {"256 Kbps", "512 Kbps", "768 Kbps", "1200 Kbps", "1500 Kbps", "2000 Kbps"},
      wmv ? "1200 Kbps" : "1500 Kbps");
  if (wmv)
    set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  else
    set(m.ComboVideoFramerate, {"29.97 fps"}, "29.97 fps");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "128 Kbps");
  set(m.ComboSamplingRate, kSecondSamplingRates, wmv ? "48000 Hz" : "44100 Hz");
  stereo_original(m);
}

void fill_disc(ProfileModel& m, const char* video_codec, const List& sizes,
               const std::string& size, const char* video_rate) {
  set(m.ComboVideoCodec, {video_codec}, video_codec);
  set(m.ComboVideoSize, sizes, size);
  set(m.ComboVideoBitrate, {video_rate}, video_rate);
  set(m.ComboVideoFramerate, kDiscFrameRates, "29.97 fps [NTSC]");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "224 Kbps");
}

// Audio-only routines that keep only an audio codec and two audio lists.
void fill_audio_only(ProfileModel& m, const char* codec, const std::string& audio_rate,
                     const List& rates, const std::string& rate) {
  empty_video_lists(m);
  set(m.ComboAudioCodec, {codec}, codec);
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, audio_rate);
  set(m.ComboSamplingRate, rates, rate);
  stereo_original(m);
}

}  // namespace

void FillGeneralLists(ProfileModel& m) {
  m.ComboVideoSize.fill(kFullSizes);
  m.ComboVideoBitrate.fill(kGeneralVideoBitrates);
  m.ComboVideoFramerate.fill(kGeneralFrameRates);
  m.ComboAudioBitrate.fill(kGeneralAudioBitrates);
  m.ComboSamplingRate.fill(kGeneralSamplingRates);
}

void FillPSPSettings(ProfileModel& m, const std::string& quality) {
  set(m.ComboVideoCodec, {"MPEG4", "H264", "XVID"}, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  set(m.ComboVideoSize, {"160 x 112", "320 x 240", "368 x 208", "480 x 272"},
      quality == "Small File Size" ? "160 x 112" : "368 x 208");
  std::string rate;
  if (quality == "Good Quality")
    rate = "768 Kbps";
  else if (quality == "Normal Quality")
    rate = "512 Kbps";
  else if (quality == "Small File Size")
    rate = "216 Kbps";
  if (rate.empty())
    m.ComboVideoBitrate.clear();
  else
    set(m.ComboVideoBitrate, {rate}, rate);
  set(m.ComboVideoFramerate, {"14.985 fps", "29.97 fps"}, "29.97 fps");
  set(m.ComboAudioBitrate, {"32 Kbps", "48 Kbps", "64 Kbps", "96 Kbps", "128 Kbps", "160 Kbps"},
      "64 Kbps");
  set(m.ComboSamplingRate, {"24000 Hz"}, "24000 Hz");
  stereo_original(m);
}

namespace {
void fill_ps3(ProfileModel& m, const List& sizes, const std::string& size,
              const std::string& video_rate) {
  set(m.ComboVideoCodec, {"H264"}, "H264");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  set(m.ComboVideoSize, sizes, size);
  set(m.ComboVideoBitrate, {"1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps", "3000 Kbps"},
      video_rate);
  set(m.ComboVideoFramerate, {"29.97 fps"}, "29.97 fps");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "96 Kbps");
  set(m.ComboSamplingRate, kSecondSamplingRates, "44100 Hz");
  stereo_original(m);
}
}  // namespace

void FillPS3Settings480P(ProfileModel& m) {
  fill_ps3(m, {"640 x 480", "720 x 480", "720 x 576"}, "720 x 480", "1200 Kbps");
}
void FillPS3Settings720P(ProfileModel& m) { fill_ps3(m, {"1280 x 720"}, "1280 x 720", "2000 Kbps"); }
void FillPS3Settings1080P(ProfileModel& m) {
  fill_ps3(m, {"1920 x 1072"}, "1920 x 1072", "2000 Kbps");
}

void FillMobileSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"MPEG4", "H263", "H264"}, "MPEG4");
  set(m.ComboAudioCodec, {"amr_nb", "mpeg4aac"}, "amr_nb");
  set(m.ComboVideoSize,
      {"128 x 96 (SQCIF)", "160 x 120 (QVGA)", "176 x 144 (QCIF)", "208 x 176", "220 x 176",
       "320 x 240 (VGA)", "352 x 288 (CIF)"},
      "176 x 144 (QCIF)");
  set(m.ComboVideoBitrate, {"48 Kbps", "64 Kbps", "96 Kbps", "128 Kbps", "256 Kbps", "512 Kbps"},
      "128 Kbps");
  set(m.ComboVideoFramerate, {"Auto", "11 fps", "14.985 fps", "15 fps"}, "Auto");
  set(m.ComboAudioBitrate, kAmrBitrates, "7400 bps");
  set(m.ComboSamplingRate, {"8000  bps", "16000 bps"}, "8000  bps");
  m.ComboAudioChannels.select("Mono");
}

void FillAVISettings(ProfileModel& m, const std::string& kind) {
  List video, audio;
  if (kind == "normal") {
    video = {"MPEG4", "H264"};
    audio = {"pcm_s16le", "mp3", "mp2", "ac3"};
  } else if (kind == "divx") {
    video = {"MPEG4"};
    audio = {"mp3"};
  } else if (kind == "xvid") {
    video = {"XVID"};
    audio = {"mp3"};
  } else if (kind == "uncompress") {
    video = {"RAWVIDEO"};
    audio = {"pcm_s16le", "mp3", "mp2", "ac3"};
  }
  m.ComboVideoCodec.fill(video);
  m.ComboVideoCodec.set_index(0);
  m.ComboAudioCodec.fill(audio);
  m.ComboAudioCodec.set_index(0);
  set(m.ComboVideoBitrate,
      {"192 Kbps", "200 Kbps", "216 Kbps", "384 Kbps", "512 Kbps", "640 Kbps", "768 Kbps",
       "1000 Kbps", "1200 Kbps", "1500 Kbps", "2500 Kbps"},
      "1200 Kbps");
  set(m.ComboVideoSize, kFullSizes, "Original Video Size");
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "128 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "48000 Hz");
  stereo_original(m);
}

namespace {
void fill_mov_mp4(ProfileModel& m, const List& video_codecs) {
  set(m.ComboVideoCodec, video_codecs, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  FillGeneralLists(m);
  m.ComboVideoSize.select("Original Video Size");
  m.ComboVideoBitrate.select("1200 Kbps");
  m.ComboVideoFramerate.select("Auto");
  m.ComboAudioBitrate.select("128 Kbps");
  m.ComboSamplingRate.select("44100 Hz");
  stereo_original(m);
}
}  // namespace

void FillMOVSettings(ProfileModel& m) { fill_mov_mp4(m, {"MPEG4"}); }
void FillMP4Settings(ProfileModel& m) { fill_mov_mp4(m, {"MPEG4", "H264", "XVid"}); }

void FillMPEGSettings(ProfileModel& m, const std::string& kind) {
  const bool mpeg1 = kind == "mpeg1";
  const char* codec = mpeg1 ? "MPEG1VIDEO" : "MPEG2VIDEO";
  set(m.ComboVideoCodec, {codec}, codec);
  set(m.ComboAudioCodec, mpeg1 ? List{"mp2"} : List{"mp2", "ac3"}, "mp2");
  FillGeneralLists(m);
  m.ComboVideoSize.select("320 x 240 (VGA)");
  m.ComboVideoFramerate.select("25.0 fps");
  m.ComboVideoBitrate.select(mpeg1 ? "1600 Kbps" : "2000 Kbps");
  m.ComboAudioBitrate.select("192 Kbps");
  m.ComboSamplingRate.select("44100 Hz");
  stereo_original(m);
}

void FillWMVSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"WMV2"}, "WMV2");
  set(m.ComboAudioCodec, {"wmav2"}, "wmav2");
  FillGeneralLists(m);
  m.ComboVideoSize.select("320 x 240 (VGA)");
  m.ComboVideoFramerate.select("Auto");
  m.ComboVideoBitrate.select("1200 Kbps");
  m.ComboAudioBitrate.select("128 Kbps");
  m.ComboSamplingRate.select("48000 Hz");
  stereo_original(m);
}

void FillMPEGAudioSettings(ProfileModel& m, const std::string& codec) {
  empty_video_lists(m);
  set(m.ComboAudioCodec, {codec}, codec);
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, codec == "mp2" ? "224 Kbps" : "192 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "48000 Hz");
  stereo_original(m);
}

void FilliPodSettings(ProfileModel& m, const std::string& kind) { fill_apple_family(m, kind, false); }
void FilliPodTouchSettings(ProfileModel& m, const std::string& kind) {
  fill_apple_family(m, kind, true);
}

void FilliPhoneSettings(ProfileModel& m, const std::string& size_text) {
  const bool small = size_text == "480 x 320";
  set(m.ComboVideoCodec, {"MPEG4", "H264"}, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  stereo_original(m);
  set(m.ComboVideoSize, {size_text}, size_text);
  set(m.ComboVideoBitrate, kDeviceVideoBitrates, small ? "1200 Kbps" : "1500 Kbps");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, small ? "80 Kbps" : "128 Kbps");
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
}

void FillZuneMPEG4Settings(ProfileModel& m) { fill_zune(m, {"MPEG4", "H264"}, "mpeg4aac", false); }
void FillZuneWMVSettings(ProfileModel& m) { fill_zune(m, {"WMV2"}, "wmav2", true); }
void FillZuneAVCSettings(ProfileModel& m) { fill_zune(m, {"H264"}, "mpeg4aac", false); }

void FillArchosAV500Settings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"MPEG4"}, "MPEG4");
  set(m.ComboAudioCodec, {"mp3", "mp2"}, "mp3");
  set(m.ComboVideoBitrate, kGeneralVideoBitrates, "1200 Kbps");
  set(m.ComboVideoSize,
      {"Auto", "160 x 120", "320 x 240", "480 x 272", "720 x 480", "640 x 480"}, "480 x 272");
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "128 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "48000 Hz");
}

void FillArchosAV700Settings(ProfileModel& m) {
  FillArchosAV500Settings(m);
  set(m.ComboVideoBitrate, {"1000 Kbps", "1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps"},
      "2000 Kbps");
  m.ComboVideoSize.select("720 x 480");
}

void FillZenSettings(ProfileModel& m) {
  FillArchosAV500Settings(m);
  m.ComboVideoSize.select("640 x 480");
}

void FilliRiverSettings(ProfileModel& m) {
  FillArchosAV500Settings(m);
  m.ComboVideoSize.select("640 x 480");
}

void FillBlackBerryMPEG4Settings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"MPEG4"}, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  set(m.ComboVideoBitrate, kBlackBerryVideoBitrates, "300 Kbps");
  set(m.ComboVideoSize, {"176 x 144", "240 x 180", "320 x 240"}, "320 x 240");
  set(m.ComboVideoFramerate, kBlackBerryFrameRates, "24 fps");
  set(m.ComboAudioBitrate, kBlackBerryAudioBitrates, "80 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
}

void FillBlackBerryAVISettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"H263"}, "H263");
  set(m.ComboAudioCodec, {"mp3", "pcm_s16le"}, "mp3");
  set(m.ComboVideoBitrate, kBlackBerryVideoBitrates, "300 Kbps");
  set(m.ComboVideoSize, {"176 x 144"}, "176 x 144");
  set(m.ComboVideoFramerate, kBlackBerryFrameRates, "24 fps");
  set(m.ComboAudioBitrate, kBlackBerryAudioBitrates, "80 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
}

void FillBlackBerry3GPSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"MPEG4", "H263"}, "MPEG4");
  set(m.ComboAudioCodec, {"amr_nb", "mpeg4aac"}, "amr_nb");
  set(m.ComboVideoBitrate,
      {"48 Kbps", "64 Kbps", "96 Kbps", "120 Kbps", "128 Kbps", "256 Kbps", "512 Kbps"},
      "120 Kbps");
  set(m.ComboVideoSize, {"176 x 144", "240 x 180", "320 x 240"}, "176 x 144");
  set(m.ComboVideoFramerate, {"Auto", "11 fps", "15 fps", "20 fps", "24 fps", "25 fps"}, "15 fps");
  set(m.ComboAudioBitrate, kAmrBitrates, "4750 bps");
  set(m.ComboSamplingRate, kBlackBerrySamplingRates, "8000  Hz");
}

void FillBlackBerryAMRSettings(ProfileModel& m) {
  empty_video_lists(m);
  set(m.ComboAudioCodec, {"amr_nb"}, "amr_nb");
  set(m.ComboAudioBitrate, List(kAmrBitrates.begin() + 1, kAmrBitrates.end()), "5900 bps");
  set(m.ComboSamplingRate, kBlackBerrySamplingRates, "8000  Hz");
}

void FillAppleTVSettings(ProfileModel& m, const std::string& quality) {
  const bool good = quality == "Good";
  set(m.ComboVideoCodec, {"MPEG4"}, "MPEG4");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  set(m.ComboVideoSize, {"640 x 480"}, "640 x 480");
  set(m.ComboVideoBitrate, kDeviceVideoBitrates, good ? "1500 Kbps" : "1200 Kbps");
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, good ? "128 Kbps" : "96 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
  stereo_original(m);
}

void FillAppleTVH264Settings(ProfileModel& m, const std::string& size_text) {
  set(m.ComboVideoCodec, {"H264"}, "H264");
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  set(m.ComboVideoSize, {size_text}, size_text);
  std::string video_rate = "1200 Kbps", frame_rate = "29.97 fps";
  if (size_text == "640 x 480") {
    video_rate = "2000 Kbps";
  } else if (size_text == "1280 x 720") {
    video_rate = "2500 Kbps";
    frame_rate = "23.975 fps";
  }
  set(m.ComboVideoBitrate,
      {"512 Kbps", "800 Kbps", "1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps", "4000 Kbps",
       "7000 Kbps"},
      video_rate);
  set(m.ComboVideoFramerate, kGeneralFrameRates, frame_rate);
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "64 Kbps");
  set(m.ComboSamplingRate, kGeneralSamplingRates, "48000 Hz");
  stereo_original(m);
}

void FillRMSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"RV10", "RV20"}, "RV10");
  set(m.ComboAudioCodec, {"ac3"}, "ac3");
  set(m.ComboVideoSize, kFullSizes, "320 x 240 (VGA)");
  set(m.ComboVideoBitrate,
      {"384  Kbps", "400  Kbps", "600  Kbps", "1200 Kbps", "1800 Kbps", "2200 Kbps", "2600 Kbps",
       "3000 Kbps"},
      "384  Kbps");
  set(m.ComboVideoFramerate, kGeneralFrameRates, "Auto");
  set(m.ComboAudioBitrate, kGeneralAudioBitrates, "128 Kbps");
  set(m.ComboSamplingRate, kSecondSamplingRates, "48000 Hz");
  stereo_original(m);
}

void FillRASettings(ProfileModel& m) {
  fill_audio_only(m, "ac3", "128 Kbps", kSecondSamplingRates, "48000 Hz");
}

void FillFlashSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"FLV"}, "FLV");
  set(m.ComboAudioCodec, {"mp3"}, "mp3");
  FillGeneralLists(m);
  set(m.ComboSamplingRate, {"11025 Hz", "22050 Hz", "44100 Hz"}, "44100 Hz");
  m.ComboVideoSize.select("Original Video Size");
  m.ComboVideoFramerate.select("15.0 fps");
  m.ComboVideoBitrate.select("200 Kbps");
  m.ComboAudioBitrate.select("64 Kbps");
  stereo_original(m);
}

void FillVCDSettings(ProfileModel& m) {
  set(m.ComboAudioCodec, {"mp2"}, "mp2");
  fill_disc(m, "MPEG1VIDEO", kDiscSizes, "352 x 240", "1150 Kbps");
  set(m.ComboSamplingRate, {"44100 Hz"}, "44100 Hz");
}

void FillSVCDSettings(ProfileModel& m) {
  set(m.ComboAudioCodec, {"mp2"}, "mp2");
  fill_disc(m, "MPEG2VIDEO", kDiscSizes, "480 x 480", "2040 Kbps");
  set(m.ComboSamplingRate, {"44100 Hz"}, "44100 Hz");
}

void FillDVDSettings(ProfileModel& m) {
  // The DVD frame sizes are 720 wide; the NTSC size is the usual choice.
  List sizes = kDiscSizes;
  sizes.push_back("720 x 480");
  sizes.push_back("720 x 576");
  set(m.ComboAudioCodec, {"ac3", "mp2"}, "ac3");
  fill_disc(m, "MPEG2VIDEO", sizes, "720 x 480", "6000 Kbps");
  set(m.ComboSamplingRate, {"44100 Hz", "48000 Hz", "54000 Hz", "96000 Hz"}, "48000 Hz");
}

void FillAACSettings(ProfileModel& m) {
  empty_video_lists(m);
  set(m.ComboAudioCodec, {"aac"}, "aac");
  // Keeps the audio lists when they offer the usual choice, else the general ones.
  select_or_refill(m.ComboAudioBitrate, kGeneralAudioBitrates, "128 Kbps");
  select_or_refill(m.ComboSamplingRate, kGeneralSamplingRates, "44100 Hz");
  stereo_original(m);
}

void FillASFSettings(ProfileModel& m) {
  set(m.ComboVideoCodec, {"MSMPEG4"}, "MSMPEG4");
  set(m.ComboAudioCodec, {"mp3"}, "mp3");
  FillGeneralLists(m);
  set(m.ComboVideoBitrate, {"1200 Kbps", "1500 Kbps", "2000 Kbps", "2500 Kbps", "3000 Kbps"},
      "2000 Kbps");
  m.ComboVideoSize.select("Original Video Size");
  m.ComboVideoFramerate.select("Auto");
  m.ComboAudioBitrate.select("128 Kbps");
  m.ComboSamplingRate.select("48000 Hz");
  stereo_original(m);
}

void FillAUSettings(ProfileModel& m) {
  fill_audio_only(m, "pcm_s16be", "128 Kbps", kGeneralSamplingRates, "48000 Hz");
}

void FillM4ASettings(ProfileModel& m) {
  set(m.ComboAudioCodec, {"mpeg4aac"}, "mpeg4aac");
  FillGeneralLists(m);
  empty_video_lists(m);
  m.ComboAudioBitrate.select("128 Kbps");
  m.ComboSamplingRate.select("48000 Hz");
  stereo_original(m);
}

void FillOGGSettings(ProfileModel& m) {
  fill_audio_only(m, "vorbis", "160 Kbps", kGeneralSamplingRates, "48000 Hz");
}

void FillWAVSettings(ProfileModel& m) {
  fill_audio_only(m, "pcm_s16le", "128 Kbps", kSecondSamplingRates, "44100 Hz");
}

void FillWMASettings(ProfileModel& m) {
  fill_audio_only(m, "wmav2", "128 Kbps", kSecondSamplingRates, "48000 Hz");
}

namespace {

void run_setting_routine(ProfileModel& m, int id) {
  switch (id) {
    case 0:
    case 1: FillMobileSettings(m); break;
    case 3: FilliPodSettings(m, "Normal"); break;
    case 4:
    case 6: FilliPodSettings(m, "Extra"); break;
    case 5: FilliPodSettings(m, "Wide Screen"); break;
    case 7: FillAppleTVH264Settings(m, "320 x 240"); break;
    case 8: FillAppleTVH264Settings(m, "640 x 480"); break;
    case 9: FillAppleTVH264Settings(m, "1280 x 720"); break;
    case 10:
    case 12: FillAppleTVSettings(m, "Good"); break;
    case 11: FillAppleTVSettings(m, "Normal"); break;
    case 13: FilliPodTouchSettings(m, "Normal"); break;
    case 14: FilliPodTouchSettings(m, "Extra"); break;
    case 15: FilliPodTouchSettings(m, "Wide Screen"); break;
    case 18: FilliPhoneSettings(m, "480 x 320"); break;
    case 19: FilliPhoneSettings(m, "640 x 480"); break;
    case 20: FilliPhoneSettings(m, "720 x 480"); break;
    case 22: FillAVISettings(m, "normal"); break;
    case 23: FillAVISettings(m, "divx"); break;
    case 24: FillAVISettings(m, "xvid"); break;
    case 25: FillAVISettings(m, "uncompress"); break;
    case 26: FillMOVSettings(m); break;
    case 27: FillMP4Settings(m); break;
    case 28: FillMPEGSettings(m, "mpeg1"); break;
    case 29: FillMPEGSettings(m, "mpeg2"); break;
    case 30: FillRMSettings(m); break;
    case 31: FillWMVSettings(m); break;
    case 32:
    case 33: FillFlashSettings(m); break;
    case 34: FillVCDSettings(m); break;
    case 35: FillSVCDSettings(m); break;
    case 36: FillDVDSettings(m); break;
    case 37: FillAACSettings(m); break;
    case 38: FillASFSettings(m); break;
    case 39: FillAUSettings(m); break;
    case 40: FillM4ASettings(m); break;
    case 41: FillMPEGAudioSettings(m, "mp3"); break;
    case 42: FillOGGSettings(m); break;
    case 43: FillRASettings(m); break;
    case 44: FillWAVSettings(m); break;
    case 45: FillWMASettings(m); break;
    case 46: FillMPEGAudioSettings(m, "mp2"); break;
    case 49: FillZuneMPEG4Settings(m); break;
    case 50: FillZuneWMVSettings(m); break;
    case 51: FillZuneAVCSettings(m); break;
    case 53:
    case 54: FillPSPSettings(m, "Good Quality"); break;
    case 55: FillPSPSettings(m, "Normal Quality"); break;
    case 56: FillPSPSettings(m, "Small File Size"); break;
    case 58:
    case 59: FillPS3Settings480P(m); break;
    case 60: FillPS3Settings720P(m); break;
    case 61: FillPS3Settings1080P(m); break;
    case 63: FillArchosAV500Settings(m); break;
    case 64: FillArchosAV700Settings(m); break;
    case 65: FillZenSettings(m); break;
    case 66: FilliRiverSettings(m); break;
    case 67: FillBlackBerryMPEG4Settings(m); break;
    case 68: FillBlackBerryAVISettings(m); break;
    case 69: FillBlackBerry3GPSettings(m); break;
    case 70: FillBlackBerryAMRSettings(m); break;
    default: break;  // placeholder rows
  }
}

}  // namespace

void FillProfileSettings(ProfileModel& m) {
  for (const TheAVCodec* row : FindProfile(m.ComboOutputFormat.text())) {
    m.OutputExt = row->ExtTag;
    run_setting_routine(m, row->ProfileID);
  }
}
