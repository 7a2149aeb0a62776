// klaventa-cli: converts files with the window's profiles and settings.
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cli/args.h"
#include "cli/report.h"
#include "component/converter.h"
#include "profiles/profiles.h"

namespace fs = std::filesystem;
using namespace klaventa::cli;

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_interrupts = 0;

void on_interrupt(int) {
  if (g_interrupts) {
    const char nl = '\n';
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, &nl, 1);
    _exit(130);
  }
  g_interrupts = 1;
}

// SIGINT reaches the main thread only while it waits; every other thread
// (workers, library threads) is created with it blocked.
void block_interrupt(bool block) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

std::string library_folder() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string();
  return (exe.parent_path() / "Common Files").string();
}

int terminal_width() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

bool live_terminal() {
  if (!isatty(STDOUT_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return !(term && std::strcmp(term, "dumb") == 0);
}

void print_profiles() {
  for (const auto& [pos, label] : offered_profiles()) std::printf("%d\t%s\n", pos, label.c_str());
}

void print_settings(const ProfileModel& m) {
  std::printf("Profile: %d\t%s\n", m.ComboOutputFormat.selected, m.ComboOutputFormat.text().c_str());
  for (const SettingOption& s : kSettingOptions) {
    const SettingList& list = m.*(s.list);
    std::printf("%s (%s):\n", s.label, s.option);
    if (list.entries.empty()) std::printf("    (none)\n");
    for (int i = 0; i < list.count(); ++i)
      std::printf("  %c %s\n", i == list.selected ? '*' : ' ', list.entries[static_cast<size_t>(i)].c_str());
  }
}

struct FileRow;
std::string failure_text(const FileRow& row);

struct FileRow {
  std::string input;
  std::string name;    // file-name part, for progress lines
  std::string output;  // empty until the output is set
  int task = -1;
  std::string result;  // "Done", "Fail", "Abort"
  std::string message;
  bool started = false, ended = false;
  Clock::time_point start{}, end{};
  int frame = -1, fps = 0, current_ms = 0, total_ms = 0;
  int reports = 0, reports_shown = 0;
  Clock::time_point last_line{};
  bool end_shown = false;
};

// The message without a leading "input: " (the summary names the input).
std::string failure_text(const FileRow& row) {
  std::string message = row.message.empty() ? std::string("(no message)") : row.message;
  if (message.rfind(row.input + ": ", 0) == 0) message.erase(0, row.input.size() + 2);
  return message;
}

class Runner {
 public:
  Runner(const Options& o, const ProfileModel& m) : o_(o), m_(m), live_(!o.quiet && live_terminal()) {}

  int run() {
    conv_.SetLogLevel(o_.log_level);
    conv_.OnLog = [this](int index, TLogLevel level, const std::string& msg) {
      // Failure messages of a run (llQuiet) count as errors.
      if (o_.quiet || o_.log_level == llQuiet || std::max(level, llError) > o_.log_level) return;
      on_log(index, msg);
    };
    conv_.OnProgress = [this](int index, int frame, int fps, int current, float, float, int64_t, int total) {
      on_progress(index, frame, fps, current, total);
    };
    conv_.OnTerminate = [this](int index, bool finished, bool exception, const std::string& msg) {
      on_terminate(index, finished, exception, msg);
    };
    if (!conv_.LoadAVLib(library_folder(), 1)) {
      std::fprintf(stderr, "klaventa-cli: the media libraries cannot be loaded: %s\n", conv_.LastErrMsg().c_str());
      return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    block_interrupt(true);

    const int tasks = prepare();
    if (tasks > 0 && !interrupted()) convert(tasks);
    // Releasing the tasks closes every output; one never written is deleted.
    conv_.ClearTasks();
    {
      std::lock_guard lock(mutex_);
      for (FileRow& row : rows_)
        if (row.result.empty()) row.result = "Abort";
    }
    refresh(true);
    summary();

    if (interrupted()) return 130;
    for (const FileRow& row : rows_)
      if (row.result != "Done") return 1;
    return 0;
  }

 private:
  static bool interrupted() { return g_interrupts != 0; }

  // Lets a pending Ctrl-C in.
  static void poll_interrupt() {
    block_interrupt(false);
    block_interrupt(true);
  }

  // The window's steps for each file: probe, AddTask, ApplyProfile, volume,
  // aspect, SetOutputFile. Returns the number of tasks.
  int prepare() {
    const std::string ext = "." + lower_ext();
    const std::string folder = o_.output_dir.empty() ? fs::current_path().string() : o_.output_dir;
    std::string ext_options;
    for (const std::string& line : o_.ext_options) ext_options += line + "\n";

    std::set<std::string> reserved;  // inputs and the outputs chosen so far
    for (const std::string& file : o_.files) reserved.insert(path_key(file));

    {
      std::lock_guard lock(mutex_);
      for (const std::string& file : o_.files) {
        FileRow row;
        row.input = file;
        row.name = fs::path(file).filename().string();
        if (row.name.empty()) row.name = file;
        rows_.push_back(row);
      }
    }

    int tasks = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
      poll_interrupt();
      if (interrupted()) break;
      {
        std::lock_guard lock(mutex_);
        preparing_ = static_cast<int>(i);
      }
      std::string error;
      const std::string output = prepare_file(static_cast<int>(i), folder, ext, ext_options, reserved, error);
      {
        std::lock_guard lock(mutex_);
        preparing_ = -1;
        FileRow& row = rows_[i];
        if (output.empty()) {
          row.result = "Fail";
          row.message = error;
        } else {
          row.output = output;
          row.task = tasks++;
          task_rows_.push_back(static_cast<int>(i));
          reserved.insert(path_key(output));
        }
      }
      refresh(false);
    }
    return tasks;
  }

  // The output path, or empty with `error`.
  std::string prepare_file(int i, const std::string& folder, const std::string& ext, const std::string& ext_options,
                           const std::set<std::string>& reserved, std::string& error) {
    const std::string input = rows_[static_cast<size_t>(i)].input;
    std::string video_size = " ";
    TAVProbe& probe = conv_.AVProbe();
    try {
      if (!probe.LoadFile(input, "")) {
        error = probe.LastError().empty() ? "The file cannot be read" : probe.LastError();
        return std::string();
      }
      if (probe.VideoStreamCount() != 0) {
        TAVVideoInfo video;
        probe.GetVideoInfo(video);
        video_size = std::to_string(video.Width) + "x" + std::to_string(video.Height);
      }
      probe.CloseFile();
    } catch (const std::exception& e) {
      probe.CloseFile();
      error = e.what();
      return std::string();
    }

    const std::string output = output_name(folder, input, ext, o_.overwrite, reserved);
    TInputOptions in;
    in.FileName = input;
    in.StartTime = 0;
    const int task = conv_.AddTask(input, &in);
    if (task < 0) {
      error = conv_.LastErrMsg();
      return std::string();
    }

    TOutputOptions record;
    try {
      ApplyProfile(m_, record, i);
    } catch (const std::exception& e) {
      error = e.what();
      conv_.RemoveTask(task);
      return std::string();
    }
    record.AudioVolume = volume_factor(o_.volume_percent);
    switch (m_.ComboAspectRatio.selected) {
      case 1: record.FrameAspectRatio = "4:3"; break;
      case 2: record.FrameAspectRatio = "16:9"; break;
      default: record.FrameAspectRatio = aspect_from_video_size(video_size); break;
    }
    record.ExtOptions = ext_options;
    if (!conv_.SetOutputFile(task, output, &record)) {
      error = conv_.LastErrMsg();
      conv_.RemoveTask(task);
      return std::string();
    }
    return output;
  }

  std::string lower_ext() const {
    std::string ext = m_.OutputExt;
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
  }

  void convert(int tasks) {
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      next_start_ = std::min(o_.jobs, tasks);
      for (int t = 0; t < next_start_; ++t) {
        FileRow& row = rows_[static_cast<size_t>(task_rows_[static_cast<size_t>(t)])];
        row.started = true;
        row.start = now;
      }
    }
    try {
      conv_.StartConvert(o_.jobs);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "klaventa-cli: %s\n", e.what());
      conv_.StopConvert();
    }
    bool stop_sent = false;
    for (;;) {
      block_interrupt(false);
      sched_.RunUntil(
          [&] {
            if (interrupted() && !stop_sent) return true;
            std::lock_guard lock(mutex_);
            return batch_done_;
          },
          std::chrono::milliseconds(live_ ? 200 : 250));
      block_interrupt(true);
      if (interrupted() && !stop_sent) {
        stop_sent = true;
        {
          std::lock_guard lock(mutex_);
          stopping_ = true;
        }
        conv_.StopConvert();
      }
      refresh(false);
      std::lock_guard lock(mutex_);
      if (batch_done_) break;
      // Should the end of the batch never be reported, every task's end still is.
      if (std::all_of(task_rows_.begin(), task_rows_.end(), [&](int r) { return rows_[static_cast<size_t>(r)].ended; }))
        break;
    }
  }

  // ---- component events (worker threads, component lock held) ----

  FileRow* row_of_task(int index) {
    if (index < 0 || index >= static_cast<int>(task_rows_.size())) return nullptr;
    return &rows_[static_cast<size_t>(task_rows_[static_cast<size_t>(index)])];
  }

  void on_log(int index, const std::string& msg) {
    std::string text = msg;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return;
    std::lock_guard lock(mutex_);
    const FileRow* row = row_of_task(index);
    if (!row && preparing_ >= 0) row = &rows_[static_cast<size_t>(preparing_)];
    logs_.push_back(row ? "[" + row->name + "] " + text : text);
  }

  void on_progress(int index, int frame, int fps, int current, int total) {
    std::lock_guard lock(mutex_);
    FileRow* row = row_of_task(index);
    if (!row) return;
    if (!row->started) {
      row->started = true;
      row->start = Clock::now();
    }
    row->frame = frame;
    row->fps = fps;
    row->current_ms = current;
    row->total_ms = total;
    ++row->reports;
  }

  void on_terminate(int index, bool finished, bool exception, const std::string& msg) {
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      if (index < 0) {
        batch_done_ = true;
      } else if (FileRow* row = row_of_task(index)) {
        if (!row->started) {
          row->started = true;
          row->start = now;
        }
        row->ended = true;
        row->end = now;
        row->result = exception ? "Fail" : finished ? "Done" : "Abort";
        row->message = msg;
        // The component starts the next waiting task in this same event.
        if (!stopping_ && next_start_ < static_cast<int>(task_rows_.size())) {
          FileRow& next = rows_[static_cast<size_t>(task_rows_[static_cast<size_t>(next_start_++)])];
          next.started = true;
          next.start = now;
        }
      }
    }
    sched_.Wake();
  }

  // ---- output ----

  void refresh(bool final) {
    std::vector<std::string> lines, logs, live;
    {
      std::lock_guard lock(mutex_);
      logs.assign(logs_.begin(), logs_.end());
      logs_.clear();
      if (o_.quiet) return;
      const auto now = Clock::now();
      for (FileRow& row : rows_) {
        if (!row.result.empty()) {
          if (!row.end_shown && (row.ended || final || row.task < 0)) {
            row.end_shown = true;
            std::string line = row.name + ": " + row.result;
            if (row.result == "Fail") line += ": " + failure_text(row);
            lines.push_back(line);
          }
          continue;
        }
        if (!row.started || row.ended) continue;
        ProgressView p;
        p.name = row.name;
        p.frame = row.frame;
        p.fps = row.fps;
        p.current_ms = row.current_ms;
        p.total_ms = row.total_ms;
        p.elapsed_s = std::chrono::duration<double>(now - row.start).count();
        if (live_) {
          live.push_back(progress_line(p));
        } else if (row.reports > row.reports_shown &&
                   (row.reports_shown == 0 || now - row.last_line >= std::chrono::seconds(1))) {
          row.reports_shown = row.reports;
          row.last_line = now;
          lines.push_back(progress_line(p));
        }
      }
    }

    if (live_ && live_lines_ > 0) std::printf("\x1b[%dF\x1b[J", live_lines_);
    live_lines_ = 0;
    for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    for (const std::string& line : logs) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    if (live_ && !final) {
      const int width = std::max(terminal_width() - 1, 10);
      for (const std::string& line : live) std::printf("%s\n", fit(line, width).c_str());
      live_lines_ = static_cast<int>(live.size());
      std::fflush(stdout);
    }
  }

  void summary() {
    std::vector<std::vector<std::string>> table{{"Input", "Result", "Output", "Size", "Time"}};
    std::vector<std::string> failures;
    for (const FileRow& row : rows_) {
      std::error_code ec;
      const bool exists = !row.output.empty() && fs::is_regular_file(row.output, ec);
      const int64_t size = exists ? static_cast<int64_t>(fs::file_size(row.output, ec)) : -1;
      const double seconds =
          row.started && row.ended ? std::chrono::duration<double>(row.end - row.start).count() : -1.0;
      table.push_back({row.input, row.result, exists ? row.output : "-", exists && !ec ? size_text(size) : "-",
                       time_text(seconds)});
      if (row.result == "Fail") failures.push_back(row.input + ": " + failure_text(row));
    }
    if (o_.quiet) {
      for (const std::string& f : failures) std::fprintf(stderr, "klaventa-cli: %s\n", f.c_str());
      return;
    }
    std::printf("\n%s", table_text(table).c_str());
    if (!failures.empty()) {
      std::printf("\nFailures:\n");
      for (const std::string& f : failures) std::printf("  %s\n", f.c_str());
    }
    if (interrupted()) std::printf("\nInterrupted.\n");
    std::fflush(stdout);
  }

  const Options& o_;
  const ProfileModel& m_;
  const bool live_;
  int live_lines_ = 0;

  std::mutex mutex_;  // rows_, logs_ and the fields below while the batch runs
  std::vector<FileRow> rows_;
  std::vector<int> task_rows_;  // task index -> row
  std::deque<std::string> logs_;
  int preparing_ = -1;
  int next_start_ = 0;
  bool stopping_ = false;
  bool batch_done_ = false;

  TLoopScheduler sched_;
  TMediaConverter conv_{&sched_};  // destroyed first: no event outlives the fields above
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  ProfileModel model;
  try {
    o = parse_arguments(argc, argv);
    if (o.help) {
      std::fputs(help_text().c_str(), stdout);
      return 0;
    }
    if (o.list_profiles) {
      print_profiles();
      return 0;
    }
    const int position = o.profile.empty() ? 0 : find_profile(o.profile);
    prepare_model(model, position, o);
  } catch (const UsageError& e) {
    std::string text = e.what();
    if (!text.empty() && text.back() == '\n') text.pop_back();
    std::fprintf(stderr, "klaventa-cli: %s\nTry 'klaventa-cli --help'.\n", text.c_str());
    return 2;
  }
  if (o.show_settings) {
    print_settings(model);
    return 0;
  }
  Runner runner(o, model);
  return runner.run();
}
