// Library log routing: whole lines per writing thread, handed to every live
// component with the task that runs on the writing thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Pending partial line of one thread.
struct TLogItem {
  uint64_t ThreadID = 0;  // 0 marks a free head item
  std::string Text;
  std::unique_ptr<TLogItem> Next;
};

class TLogList {
 public:
  TLogList() = default;
  ~TLogList();
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;

  // Frees every item but the head, which becomes free.
  void Clear();
  // The item of thread id, created right after the head when there is none.
  TLogItem* Get(uint64_t id);
  // Items in use (for tests).
  int Count() const;

 private:
  TLogItem Head;
};

class TCustomMediaConverter;

// The process-wide registry of live components and the per-thread line list.
// The registry lock is never held while a component's Lock is taken or an
// event runs: lines are delivered after it is released, and a component
// leaving the registry waits for deliveries to it that are under way.
struct LogRouting {
  static void Register(TCustomMediaConverter* c);
  static void Unregister(TCustomMediaConverter* c);
  static void ClearLog();
  // Items in the line list (for tests).
  static int PendingThreads();
  // Hands finished lines of thread `thread_id` to every live component.
  static void Deliver(uint64_t thread_id, int level, const std::vector<std::string>& lines);
};

namespace klaventa {

// Longest text one library message may produce (pending text included).
constexpr size_t kLogBufferSize = 2048;

// The callback LoadAVLib installs with av_log_set_callback.
void library_log_callback(void* avcl, int level, const char* fmt, va_list vl);

// Installs library_log_callback once (needs the libraries bound).
void install_library_log_callback();

// While one of these lives on a thread, finished library lines of that thread
// are held back and delivered when the last one ends (used around calls made
// under library_lock(), so no event runs while it is held).
class DeferLibraryLog {
 public:
  DeferLibraryLog();
  ~DeferLibraryLog();
  DeferLibraryLog(const DeferLibraryLog&) = delete;
  DeferLibraryLog& operator=(const DeferLibraryLog&) = delete;
};

}  // namespace klaventa
