// The conversion component: a list of tasks (one engine each), their worker
// threads and the five events, the media probe and library loading. No Qt.
//
// Threads: every public operation is called on the owner's thread. In worker
// mode OnLog, OnProgress and OnTerminate run on the task's worker thread with
// the component's lock held; a handler that touches UI objects must hand the
// work to the UI thread without waiting. Never free tasks (ClearTasks,
// RemoveTask) from inside OnTerminate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "component/logging.h"
#include "component/options.h"
#include "component/probe.h"
#include "component/scheduler.h"
#include "engine/engine.h"

enum TLogLevel { llQuiet = 0, llError = 1, llInfo = 2, llDebug = 3, llAll = 4 };

// Events carry the task index (-1: no task / end of batch) and no sender.
using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction& AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                            bool& AUpdate, bool& AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string& AMsg)>;
using TProgressEvent =
    std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality, float ABitRate,
                       int64_t ACurrentSize, int ATotalOutputDuration)>;
using TTerminateEvent = std::function<void(int AIndex, bool AFinished, bool AException, const std::string& AMsg)>;

// One task: an engine with its position in the list, the thread running it
// and copies of its option records.
class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg() = default;
  // A task whose end is still to be reported is stopped and its report
  // awaited first, so that no thread uses it while it is taken apart.
  ~TFFmpeg() override;
  std::atomic<int> Index{-1};
  // Thread that runs the task (0 when none); cleared again when it terminates.
  std::atomic<uint64_t> ThreadID{0};
  TInputOptions InputOptions;
  TOutputOptions OutputOptions;

 private:
  friend class TCustomMediaConverter;
  void ExpectReport();  // a termination report is on its way
  void Reported();      // the component has handled it
  std::mutex ReportMutex_;
  std::condition_variable ReportCv_;
  bool ReportExpected_ = false;
  bool ReportDone_ = false;
};

// Ordered, owning task list. Safe to read from any thread; a task's Index
// always equals its position.
class TFFmpegList {
 public:
  TFFmpegList() = default;
  ~TFFmpegList() { Clear(); }
  TFFmpegList(const TFFmpegList&) = delete;
  TFFmpegList& operator=(const TFFmpegList&) = delete;

  int Count() const;
  // Throws std::out_of_range "List index out of bounds (i)".
  TFFmpeg* Items(int i) const;
  int Add(std::unique_ptr<TFFmpeg> task);
  void Delete(int i);
  void Clear();
  TFFmpeg* FindByThreadID(uint64_t id) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TFFmpeg>> items_;
};

class TCustomMediaConverter {
 public:
  // The scheduler runs main-thread-mode starts on the owner's thread; without
  // one such a start happens at once, inside the call that asks for it.
  explicit TCustomMediaConverter(TScheduler* Scheduler = nullptr);
  virtual ~TCustomMediaConverter();
  TCustomMediaConverter(const TCustomMediaConverter&) = delete;
  TCustomMediaConverter& operator=(const TCustomMediaConverter&) = delete;

  // ---- properties ----
  const std::string& About() const { return About_; }
  void SetAbout(const std::string& v) { About_ = v; }
  TLogLevel LogLevel() const { return LogLevel_; }
  void SetLogLevel(TLogLevel v);
  int ProgressInterval() const { return ProgressInterval_; }
  void SetProgressInterval(int ms) { ProgressInterval_ = ms <= 100 ? 100 : ms; }  // milliseconds
  TConvertPriority ThreadPriority() const { return ThreadPriority_; }
  void SetThreadPriority(TConvertPriority v) { ThreadPriority_ = v; }
  static std::string Version() { return "2.0b"; }
  const std::string& LastErrMsg() const { return LastErrMsg_; }
  TAVProbe& AVProbe() { return *AVProbe_; }
  TFFmpegList& Tasks() { return Tasks_; }
  TScheduler* Scheduler() const { return Scheduler_; }
  void SetScheduler(TScheduler* s) { Scheduler_ = s; }

  // ---- events (assign before starting a batch) ----
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  // ---- operations ----
  // Binds the media libraries (folder, versioned file names) and installs the
  // library log callback.
  bool LoadAVLib(const std::string& LibPath, int AVersioned);
  void ClearTasks();
  // New task with its input opened; its index, or -1 with LastErrMsg. An
  // InputOptions record with an empty FileName gets FileName written into it.
  int AddTask(const std::string& FileName, TInputOptions* InputOptions = nullptr);
  // Configures and creates the task's output; false with LastErrMsg (the task stays).
  bool SetOutputFile(int TaskIndex, const std::string& FileName, TOutputOptions* OutputOptions = nullptr);
  // Throws std::out_of_range for an index that does not exist.
  void RemoveTask(int TaskIndex);
  // N <= 0: one task after another on the owner's thread; N > 0: up to N
  // worker threads at once. Every batch ends with one OnTerminate(-1, ...).
  void StartConvert(int N);
  void StopConvert();
  void PauseConvert();
  void ResumeConvert();
  void ClearLog();

  // ---- engine event targets ----
  virtual void DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction);
  virtual void DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS, bool& AUpdate,
                            bool& AStopHook);
  // Sender nullptr: a library line from a thread that runs no task of ours.
  virtual void DoLog(TCustomFFmpeg* Sender, int ALevel, const std::string& AMsg);
  virtual void DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                          float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration);
  virtual void DoTerminate(TCustomFFmpeg* Sender);

  // A library line from the log routing. Not virtual: it may arrive from any
  // thread while a derived part is still being built or already taken apart.
  void DeliverLibraryLine(TFFmpeg* Task, int ALevel, const std::string& AMsg);

  // Old library level (-1 .. 3, higher = more detail) as TLogLevel.
  static TLogLevel LogLevelFromLibrary(int ALevel);

  // Re-entrant; held while events run and while tasks are started or stopped.
  std::recursive_mutex& Lock() { return Lock_; }

 protected:
  // Creates the engine of a new task (tests stand in their own engines).
  virtual std::unique_ptr<TFFmpeg> NewTask() { return std::make_unique<TFFmpeg>(); }
  // Leaves the registry, stops and frees every task and waits for running
  // events; afterwards no other thread calls into the component. Idempotent.
  void Shutdown();

 private:
  friend struct LogRouting;  // registry bookkeeping (logging.cpp)
  void StartNextTask();
  void RunTask(int i);
  void ConnectTask(TFFmpeg* task);

  std::string About_;
  std::string LastErrMsg_;
  int NextIndex_ = -1;
  int ThreadCount_ = 0;
  std::atomic<TLogLevel> LogLevel_{llInfo};
  std::atomic<int> ProgressInterval_{500};
  std::atomic<TConvertPriority> ThreadPriority_{tpNormal};
  std::unique_ptr<TAVProbe> AVProbe_;
  TFFmpegList Tasks_;
  std::recursive_mutex Lock_;
  int FinishedCount_ = 0;
  int PendingCount_ = 0;
  unsigned Batch_ = 0;  // start timers of an earlier batch are ignored
  bool Closing_ = false;
  bool ShutDown_ = false;  // owner's thread only
  TScheduler* Scheduler_ = nullptr;
  std::shared_ptr<TCustomMediaConverter*> Alive_;  // start timers check it before running
  int LogDeliveries_ = 0;  // library lines being delivered (under the registry lock)
};

// The class an application places: every property and event is public.
// A class derived from it calls Shutdown() first thing in its destructor, so
// that no thread calls into it while it is taken apart.
class TMediaConverter : public TCustomMediaConverter {
 public:
  using TCustomMediaConverter::TCustomMediaConverter;
  ~TMediaConverter() override { Shutdown(); }
};

// ---- option records -------------------------------------------------------
namespace klaventa {

// Splits name=value lines and hands each to engine.set_option.
void apply_ext_options(TCustomFFmpeg& engine, const std::string& text);
void apply_input_options(TCustomFFmpeg& engine, const TInputOptions& options);
// Every field but the hook selection (which needs the component).
void apply_output_options(TCustomFFmpeg& engine, const TOutputOptions& options);
// "start-end" pairs in milliseconds, comma separated -> microseconds.
std::vector<THookRange> parse_hook_ranges(const std::string& text);
// Days since 1899-12-30 (local time, standard zone offset) -> seconds since 1970 UTC.
int64_t timestamp_to_unix(double days);
// Successor of an encoder name today's libraries lack ("libfaac" -> "aac"), or the name itself.
std::string encoder_successor(const std::string& name);

}  // namespace klaventa
