// Video hook plug-ins: loading, the process-wide module cache and the hook chain.
#pragma once

#include "binding/hook_api.h"

namespace klaventa {

struct FrameHook {
  FrameHook* next = nullptr;
  KlaventaHookConfigure configure = nullptr;
  KlaventaHookProcess process = nullptr;
  KlaventaHookRelease release = nullptr;
  void* ctx = nullptr;
};

// Result codes of add_frame_hook.
constexpr int kHookOk = 0;
constexpr int kHookNoArguments = 254;     // also: missing entry point
constexpr int kHookLoadFailed = 255;
constexpr int kHookNoMemory = 244;
constexpr int kHookConfigureFailed = 234;

// Loads argv[0] (once per path for the whole process), configures it with the
// arguments and appends the hook to *chain. Failures are logged through av_log.
int add_frame_hook(FrameHook** chain, int argc, char* argv[]);

// Calls each hook's Release and frees the chain; *chain becomes empty.
void release_frame_hooks(FrameHook** chain);

// Number of distinct plug-in modules loaded so far (for tests).
int loaded_hook_module_count();

}  // namespace klaventa
