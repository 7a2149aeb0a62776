// klaventa-cli run as a separate process: listing, settings, conversions read
// back from disk, usage errors, output naming and Ctrl-C.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "media/testmedia.h"

namespace fs = std::filesystem;

namespace {

const std::string kCli = KLAVENTA_BINARY_DIR "/src/cli/klaventa-cli";
const std::string kMp4 = "MP4 - MPEG4 Video (*.mp4)";

// The program running with stdout and stderr on pipes.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& cwd = "") {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(out[0]);
      close(out[1]);
      close(err[0]);
      close(err[1]);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
      std::vector<char*> argv{const_cast<char*>(kCli.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(kCli.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) close(out_fd_);
    if (err_fd_ >= 0) close(err_fd_);
  }

  // Reads until `done(stdout so far)` holds, the pipes close or the time is up.
  bool read_until(const std::function<bool(const std::string&)>& done, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(out)) {
      if (out_fd_ < 0 && err_fd_ < 0) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(left.count())) < 0) return false;
      drain(fds[0], out_fd_, out);
      drain(fds[1], err_fd_, err);
    }
    return true;
  }

  // Waits for the exit; the exit code, or -1 after a timeout or a signal.
  int finish(std::chrono::seconds timeout = std::chrono::seconds(240)) {
    read_until([](const std::string&) { return false; }, timeout);
    if (out_fd_ >= 0 || err_fd_ >= 0) return -1;  // still running: the destructor kills it
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void interrupt() { kill(pid_, SIGINT); }

  std::string out, err;

 private:
  static void drain(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  int status_ = -1;
};

struct Result {
  int code;
  std::string out, err;
};

Result run(const std::vector<std::string>& args, const std::string& cwd = "") {
  Process p(args, cwd);
  const int code = p.finish();
  return {code, p.out, p.err};
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Summary row of an input: {result, output, ...} split on runs of two blanks.
std::vector<std::string> summary_row(const std::string& out, const std::string& input) {
  for (const std::string& line : lines_of(out)) {
    if (line.rfind(input + "  ", 0) != 0) continue;
    std::vector<std::string> cells;
    std::regex sep("  +");
    for (std::sregex_token_iterator it(line.begin(), line.end(), sep, -1), end; it != end; ++it)
      cells.push_back(*it);
    return cells;
  }
  return {};
}

// A fresh folder inside the process's temp folder.
std::string folder(const std::string& name) {
  const fs::path dir = fs::path(testmedia::temp_dir()) / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

std::string copy_as(const std::string& file, const std::string& dir, const std::string& name) {
  const fs::path dst = fs::path(dir) / name;
  fs::copy_file(file, dst, fs::copy_options::overwrite_existing);
  return dst.string();
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// 320x240 25 fps mpeg4 + mp3 (440 Hz, amplitude 0.5), 2 s.
std::string short_clip() { return testmedia::path(testmedia::Clip::Mpeg4Mp3Avi); }

// The setting lists printed by --show-settings: header -> (entries, selected).
std::map<std::string, std::pair<std::vector<std::string>, std::string>> parse_settings(const std::string& out) {
  std::map<std::string, std::pair<std::vector<std::string>, std::string>> lists;
  std::string header;
  for (const std::string& line : lines_of(out)) {
    if (line.rfind("Profile: ", 0) == 0) continue;
    if (line.size() > 4 && line.compare(0, 4, "    ") != 0 && line.compare(0, 4, "  * ") != 0) {
      header = line.substr(0, line.find(" ("));
      lists[header];
      continue;
    }
    if (line == "    (none)") continue;
    const std::string entry = line.substr(4);
    lists[header].first.push_back(entry);
    if (line.compare(0, 4, "  * ") == 0) lists[header].second = entry;
  }
  return lists;
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(fs::exists(kCli)) << kCli; }
};

TEST_F(CliTest, ListsTheOfferedProfilesWithTheirListPositions) {
  const Result r = run({"--list-profiles"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 29u) << r.out;
  std::regex row("(\\d+)\\t(.+)");
  int last = -1;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, row)) << line;
    const int pos = std::stoi(m[1]);
    EXPECT_GT(pos, last);
    for (int separator : {3, 8, 19, 25}) EXPECT_NE(pos, separator) << line;
    last = pos;
  }
  EXPECT_EQ(lines.front(), "0\tPSP Video (*.mp4)");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "15\t" + kMp4), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "24\tZune WMV Windows Media Video (*.wmv)"), lines.end());
  EXPECT_EQ(lines.back(), "32\tiRiver PMP100 (*.avi)");
}

TEST_F(CliTest, ShowSettingsPrintsTheEightListsWithTheChosenEntries) {
  const Result r = run({"-p", kMp4, "--show-settings"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(lines_of(r.out).front(), "Profile: 15\t" + kMp4);
  const auto lists = parse_settings(r.out);
  ASSERT_EQ(lists.size(), 8u) << r.out;
  const std::map<std::string, std::string> selected = {
      {"Video Codec", "MPEG4"},    {"Video Size", "Original Video Size"}, {"Video Bitrate", "1200 Kbps"},
      {"Video Framerate", "Auto"}, {"Audio Codec", "mpeg4aac"},           {"Audio Bitrate", "128 Kbps"},
      {"Sampling Rate", "44100 Hz"}, {"Audio Channels", "Stereo"}};
  for (const auto& [list, entry] : selected) {
    ASSERT_TRUE(lists.count(list)) << list;
    EXPECT_EQ(lists.at(list).second, entry) << list;
  }
  EXPECT_EQ(lists.at("Video Codec").first, (std::vector<std::string>{"MPEG4", "H264", "XVid"}));
  EXPECT_EQ(lists.at("Video Size").first.size(), 23u);
}

TEST_F(CliTest, SettingOptionsAndProfileNamesPickTheirEntries) {
  struct Case {
    std::vector<std::string> args;
    std::string list, selected;
  };
  const Case cases[] = {
      {{"-p", "15", "--video-bitrate", "1500"}, "Video Bitrate", "1500 Kbps"},
      {{"-p", "mp4 - MPEG4", "--video-codec", "h264"}, "Video Codec", "H264"},
      {{"-p", "15", "--video-codec", "xvid"}, "Video Codec", "XVid"},
      {{"-p", "15", "--size", "320x240"}, "Video Size", "320 x 240 (VGA)"},
      {{"-p", "15", "--size", "320 x 240 (VGA)"}, "Video Size", "320 x 240 (VGA)"},
      {{"-p", "15", "--framerate", "25"}, "Video Framerate", "25.0 fps"},
      {{"-p", "15", "--channels", "MONO"}, "Audio Channels", "Mono"},
      {{"-p", "3gp - mobile", "--sample-rate", "16000"}, "Sampling Rate", "16000 bps"},
      {{"-p", "9", "--audio-bitrate", "12200"}, "Audio Bitrate", "12200 bps"},
      {{"-p", "Zune Mpeg4", "--size", "320"}, "Video Size", "320 x 240 "},
      {{}, "Video Size", "368 x 208"},  // list position 0, as the window starts
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--show-settings");
    const Result r = run(args);
    ASSERT_EQ(r.code, 0) << c.args.size() << " " << r.err;
    EXPECT_EQ(parse_settings(r.out)[c.list].second, c.selected) << r.out;
  }
}

TEST_F(CliTest, UnknownOrAmbiguousProfileIsAUsageErrorListingCandidates) {
  Result r = run({"-p", "Betamax", "x.avi"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("15\t" + kMp4), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("32\tiRiver PMP100 (*.avi)"), std::string::npos) << r.err;

  r = run({"-p", "ps3", "x.avi"});
  EXPECT_EQ(r.code, 2);
  for (const char* label : {"PS3 Video (*.mp4)", "PS3 Video(480P) (*.mp4)", "PS3 Video(720P) (*.mp4)",
                            "PS3 Video(1080P) (*.mp4)"})
    EXPECT_NE(r.err.find(label), std::string::npos) << label;
  EXPECT_EQ(r.err.find(kMp4), std::string::npos) << r.err;

  r = run({"-p", "3", "x.avi"});  // a separator's position
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST_F(CliTest, AnEntryTheProfileDoesNotOfferIsAUsageErrorListingItsEntries) {
  const std::string dir = folder("not-offered");
  const std::string input = copy_as(short_clip(), dir, "clip.avi");
  Result r = run({"-p", "MOV - QuickTime Video (*.mov)", "--video-codec", "h264", "-o", dir, input});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("\"h264\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\n  MPEG4\n"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(fs::path(dir) / "clip.mov"));

  r = run({"-p", "15", "--video-bitrate", "1234", input, "-o", dir});
  EXPECT_EQ(r.code, 2);
  for (const char* entry : {"192 Kbps", "1500 Kbps", "2500 Kbps"})
    EXPECT_NE(r.err.find(std::string("  ") + entry + "\n"), std::string::npos) << r.err;

  r = run({"-p", "15", "--size", "320", input, "-o", dir});  // "320 x 200" and "320 x 240 (VGA)"
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("  320 x 200\n  320 x 240 (VGA)\n"), std::string::npos) << r.err;

  r = run({"-p", "MP3 - Mpeg Layer3 Audio (*.mp3)", "--video-codec", "mpeg4", input, "-o", dir});
  EXPECT_EQ(r.code, 2) << r.err;
}

TEST_F(CliTest, MalformedCommandLinesExitWithUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--bogus", "x.avi"},
      {"--volume", "30", "x.avi"},
      {"--volume", "220", "x.avi"},
      {"--aspect", "5:4", "x.avi"},
      {"-j", "0", "x.avi"},
      {"--jobs", "two", "x.avi"},
      {"-o", "/nonexistent/klaventa/out", "x.avi"},
      {"--option", "novalue", "x.avi"},
      {"--log-level", "loud", "x.avi"},
      {"-p"},
  };
  for (const auto& args : cases) {
    const Result r = run(args);
    EXPECT_EQ(r.code, 2) << (args.empty() ? "(none)" : args.front());
    EXPECT_NE(r.err.find("klaventa-cli: "), std::string::npos) << r.err;
  }
}

TEST_F(CliTest, TwoFilesConvertInParallel) {
  const std::string in = folder("parallel-in"), out = folder("parallel-out");
  const std::string one = copy_as(short_clip(), in, "one.avi");
  const std::string two = copy_as(testmedia::path(testmedia::Clip::H264AacMp4), in, "two.mp4");
  const Result r = run({"-p", kMp4, "-j", "2", "-o", out, one, two});
  ASSERT_EQ(r.code, 0) << r.out << r.err;

  for (const auto& [input, output] : {std::pair{one, "one.mp4"}, std::pair{two, "two.mp4"}}) {
    const auto row = summary_row(r.out, input);
    ASSERT_GE(row.size(), 5u) << r.out;
    EXPECT_EQ(row[1], "Done");
    const std::string path = (fs::path(out) / output).string();
    EXPECT_EQ(row[2], path);

    const testmedia::FileInfo info = testmedia::probe(path);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.format, "mov,mp4,m4a,3gp,3g2,mj2");
    const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
    const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->codec, "mpeg4");
    EXPECT_EQ(v->width, 320);
    EXPECT_EQ(v->height, 240);
    EXPECT_EQ(v->decode_errors, 0);
    EXPECT_EQ(a->codec, "aac");
    EXPECT_EQ(a->sample_rate, 44100);
    EXPECT_EQ(a->channels, 2);
    EXPECT_NEAR(a->peak_amplitude, 0.5, 0.05);  // volume 100 %: unchanged
    EXPECT_NEAR(a->tone_hz, 440, 10);
    const std::vector<int> counters = testmedia::read_counters(path);
    ASSERT_EQ(counters.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(counters[static_cast<size_t>(i)], i);
  }
}

TEST_F(CliTest, SettingsVolumeAspectAndExtraOptionsReachTheOutput) {
  const std::string dir = folder("settings");
  const std::string input = copy_as(short_clip(), dir, "clip.avi");
  const Result r = run({"-p", kMp4, "--size", "176x144", "--sample-rate", "22050", "--channels", "mono", "--aspect",
                        "16:9", "--volume", "0", "--option", "title=Klaventa test", "-o", dir, input});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  const testmedia::FileInfo info = testmedia::probe((fs::path(dir) / "clip.mp4").string());
  ASSERT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->width, 176);
  EXPECT_EQ(v->height, 144);
  ASSERT_GT(v->sar.den, 0);
  EXPECT_NEAR(av_q2d(v->sar) * 176 / 144, 16.0 / 9.0, 0.01);
  EXPECT_EQ(a->sample_rate, 22050);
  EXPECT_EQ(a->channels, 1);
  EXPECT_GT(a->samples_decoded, 22050);
  EXPECT_LT(a->peak_amplitude, 0.01);  // 0 %: factor 1 of 256
  EXPECT_GT(a->peak_amplitude, 0.0);
  EXPECT_EQ(info.metadata.count("title") ? info.metadata.at("title") : "", "Klaventa test");
}

TEST_F(CliTest, AMissingInputFailsAndTheOtherFileIsConverted) {
  const std::string dir = folder("missing");
  const std::string good = copy_as(short_clip(), dir, "good.avi");
  const std::string missing = (fs::path(dir) / "missing.avi").string();
  const Result r = run({"-p", kMp4, "-o", dir, missing, good});
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  auto row = summary_row(r.out, missing);
  ASSERT_GE(row.size(), 2u) << r.out;
  EXPECT_EQ(row[1], "Fail");
  row = summary_row(r.out, good);
  ASSERT_GE(row.size(), 2u) << r.out;
  EXPECT_EQ(row[1], "Done");
  EXPECT_NE(r.out.find("Failures:\n  " + missing + ": "), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(fs::path(dir) / "missing.mp4"));
  const testmedia::FileInfo info = testmedia::probe((fs::path(dir) / "good.mp4").string(), false);
  EXPECT_TRUE(info.ok) << info.error;
}

TEST_F(CliTest, OutputNamesAreMadeUniqueUnlessOverwriting) {
  const std::string a = folder("naming-a"), b = folder("naming-b"), out = folder("naming-out");
  const std::string first = copy_as(short_clip(), a, "clip.avi");
  const std::string second = copy_as(short_clip(), b, "clip.avi");
  write_text((fs::path(out) / "clip.mp4").string(), "old");
  write_text((fs::path(out) / "clip-1.mp4").string(), "old");

  // Existing names are skipped, and so is a name taken earlier in the batch.
  Result r = run({"-p", kMp4, "-o", out, first, second});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(read_text((fs::path(out) / "clip.mp4").string()), "old");
  EXPECT_EQ(read_text((fs::path(out) / "clip-1.mp4").string()), "old");
  EXPECT_EQ(summary_row(r.out, first).at(2), (fs::path(out) / "clip-2.mp4").string());
  EXPECT_EQ(summary_row(r.out, second).at(2), (fs::path(out) / "clip-3.mp4").string());
  EXPECT_TRUE(testmedia::probe((fs::path(out) / "clip-3.mp4").string(), false).ok);

  // --overwrite replaces clip.mp4; the batch's second clip still gets its own name.
  r = run({"-p", kMp4, "--overwrite", "-o", out, first, second});
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(summary_row(r.out, first).at(2), (fs::path(out) / "clip.mp4").string());
  EXPECT_EQ(summary_row(r.out, second).at(2), (fs::path(out) / "clip-1.mp4").string());
  EXPECT_TRUE(testmedia::probe((fs::path(out) / "clip.mp4").string(), false).ok);
  EXPECT_TRUE(testmedia::probe((fs::path(out) / "clip-1.mp4").string(), false).ok);
  EXPECT_FALSE(fs::exists(fs::path(out) / "clip-4.mp4"));

  // An input never becomes its own output, even with --overwrite; relative
  // names land in the current folder.
  const std::string self = copy_as(testmedia::path(testmedia::Clip::H264AacMp4), out, "self.mp4");
  const auto before = fs::file_size(self);
  r = run({"-p", kMp4, "--overwrite", "self.mp4"}, out);
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(fs::file_size(self), before);
  EXPECT_EQ(summary_row(r.out, "self.mp4").at(2), (fs::path(out) / "self-1.mp4").string());
}

TEST_F(CliTest, CtrlCStopsEveryConversionAndClosesTheOutputs) {
  testmedia::ClipSpec spec;
  spec.width = 320;
  spec.height = 240;
  spec.seconds = 40;  // 1000 frames: long enough to be stopped in the middle
  const std::string clip = testmedia::make(spec);
  const std::string in = folder("interrupt-in"), out = folder("interrupt-out");
  std::vector<std::string> args = {"-p", kMp4, "--size", "720 x 576", "-j", "2", "-o", out};
  for (const char* name : {"a.avi", "b.avi", "c.avi"}) args.push_back(copy_as(clip, in, name));

  Process p(args);
  // Wait until both running files report encoded frames.
  ASSERT_TRUE(p.read_until(
      [&](const std::string& s) {
        return std::regex_search(s, std::regex("a\\.avi  \\d+%  [1-9]\\d* frames")) &&
               std::regex_search(s, std::regex("b\\.avi  \\d+%  [1-9]\\d* frames"));
      },
      std::chrono::seconds(120)))
      << p.out << p.err;
  p.interrupt();
  const int code = p.finish();
  EXPECT_EQ(code, 130) << p.out << p.err;

  for (const char* name : {"a", "b"}) {
    const std::string input = (fs::path(in) / (std::string(name) + ".avi")).string();
    const auto row = summary_row(p.out, input);
    ASSERT_GE(row.size(), 3u) << p.out;
    EXPECT_EQ(row[1], "Abort");
    const std::string output = (fs::path(out) / (std::string(name) + ".mp4")).string();
    const testmedia::FileInfo info = testmedia::probe(output);
    ASSERT_TRUE(info.ok) << output << ": " << info.error;
    const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->width, 720);
    EXPECT_GT(v->frames_decoded, 0);
    EXPECT_LT(v->frames_decoded, 1000);
    EXPECT_EQ(v->decode_errors, 0);
  }
  // The third file never started: no output is left behind.
  const auto row = summary_row(p.out, (fs::path(in) / "c.avi").string());
  ASSERT_GE(row.size(), 3u) << p.out;
  EXPECT_EQ(row[1], "Abort");
  EXPECT_EQ(row[2], "-");
  EXPECT_FALSE(fs::exists(fs::path(out) / "c.mp4"));
}

}  // namespace
