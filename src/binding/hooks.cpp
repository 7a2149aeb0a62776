#include "binding/hooks.h"

#include <dlfcn.h>

#include <map>
#include <mutex>
#include <new>
#include <string>

#include "binding/ffapi.h"
#include "binding/loader.h"

namespace klaventa {
namespace {
std::mutex g_modules_mutex;

// Hook failures are reported at the old level 0 (errors and warnings).
template <typename... Args>
void hook_log(const char* fmt, Args... args) {
  if (ff::av_log) ff::av_log(nullptr, av_level_from_old(0), fmt, args...);
}

std::map<std::string, void*>& modules() {
  static std::map<std::string, void*> m;  // never unloaded
  return m;
}
}  // namespace

int add_frame_hook(FrameHook** chain, int argc, char* argv[]) {
  if (argc <= 0 || !argv || !argv[0]) return kHookNoArguments;
  const std::string path = argv[0];
  void* module = nullptr;
  {
    std::lock_guard lock(g_modules_mutex);
    auto it = modules().find(path);
    if (it != modules().end()) {
      module = it->second;
    } else {
      dlerror();
      module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!module) {
        const char* err = dlerror();
        hook_log("%s\n", err ? err : "cannot load hook");
        return kHookLoadFailed;
      }
      modules()[path] = module;
    }
  }
  auto* hook = new (std::nothrow) FrameHook;
  if (!hook) return kHookNoMemory;
  hook->configure = reinterpret_cast<KlaventaHookConfigure>(dlsym(module, "Configure"));
  hook->process = reinterpret_cast<KlaventaHookProcess>(dlsym(module, "Process"));
  hook->release = reinterpret_cast<KlaventaHookRelease>(dlsym(module, "Release"));
  if (!hook->process) {
    hook_log("Failed to find Process entrypoint in %s\n", path.c_str());
    delete hook;
    return kHookNoArguments;
  }
  if (!hook->configure && argc > 1) {
    hook_log("Failed to find Configure entrypoint in %s\n", path.c_str());
    delete hook;
    return kHookNoArguments;
  }
  if (hook->configure && hook->configure(&hook->ctx, argc, argv) != 0) {
    hook_log("Failed to Configure %s\n", path.c_str());
    delete hook;
    return kHookConfigureFailed;
  }
  FrameHook** tail = chain;
  while (*tail) tail = &(*tail)->next;
  *tail = hook;
  return kHookOk;
}

void release_frame_hooks(FrameHook** chain) {
  FrameHook* h = *chain;
  while (h) {
    FrameHook* next = h->next;
    if (h->release) h->release(h->ctx);
    delete h;
    h = next;
  }
  *chain = nullptr;
}

int loaded_hook_module_count() {
  std::lock_guard lock(g_modules_mutex);
  return static_cast<int>(modules().size());
}

}  // namespace klaventa
