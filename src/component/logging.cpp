// Library log callback, per-thread line assembly and delivery to components.
#include "component/logging.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "binding/loader.h"
#include "component/converter.h"

// ---- TLogList ---------------------------------------------------------------

TLogList::~TLogList() { Clear(); }

void TLogList::Clear() {
  Head.ThreadID = 0;
  Head.Text.clear();
  // Unlink one by one: a long chain must not recurse through destructors.
  std::unique_ptr<TLogItem> next = std::move(Head.Next);
  while (next) next = std::move(next->Next);
}

TLogItem* TLogList::Get(uint64_t id) {
  if (Head.ThreadID == 0 || Head.ThreadID == id) {
    Head.ThreadID = id;
    return &Head;
  }
  for (TLogItem* it = Head.Next.get(); it; it = it->Next.get())
    if (it->ThreadID == id) return it;
  auto item = std::make_unique<TLogItem>();
  item->ThreadID = id;
  item->Next = std::move(Head.Next);
  Head.Next = std::move(item);
  return Head.Next.get();
}

int TLogList::Count() const {
  int n = Head.ThreadID != 0 ? 1 : 0;
  for (const TLogItem* it = Head.Next.get(); it; it = it->Next.get()) ++n;
  return n;
}

// ---- registry ---------------------------------------------------------------

namespace {

struct Registry {
  std::mutex mutex;
  std::condition_variable idle;  // a delivery ended
  std::vector<TCustomMediaConverter*> components;
  TLogList lines;
};

// Never destroyed: libraries may still log while static objects go away.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

struct DeferredLines {
  int level;
  std::vector<std::string> lines;
};
thread_local std::vector<DeferredLines> t_deferred;

// Delivers the lines a thread held back; runs when its last hold ends.
void flush_deferred_lines() {
  std::vector<DeferredLines> held = std::move(t_deferred);
  t_deferred.clear();
  if (held.empty()) return;
  const uint64_t tid = current_thread_id();
  for (const DeferredLines& d : held) {
    try {
      LogRouting::Deliver(tid, d.level, d.lines);
    } catch (...) {
    }
  }
}

}  // namespace

void LogRouting::Register(TCustomMediaConverter* c) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.components.push_back(c);
}

void LogRouting::Unregister(TCustomMediaConverter* c) {
  Registry& r = registry();
  std::unique_lock lock(r.mutex);
  r.components.erase(std::remove(r.components.begin(), r.components.end(), c), r.components.end());
  r.idle.wait(lock, [c] { return c->LogDeliveries_ == 0; });
}

void LogRouting::ClearLog() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.lines.Clear();
}

int LogRouting::PendingThreads() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.lines.Count();
}

void LogRouting::Deliver(uint64_t thread_id, int level, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  Registry& r = registry();
  std::vector<TCustomMediaConverter*> targets;
  {
    std::lock_guard lock(r.mutex);
    targets = r.components;
    for (TCustomMediaConverter* c : targets) ++c->LogDeliveries_;
  }
  struct Unpin {
    Registry& r;
    std::vector<TCustomMediaConverter*>& targets;
    ~Unpin() {
      {
        std::lock_guard lock(r.mutex);
        for (TCustomMediaConverter* c : targets) --c->LogDeliveries_;
      }
      r.idle.notify_all();
    }
  } unpin{r, targets};
  std::vector<TFFmpeg*> tasks;
  tasks.reserve(targets.size());
  for (TCustomMediaConverter* c : targets) tasks.push_back(c->Tasks().FindByThreadID(thread_id));
  for (const std::string& line : lines)
    for (size_t i = 0; i < targets.size(); ++i) targets[i]->DeliverLibraryLine(tasks[i], level, line);
}

// ---- library callback -------------------------------------------------------

namespace klaventa {
namespace {

void append_prefix(std::string& out, void* avcl) {
  if (!avcl) return;
  const AVClass* cls = *static_cast<const AVClass* const*>(avcl);
  if (!cls) return;
  const char* name = cls->item_name ? cls->item_name(avcl) : cls->class_name;
  char buf[320];
  std::snprintf(buf, sizeof buf, "[%.256s @ 0x%016llX]", name ? name : "",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(cls)));
  out += buf;
}

}  // namespace

void library_log_callback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level >= 0) level &= 0xff;  // colour bits
  const int old_level = old_level_from_av(level);
  if (old_level > log_threshold()) return;

  // One message, bounded; a cut message keeps the line end its format ends with.
  char msg[kLogBufferSize];
  va_list args;
  va_copy(args, vl);
  int n = std::vsnprintf(msg, sizeof msg, fmt ? fmt : "", args);
  va_end(args);
  if (n < 0) n = 0, msg[0] = 0;
  if (static_cast<size_t>(n) >= sizeof msg) {
    const size_t fl = fmt ? std::strlen(fmt) : 0;
    if (fl && fmt[fl - 1] == '\n') msg[sizeof msg - 2] = '\n';
  }

  const uint64_t tid = current_thread_id();
  std::vector<std::string> lines;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    TLogItem* item = r.lines.Get(tid);
    std::string text = std::move(item->Text);
    if (text.empty()) append_prefix(text, avcl);
    text += msg;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
      lines.push_back(text.substr(start, std::min(lf - start, kLogBufferSize - 1)));
    }
    item->Text = text.substr(start, kLogBufferSize - 1);
  }
  if (lines.empty()) return;
  if (library_log_held()) {
    t_deferred.push_back({old_level, std::move(lines)});
    return;
  }
  try {
    LogRouting::Deliver(tid, old_level, lines);
  } catch (...) {
    // A handler's exception must not unwind through the library's C frames.
  }
}

void install_library_log_callback() {
  set_library_log_flusher(&flush_deferred_lines);
  ff::av_log_set_callback(&library_log_callback);
}

DeferLibraryLog::DeferLibraryLog() { hold_library_log(); }

DeferLibraryLog::~DeferLibraryLog() { release_library_log(); }

}  // namespace klaventa
