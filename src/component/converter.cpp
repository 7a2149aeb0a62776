// TCustomMediaConverter: task list, starting and stopping, engine events.
#include "component/converter.h"

#include <stdexcept>

#include "binding/loader.h"

// ---- TFFmpeg ----------------------------------------------------------------

TFFmpeg::~TFFmpeg() {
  std::unique_lock lock(ReportMutex_);
  if (!ReportExpected_ || ReportDone_) return;
  lock.unlock();
  request_stop();
  lock.lock();
  ReportCv_.wait(lock, [this] { return ReportDone_; });
}

void TFFmpeg::ExpectReport() {
  std::lock_guard lock(ReportMutex_);
  ReportExpected_ = true;
}

void TFFmpeg::Reported() {
  // Notified under the lock: the destructor may free the task right after.
  std::lock_guard lock(ReportMutex_);
  ReportDone_ = true;
  ReportCv_.notify_all();
}

// ---- TFFmpegList ------------------------------------------------------------

namespace {

[[noreturn]] void index_error(int i) {
  throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
}

}  // namespace

int TFFmpegList::Count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(items_.size());
}

TFFmpeg* TFFmpegList::Items(int i) const {
  std::lock_guard lock(mutex_);
  if (i < 0 || i >= static_cast<int>(items_.size())) index_error(i);
  return items_[static_cast<size_t>(i)].get();
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
  std::lock_guard lock(mutex_);
  const int index = static_cast<int>(items_.size());
  task->Index = index;
  items_.push_back(std::move(task));
  return index;
}

void TFFmpegList::Delete(int i) {
  std::unique_ptr<TFFmpeg> gone;
  {
    std::lock_guard lock(mutex_);
    if (i < 0 || i >= static_cast<int>(items_.size())) index_error(i);
    gone = std::move(items_[static_cast<size_t>(i)]);
    items_.erase(items_.begin() + i);
    for (size_t k = static_cast<size_t>(i); k < items_.size(); ++k) items_[k]->Index = static_cast<int>(k);
  }
  // Freed outside the list lock: the engine waits for its worker, which may
  // still be looking tasks up.
  gone.reset();
}

void TFFmpegList::Clear() {
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(items_);
  }
  for (auto& task : gone) task.reset();  // ascending order
}

TFFmpeg* TFFmpegList::FindByThreadID(uint64_t id) const {
  if (id == 0) return nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& task : items_)
    if (task->ThreadID == id) return task.get();
  return nullptr;
}

// ---- TCustomMediaConverter --------------------------------------------------

TCustomMediaConverter::TCustomMediaConverter(TScheduler* Scheduler)
    : AVProbe_(std::make_unique<TAVProbe>()),
      Scheduler_(Scheduler),
      Alive_(std::make_shared<TCustomMediaConverter*>(this)) {
  LogRouting::Register(this);
}

TCustomMediaConverter::~TCustomMediaConverter() {
  Shutdown();
  AVProbe_.reset();
}

void TCustomMediaConverter::Shutdown() {
  if (ShutDown_) return;
  ShutDown_ = true;
  LogRouting::Unregister(this);  // waits for lines being delivered to it
  {
    std::lock_guard lock(Lock_);
    Closing_ = true;
    PendingCount_ = 0;
  }
  Alive_.reset();
  Tasks_.Clear();  // each engine stops and waits for its worker
  { std::lock_guard lock(Lock_); }  // an event still running ends first
}

void TCustomMediaConverter::SetLogLevel(TLogLevel v) {
  LogLevel_ = v;
  if (klaventa::libraries_loaded()) {
    ff::av_log_set_level(klaventa::av_level_from_old(static_cast<int>(v) - 1));
    klaventa::set_log_threshold(klaventa::old_level_from_av(ff::av_log_get_level()));
  }
}

bool TCustomMediaConverter::LoadAVLib(const std::string& LibPath, int AVersioned) {
  if (!klaventa::load_libraries(LibPath, AVersioned != 0)) {
    LastErrMsg_ = klaventa::library_load_error();
    return false;
  }
  klaventa::install_library_log_callback();
  SetLogLevel(LogLevel_);
  return true;
}

void TCustomMediaConverter::ClearTasks() {
  {
    std::lock_guard lock(Lock_);
    ThreadCount_ = 0;
  }
  Tasks_.Clear();
  LastErrMsg_.clear();
}

void TCustomMediaConverter::ConnectTask(TFFmpeg* task) {
  task->OnLog = [this, task](int level, const std::string& msg) { DoLog(task, level, msg); };
  task->OnProgress = [this, task](int frame, int fps, int duration, float quality, float bit_rate, int64_t size,
                                  int total) { DoProgress(task, frame, fps, duration, quality, bit_rate, size, total); };
  task->OnTerminate = [this, task] {
    struct Done {
      TFFmpeg* task;
      ~Done() { task->Reported(); }  // last touch of the task by this thread
    } done{task};
    DoTerminate(task);
  };
}

int TCustomMediaConverter::AddTask(const std::string& FileName, TInputOptions* InputOptions) {
  try {
    std::unique_ptr<TFFmpeg> task = NewTask();
    task->reset();
    task->set_verbose(static_cast<int>(LogLevel()) - 1);
    if (InputOptions) {
      if (InputOptions->FileName.empty()) InputOptions->FileName = FileName;
      task->InputOptions = *InputOptions;
      klaventa::apply_input_options(*task, task->InputOptions);
    }
    bool ok;
    {
      klaventa::DeferLibraryLog defer;
      ok = task->open_input_file(FileName);
    }
    if (!ok) {
      LastErrMsg_ = task->last_error;
      return -1;
    }
    ConnectTask(task.get());
    return Tasks_.Add(std::move(task));
  } catch (const std::exception& e) {
    LastErrMsg_ = e.what();
    return -1;
  }
}

bool TCustomMediaConverter::SetOutputFile(int TaskIndex, const std::string& FileName, TOutputOptions* OutputOptions) {
  try {
    TFFmpeg* task = Tasks_.Items(TaskIndex);
    if (OutputOptions) {
      if (OutputOptions->FileName.empty()) OutputOptions->FileName = FileName;
      task->OutputOptions = *OutputOptions;
      const TOutputOptions& o = task->OutputOptions;
      klaventa::apply_output_options(*task, o);
      if (o.CustomHook) {
        task->OnCustomHook = [this, task](TBitmap& bitmap, int frame, int64_t pts, bool& update, bool& stop) {
          DoCustomHook(task, bitmap, frame, pts, update, stop);
        };
      } else if (o.BeforeHook) {
        task->OnBeforeHook = [this, task](int64_t pts, THookAction& action) { DoBeforeHook(task, pts, action); };
      } else {
        task->set_hook_ranges(klaventa::parse_hook_ranges(o.HookRanges));
      }
    } else {
      task->OutputOptions = TOutputOptions();
    }
    bool ok;
    {
      klaventa::DeferLibraryLog defer;
      ok = task->open_output_file(FileName);
    }
    if (!ok) LastErrMsg_ = task->last_error;
    return ok;
  } catch (const std::exception& e) {
    LastErrMsg_ = e.what();
    return false;
  }
}

void TCustomMediaConverter::RemoveTask(int TaskIndex) { Tasks_.Delete(TaskIndex); }

void TCustomMediaConverter::StartConvert(int N) {
  ClearLog();
  std::lock_guard lock(Lock_);
  ++Batch_;
  NextIndex_ = 0;
  FinishedCount_ = 0;
  ThreadCount_ = N;
  PendingCount_ = Tasks_.Count();
  int n = N;
  while (PendingCount_ > 0) {
    StartNextTask();
    if (--n <= 0) break;
  }
}

// Called with Lock held.
void TCustomMediaConverter::StartNextTask() {
  if (PendingCount_ <= 0 || Closing_) return;
  --PendingCount_;
  // Taken before the start: a start that fails at once terminates the task
  // and comes back here for the next one.
  const int index = NextIndex_++;
  if (ThreadCount_ > 0 || !Scheduler_) {
    RunTask(index);
    return;
  }
  std::weak_ptr<TCustomMediaConverter*> alive = Alive_;
  const unsigned batch = Batch_;
  Scheduler_->PostDelayed(100, [alive, batch, index] {
    std::shared_ptr<TCustomMediaConverter*> self = alive.lock();
    if (!self) return;
    TCustomMediaConverter* c = *self;
    {
      std::lock_guard lock(c->Lock_);
      if (c->Batch_ != batch || c->Closing_) return;
    }
    c->RunTask(index);
  });
}

void TCustomMediaConverter::RunTask(int i) {
  TFFmpeg* task;
  try {
    task = Tasks_.Items(i);
  } catch (const std::out_of_range&) {
    return;  // the list changed since the start was planned
  }
  task->progress_interval = static_cast<int64_t>(ProgressInterval()) * 1000;
  task->set_verbose(static_cast<int>(LogLevel()) - 1);
  bool main_thread;
  {
    std::lock_guard lock(Lock_);
    main_thread = ThreadCount_ <= 0;
  }
  task->ExpectReport();
  if (main_thread) {
    task->ThreadID = current_thread_id();
    task->start_conversion(false, ThreadPriority());
    return;
  }
  TFFmpegThread* thread = task->start_conversion(true, ThreadPriority());
  if (thread) {
    task->ThreadID = thread->thread_id();
    thread->resume();
  } else {
    task->ThreadID = 0;
  }
}

void TCustomMediaConverter::StopConvert() {
  std::lock_guard lock(Lock_);
  PendingCount_ = 0;
  for (int i = 0, n = Tasks_.Count(); i < n; ++i) {
    TFFmpeg* task = Tasks_.Items(i);
    if (!task->terminated) task->ExpectReport();  // running, or reported from another thread
    task->stop_conversion();
  }
}

void TCustomMediaConverter::PauseConvert() {
  std::lock_guard lock(Lock_);
  for (int i = 0, n = Tasks_.Count(); i < n; ++i) Tasks_.Items(i)->pause_conversion();
}

void TCustomMediaConverter::ResumeConvert() {
  std::lock_guard lock(Lock_);
  for (int i = 0, n = Tasks_.Count(); i < n; ++i) Tasks_.Items(i)->resume_conversion();
}

void TCustomMediaConverter::ClearLog() { LogRouting::ClearLog(); }

// ---- engine events ----------------------------------------------------------

namespace {

int index_of(TCustomFFmpeg* sender) {
  const TFFmpeg* task = dynamic_cast<const TFFmpeg*>(sender);
  return task ? task->Index.load() : -1;
}

}  // namespace

TLogLevel TCustomMediaConverter::LogLevelFromLibrary(int ALevel) {
  if (ALevel < 0) return llQuiet;
  if (ALevel >= 4) return llAll;
  return static_cast<TLogLevel>(ALevel + 1);
}

void TCustomMediaConverter::DoBeforeHook(TCustomFFmpeg* Sender, int64_t APTS, THookAction& AHookAction) {
  if (OnBeforeHook) OnBeforeHook(index_of(Sender), APTS, AHookAction);
}

void TCustomMediaConverter::DoCustomHook(TCustomFFmpeg* Sender, TBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                                         bool& AUpdate, bool& AStopHook) {
  if (OnCustomHook) OnCustomHook(index_of(Sender), ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomMediaConverter::DoLog(TCustomFFmpeg* Sender, int ALevel, const std::string& AMsg) {
  std::lock_guard lock(Lock_);
  if (OnLog) OnLog(index_of(Sender), LogLevelFromLibrary(ALevel), AMsg);
}

void TCustomMediaConverter::DeliverLibraryLine(TFFmpeg* Task, int ALevel, const std::string& AMsg) {
  std::lock_guard lock(Lock_);
  if (OnLog) OnLog(Task ? Task->Index.load() : -1, LogLevelFromLibrary(ALevel), AMsg);
}

void TCustomMediaConverter::DoProgress(TCustomFFmpeg* Sender, int AFrameNumber, int AFPS, int ACurrentDuration,
                                       float AQuality, float ABitRate, int64_t ACurrentSize,
                                       int ATotalOutputDuration) {
  std::lock_guard lock(Lock_);
  if (OnProgress)
    OnProgress(index_of(Sender), AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
               ATotalOutputDuration);
}

void TCustomMediaConverter::DoTerminate(TCustomFFmpeg* Sender) {
  std::lock_guard lock(Lock_);
  TFFmpeg* task = dynamic_cast<TFFmpeg*>(Sender);
  if (OnTerminate && task) OnTerminate(task->Index, task->finished, task->failed, task->fail_message);
  // The task no longer runs on that thread: later lines of the thread are not its.
  if (task) task->ThreadID = 0;
  ++FinishedCount_;
  if (PendingCount_ > 0) {
    StartNextTask();
  } else if (FinishedCount_ >= Tasks_.Count()) {
    if (OnTerminate) OnTerminate(-1, true, false, std::string());
    ClearLog();
  }
}
