/* A hook plug-in without Release; counts its Configure calls. */
#include <stdint.h>

#include "binding/hook_api.h"

int klaventa_configure_calls = 0;

int Configure(void** ctx, int argc, char* argv[]) {
  (void)argc;
  (void)argv;
  *ctx = 0;
  ++klaventa_configure_calls;
  return 0;
}

void Process(void* ctx, KlaventaPicture* pic, int pix_fmt, int width, int height, int64_t pts) {
  (void)ctx; (void)pic; (void)pix_fmt; (void)width; (void)height; (void)pts;
}
