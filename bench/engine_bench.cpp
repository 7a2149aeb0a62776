// Engine benchmark: converts a 30-second 1280x720 H.264 + AAC clip with five
// settings through the engine and through the codec-only baseline (bench/lib),
// each run in a child process of its own, and prints CPU, wall time and peak
// memory of both as a Markdown table.
//
//   engine_bench [--rounds N] [--targets 1,3,...] [--seconds S] [--out DIR] [--keep] [--baseline-s16]
//   engine_bench --run engine|baseline --target N --input FILE --output FILE [--baseline-s16]
//
// --seconds makes a shorter clip of the same kind (for profiling); --run does one
// conversion in this process (e.g. under valgrind --tool=callgrind);
// --clip-only makes the input clip and prints its path;
// --baseline-s16 cuts the baseline's float audio to 16 bits as the engine's
// audio path does.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/loader.h"
#include "engine/engine.h"
#include "lib/baseline.h"
#include "media/testmedia.h"

namespace fs = std::filesystem;
using bench::Snapshot;
using bench::Target;

namespace {

// ------------------------------------------------------------ the engine side

void run_engine(const std::string& input, const std::string& output, const Target& t, Snapshot* settings) {
  TCustomFFmpeg e;
  e.reset();
  std::string last_error_line;
  int progress_calls = 0;
  e.OnLog = [&](int level, const std::string& line) {
    if (level <= 0) last_error_line = line;
  };
  e.OnProgress = [&](int, int, int, float, float, int64_t, int) {
    ++progress_calls;
    if (!settings || !settings->empty()) return;
    // Encoders and decoders are open while reports come.
    for (auto& s : e.output_streams[0]) {
      if (!s.enc) continue;
      bench::snapshot_codec(s.enc, s.enc->codec_type == AVMEDIA_TYPE_VIDEO ? "venc." : "aenc.", *settings);
    }
    for (auto& s : e.input_streams[0]) {
      if (!s.dec) continue;
      bench::snapshot_codec(s.dec, s.dec->codec_type == AVMEDIA_TYPE_VIDEO ? "vdec." : "adec.", *settings);
    }
    bench::snapshot_options(e.output_files[0], "mux.", *settings);
    bench::snapshot_options(e.output_files[0]->priv_data, "mux.priv.", *settings);
  };
  if (!e.open_input_file(input)) throw std::runtime_error("open_input_file: " + e.last_error);
  e.set_option("vcodec", t.video_codec);
  if (t.width) e.set_option("s", std::to_string(t.width) + "x" + std::to_string(t.height));
  e.set_option("b", std::to_string(t.video_bit_rate));
  e.set_option("acodec", t.audio_codec);
  e.set_option("ab", std::to_string(t.audio_bit_rate));
  if (t.sample_rate) e.set_option("ar", std::to_string(t.sample_rate));
  if (t.channels) e.set_option("ac", std::to_string(t.channels));
  if (!e.open_output_file(output)) throw std::runtime_error("open_output_file: " + e.last_error);
  e.start_conversion(false, tpNormal);
  if (e.failed) throw std::runtime_error("engine run failed: " + e.fail_message);
  if (!e.finished) throw std::runtime_error("engine run did not finish: " + last_error_line);
}

// ------------------------------------------------------------ child processes

struct ChildResult {
  bool ok = false;
  std::string text;  // error message or payload
  double cpu_s = 0, wall_s = 0;
  long peak_kb = 0;  // ru_maxrss of the child
};

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool load_media_libraries() {
  if (!klaventa::load_libraries("", true)) return false;
  ff::av_log_set_level(klaventa::av_level_from_old(0));
  klaventa::set_log_threshold(0);
  return true;
}

// Runs `work` in a fresh child process; the CPU and wall time cover `work`
// alone, the peak memory the whole child. `work` returns a payload text.
ChildResult in_child(const std::function<std::string()>& work) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    try {
      if (!load_media_libraries()) throw std::runtime_error("media libraries: " + klaventa::library_load_error());
      const double cpu0 = cpu_seconds();
      const auto t0 = std::chrono::steady_clock::now();
      const std::string payload = work();
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double cpu = cpu_seconds() - cpu0;
      char head[128];
      std::snprintf(head, sizeof head, "OK %.6f %.6f\n", cpu, wall);
      out = head + payload;
    } catch (const std::exception& ex) {
      out = std::string("ERR ") + ex.what();
    }
    size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
    _exit(0);  // no destructors of the parent's objects in the child
  }
  close(fds[1]);
  std::string all;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  ChildResult r;
  r.peak_kb = ru.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    r.text = "child ended abnormally (status " + std::to_string(status) + ")";
    return r;
  }
  if (all.rfind("OK ", 0) == 0) {
    const size_t nl = all.find('\n');
    std::sscanf(all.c_str() + 3, "%lf %lf", &r.cpu_s, &r.wall_s);
    r.text = nl == std::string::npos ? "" : all.substr(nl + 1);
    r.ok = true;
  } else {
    r.text = all.rfind("ERR ", 0) == 0 ? all.substr(4) : all;
  }
  return r;
}

std::string serialize(const Snapshot& s) {
  std::string out;
  for (auto& [k, v] : s) {
    std::string value = v;
    std::replace(value.begin(), value.end(), '\n', ' ');
    out += k + "=" + value + "\n";
  }
  return out;
}

Snapshot deserialize(const std::string& text) {
  Snapshot s;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) s[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return s;
}

// ------------------------------------------------------------ read-back check

// Probes `file` and compares it with what the target asks for.
std::string read_back(const std::string& file, const Target& t, double seconds, int in_width, int in_height,
                      int in_rate, int in_channels, int frames) {
  const testmedia::FileInfo f = testmedia::probe(file);
  if (!f.ok) return "FAIL unreadable: " + f.error;
  const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
  const testmedia::StreamInfo* a = f.first(AVMEDIA_TYPE_AUDIO);
  std::string problems;
  char summary[256] = "";
  if (!v || !a) return "FAIL missing stream";
  const double vdur = v->last_end_s - v->first_pts_s;
  const double adur = static_cast<double>(a->samples_decoded) / std::max(a->sample_rate, 1);
  std::snprintf(summary, sizeof summary, "%s %dx%d %lld frames %.3f s, %s %d Hz %d ch %.3f s", v->codec.c_str(),
                v->width, v->height, static_cast<long long>(v->frames_decoded), vdur, a->codec.c_str(),
                a->sample_rate, a->channels, adur);
  const int want_w = t.width ? t.width : in_width, want_h = t.height ? t.height : in_height;
  const int want_rate = t.sample_rate ? t.sample_rate : in_rate, want_ch = t.channels ? t.channels : in_channels;
  if (v->codec != t.video_id) problems += " video codec";
  if (v->width != want_w || v->height != want_h) problems += " size";
  if (std::llabs(v->frames_decoded - frames) > 1) problems += " frame count";
  if (v->decode_errors) problems += " video decode errors";
  if (std::fabs(vdur - seconds) > 0.1) problems += " video duration";
  if (a->codec != t.audio_id) problems += " audio codec";
  if (a->sample_rate != want_rate || a->channels != want_ch) problems += " audio format";
  if (std::fabs(adur - seconds) > 0.1) problems += " audio duration";
  if (a->peak_amplitude < 0.1) problems += " silent audio";
  return (problems.empty() ? "OK " : "FAIL" + problems + ": ") + summary;
}

// ------------------------------------------------------------ figures

struct Figures {
  double cpu = INFINITY, wall = INFINITY;
  long peak_kb = 0;
  int runs = 0;
  void add(const ChildResult& r) {
    cpu = std::min(cpu, r.cpu_s);
    wall = std::min(wall, r.wall_s);
    peak_kb = std::max(peak_kb, r.peak_kb);
    runs++;
  }
};

struct Row {
  const Target* target = nullptr;
  int number = 0;
  Figures engine, baseline;
  std::string error;
  std::string check_engine, check_baseline;
  std::vector<std::string> settings_diff;
};

std::string load_average() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

void print_table(const std::vector<Row>& rows, int rounds, double seconds, const std::string& load_before,
                 const std::string& load_after) {
  std::printf("\n| # | Target | Engine CPU s | Baseline CPU s | CPU ratio | Engine wall s | Baseline wall s | "
              "Wall ratio | Engine peak MB | Baseline peak MB | Memory ratio | Met |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (const Row& r : rows) {
    if (!r.error.empty()) {
      std::printf("| %d | %s | %s |||||||||| no |\n", r.number, r.target->label.c_str(), r.error.c_str());
      continue;
    }
    const double cpu_ratio = r.engine.cpu / r.baseline.cpu, wall_ratio = r.engine.wall / r.baseline.wall;
    const double mem_ratio = static_cast<double>(r.engine.peak_kb) / static_cast<double>(r.baseline.peak_kb);
    const bool met = cpu_ratio <= 1.03 && mem_ratio <= 1.2;
    std::printf("| %d | %s | %.2f | %.2f | %.3f | %.2f | %.2f | %.3f | %.1f | %.1f | %.3f | %s |\n", r.number,
                r.target->label.c_str(), r.engine.cpu, r.baseline.cpu, cpu_ratio, r.engine.wall, r.baseline.wall,
                wall_ratio, r.engine.peak_kb / 1024.0, r.baseline.peak_kb / 1024.0, mem_ratio,
                met ? "yes" : (cpu_ratio > 1.03 ? "no (CPU)" : "no (memory)"));
  }
  std::printf("\nInput: %g s 1280x720 25 fps H.264 + AAC 48 kHz stereo. Minimum of %d alternating runs per side "
              "(CPU = user + system of the conversion, each run in its own process; peak = ru_maxrss of that "
              "process, libraries included). Every codec single-threaded. Load average before: %s, after: %s.\n",
              seconds, rounds, load_before.c_str(), load_after.c_str());
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: engine_bench [--rounds N] [--targets 1,2,...] [--seconds S] [--out DIR] [--keep] "
               "[--baseline-s16] [--clip-only]\n"
               "       engine_bench --run engine|baseline --target N --input FILE --output FILE [--baseline-s16]\n");
  std::exit(2);
}

int single_run(const std::string& side, int number, const std::string& input, const std::string& output,
               bool s16_audio) {
  const auto& list = bench::targets();
  if (number < 1 || number > static_cast<int>(list.size()) || input.empty() || output.empty()) usage();
  if (!load_media_libraries()) {
    std::fprintf(stderr, "%s\n", klaventa::library_load_error().c_str());
    return 1;
  }
  try {
    const double cpu0 = cpu_seconds();
    if (side == "engine")
      run_engine(input, output, list[number - 1], nullptr);
    else if (side == "baseline")
      bench::run_baseline(input, output, list[number - 1], nullptr, s16_audio);
    else
      usage();
    std::printf("%s %d: %.2f s CPU\n", side.c_str(), number, cpu_seconds() - cpu0);
  } catch (const std::exception& ex) {
    std::fprintf(stderr, "%s\n", ex.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 2;
  double seconds = 30;
  std::vector<int> numbers;
  std::string out_dir, run_side, run_input, run_output;
  int run_target = 0;
  bool keep = false, s16_audio = false, clip_only = false;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (a == "--rounds") {
      rounds = std::max(1, std::atoi(next().c_str()));
    } else if (a == "--targets") {
      std::stringstream list(next());
      for (std::string n; std::getline(list, n, ',');) numbers.push_back(std::atoi(n.c_str()));
    } else if (a == "--seconds") {
      seconds = std::atof(next().c_str());
      if (seconds < 1 || seconds > 30) usage();
    } else if (a == "--out") {
      out_dir = next();
    } else if (a == "--keep") {
      keep = true;
    } else if (a == "--clip-only") {
      clip_only = true;
    } else if (a == "--baseline-s16") {
      s16_audio = true;
    } else if (a == "--run") {
      run_side = next();
    } else if (a == "--target") {
      run_target = std::atoi(next().c_str());
    } else if (a == "--input") {
      run_input = next();
    } else if (a == "--output") {
      run_output = next();
    } else {
      usage();
    }
  }
  if (!run_side.empty()) return single_run(run_side, run_target, run_input, run_output, s16_audio);

  const auto& list = bench::targets();
  if (numbers.empty())
    for (int n = 1; n <= static_cast<int>(list.size()); n++) numbers.push_back(n);
  for (int n : numbers)
    if (n < 1 || n > static_cast<int>(list.size())) usage();

  bool own_dir = false;
  if (out_dir.empty() && !clip_only) {
    std::string tmpl = (fs::temp_directory_path() / "klaventa-bench-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    out_dir = tmpl;
    own_dir = true;
  }
  if (!clip_only) fs::create_directories(out_dir);

  // The input clip (made once, cached) and its properties.
  if (!clip_only) std::printf("Preparing the input clip...\n");
  ChildResult clip = in_child([seconds] {
    std::string path;
    if (seconds == 30) {
      path = testmedia::path(testmedia::Clip::Bench720p30s);
    } else {
      testmedia::ClipSpec recipe = testmedia::spec_of(testmedia::Clip::Bench720p30s);
      recipe.seconds = seconds;
      recipe.frames = static_cast<int>(std::lround(seconds * 25));
      path = testmedia::make(recipe);
    }
    const testmedia::FileInfo f = testmedia::probe(path, false);
    const testmedia::StreamInfo* v = f.first(AVMEDIA_TYPE_VIDEO);
    const testmedia::StreamInfo* a = f.first(AVMEDIA_TYPE_AUDIO);
    if (!f.ok || !v || !a) throw std::runtime_error("the input clip does not read back: " + f.error);
    return path + "\n" + std::to_string(v->width) + " " + std::to_string(v->height) + " " +
           std::to_string(a->sample_rate) + " " + std::to_string(a->channels) + "\n";
  });
  if (!clip.ok) {
    std::fprintf(stderr, "input clip: %s\n", clip.text.c_str());
    return 1;
  }
  std::istringstream clip_info(clip.text);
  std::string input;
  std::getline(clip_info, input);
  int in_w = 0, in_h = 0, in_rate = 0, in_ch = 0;
  clip_info >> in_w >> in_h >> in_rate >> in_ch;
  if (clip_only) {
    std::printf("%s\n", input.c_str());
    return 0;
  }
  const int frames = static_cast<int>(std::lround(seconds * 25));
  std::printf("Input: %s (%dx%d, %d Hz, %d ch)\nOutputs in %s\n", input.c_str(), in_w, in_h, in_rate, in_ch,
              out_dir.c_str());

  const std::string load_before = load_average();
  std::vector<Row> rows;
  for (int number : numbers) {
    Row row;
    row.number = number;
    row.target = &list[number - 1];
    const Target& t = *row.target;
    const std::string out_engine = out_dir + "/" + std::to_string(number) + "-engine" + t.ext;
    const std::string out_base = out_dir + "/" + std::to_string(number) + "-baseline" + t.ext;
    std::printf("\n[%d] %s\n", number, t.label.c_str());

    Snapshot engine_settings, base_settings;
    for (int round = 0; round < rounds && row.error.empty(); round++) {
      const bool first = round == 0;
      ChildResult b = in_child([&] {
        Snapshot s;
        bench::run_baseline(input, out_base, t, first ? &s : nullptr, s16_audio);
        return serialize(s);
      });
      if (!b.ok) {
        row.error = "baseline: " + b.text;
        break;
      }
      ChildResult e = in_child([&] {
        Snapshot s;
        run_engine(input, out_engine, t, first ? &s : nullptr);
        return serialize(s);
      });
      if (!e.ok) {
        row.error = "engine: " + e.text;
        break;
      }
      std::printf("  round %d: baseline %.2f s CPU %.2f s wall %ld kB, engine %.2f s CPU %.2f s wall %ld kB\n",
                  round + 1, b.cpu_s, b.wall_s, b.peak_kb, e.cpu_s, e.wall_s, e.peak_kb);
      std::fflush(stdout);
      row.baseline.add(b);
      row.engine.add(e);
      if (first) {
        base_settings = deserialize(b.text);
        engine_settings = deserialize(e.text);
        // Both outputs must read back as asked before their timings count.
        ChildResult check = in_child([&] {
          return read_back(out_engine, t, seconds, in_w, in_h, in_rate, in_ch, frames) + "\n" +
                 read_back(out_base, t, seconds, in_w, in_h, in_rate, in_ch, frames) + "\n";
        });
        std::istringstream lines(check.text);
        std::getline(lines, row.check_engine);
        std::getline(lines, row.check_baseline);
        if (!check.ok) row.error = "read-back: " + check.text;
        std::printf("  engine output:   %s\n  baseline output: %s\n", row.check_engine.c_str(),
                    row.check_baseline.c_str());
        if (row.check_engine.rfind("OK", 0) != 0 || row.check_baseline.rfind("OK", 0) != 0)
          row.error = "output does not read back as asked";
      }
    }
    // Settings the two sides gave the codecs and the muxer. The muxer's private
    // options are gone once its trailer is written: a run without a report
    // before that has none to show.
    auto has_group = [](const Snapshot& s, const std::string& prefix) {
      auto it = s.lower_bound(prefix);
      return it != s.end() && it->first.rfind(prefix, 0) == 0;
    };
    if (!has_group(engine_settings, "mux.priv.")) {
      for (auto it = base_settings.lower_bound("mux.priv."); it != base_settings.end() && it->first.rfind("mux.priv.", 0) == 0;)
        it = base_settings.erase(it);
      if (!engine_settings.empty()) std::printf("  (muxer private options not captured from the engine)\n");
    }
    for (auto& [k, v] : base_settings) {
      auto it = engine_settings.find(k);
      const std::string ev = it == engine_settings.end() ? "<absent>" : it->second;
      if (ev != v) row.settings_diff.push_back(k + ": engine " + ev + ", baseline " + v);
    }
    for (auto& [k, v] : engine_settings)
      if (!base_settings.count(k)) row.settings_diff.push_back(k + ": engine " + v + ", baseline <absent>");
    if (base_settings.empty() || engine_settings.empty()) row.settings_diff.push_back("settings not captured");
    if (row.settings_diff.empty()) {
      std::printf("  settings: identical (%zu codec and muxer options compared)\n", base_settings.size());
    } else {
      std::printf("  settings differ:\n");
      for (auto& d : row.settings_diff) std::printf("    %s\n", d.c_str());
    }
    if (!row.error.empty()) std::printf("  error: %s\n", row.error.c_str());
    rows.push_back(row);
  }
  print_table(rows, rounds, seconds, load_before, load_average());
  if (s16_audio) std::printf("The baseline's audio was cut to 16 bits before and after resampling.\n");

  if (own_dir && !keep) fs::remove_all(out_dir);
  bool all_ok = true;
  for (const Row& r : rows) all_ok = all_ok && r.error.empty();
  return all_ok ? 0 : 1;
}
