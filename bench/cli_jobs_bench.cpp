// cli_jobs_bench: four 30-second 1280x720 25 fps clips converted to
// "MP4 - MPEG4 Video (*.mp4)" by klaventa-cli with -j 1 and -j 2; wall time,
// CPU time of the child and the speed-up.
//
//   cli_jobs_bench [--cli PATH] [--runs N]
//
// The clips are generated once into the media cache ($KLAVENTA_MEDIA_DIR).
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
#include <string>
#include <vector>

#include "media/testmedia.h"

namespace fs = std::filesystem;

namespace {

constexpr int kClips = 4;
constexpr int kFrames = 750;
const char* const kProfile = "MP4 - MPEG4 Video (*.mp4)";

double cpu_seconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct Run {
  int jobs = 0;
  double wall = 0, cpu = 0;
  bool ok = false;
};

Run convert(const std::string& cli, int jobs, const std::vector<std::string>& clips, const std::string& out) {
  Run run;
  run.jobs = jobs;
  std::vector<std::string> args = {cli, "-q", "--overwrite", "-p", kProfile, "-j", std::to_string(jobs), "-o", out};
  args.insert(args.end(), clips.begin(), clips.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  getrusage(RUSAGE_CHILDREN, &after);
  run.cpu = cpu_seconds(after) - cpu_seconds(before);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok) std::fprintf(stderr, "klaventa-cli -j %d ended with status %d\n", jobs, status);

  // Every output must hold the whole clip.
  for (const std::string& clip : clips) {
    const std::string output = (fs::path(out) / fs::path(clip).stem()).string() + ".mp4";
    const testmedia::FileInfo info = testmedia::probe(output, false);
    const testmedia::StreamInfo* v = info.ok ? info.first(AVMEDIA_TYPE_VIDEO) : nullptr;
    if (!v || std::fabs(info.duration_s - 30.0) > 0.5 || v->width != 1280 || v->height != 720) {
      std::fprintf(stderr, "%s: not a 30 s 1280x720 output (%s)\n", output.c_str(), info.error.c_str());
      run.ok = false;
    }
  }
  return run;
}

std::string default_cli() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return (exe.parent_path().parent_path() / "src" / "cli" / "klaventa-cli").string();
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  std::string cli = default_cli();
  int runs = 1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--cli") && i + 1 < argc) {
      cli = argv[++i];
    } else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--cli PATH] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  if (!fs::exists(cli)) {
    std::fprintf(stderr, "%s not found (build klaventa-cli or pass --cli)\n", cli.c_str());
    return 2;
  }

  std::printf("Preparing %d clips of %d frames 1280x720 (cached in %s) ...\n", kClips, kFrames,
              testmedia::cache_dir().c_str());
  std::fflush(stdout);
  std::vector<std::string> clips;
  const std::string in = testmedia::temp_dir();
  for (int i = 0; i < kClips; ++i) {
    testmedia::ClipSpec spec = testmedia::spec_of(testmedia::Clip::Bench720p30s);
    spec.tone_hz = 440.0 + 110.0 * i;  // four different files
    // Named copies: the outputs are named after the inputs.
    const fs::path named = fs::path(in) / ("bench" + std::to_string(i + 1) + ".mp4");
    fs::create_symlink(testmedia::make(spec), named);
    clips.push_back(named.string());
  }
  const std::string out = (fs::path(in) / "out").string();
  fs::create_directories(out);

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("CPU: %s, %ld cores online, load average %.2f\n", cpu_model().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              load[0]);

  // -j 1 and -j 2 alternate, so a change in machine load hits both alike.
  std::vector<Run> one, two;
  bool ok = true;
  for (int r = 0; r < runs; ++r) {
    for (int jobs : {1, 2}) {
      const Run run = convert(cli, jobs, clips, out);
      ok = ok && run.ok;
      (jobs == 1 ? one : two).push_back(run);
      std::printf("run %d, -j %d: wall %.2f s, CPU %.2f s\n", r + 1, jobs, run.wall, run.cpu);
      std::fflush(stdout);
    }
  }
  auto best = [](const std::vector<Run>& v) {
    return *std::min_element(v.begin(), v.end(), [](const Run& a, const Run& b) { return a.wall < b.wall; });
  };
  const Run b1 = best(one), b2 = best(two);
  const double speedup = b1.wall / b2.wall;

  std::printf("\n| jobs | wall time (s) | CPU time (s) | CPU / wall | speed-up |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const Run& b : {b1, b2})
    std::printf("| -j %d | %.2f | %.2f | %.2f | %.2fx |\n", b.jobs, b.wall, b.cpu, b.cpu / b.wall, b1.wall / b.wall);
  std::printf("\nspeed-up of -j 2 over -j 1: %.2fx (target 1.8x): %s\n", speedup,
              speedup >= 1.8 ? "met" : "NOT met");
  std::printf("frames per second: -j 1 %.0f, -j 2 %.0f\n", kClips * kFrames / b1.wall, kClips * kFrames / b2.wall);
  return ok ? 0 : 1;
}
