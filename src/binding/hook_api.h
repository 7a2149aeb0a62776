/* Contract of a Klaventa video hook plug-in: a shared object exporting
 * "Configure" and "Process", and optionally "Release". Plain C. */
#ifndef KLAVENTA_HOOK_API_H
#define KLAVENTA_HOOK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A picture: four plane pointers followed by four line sizes. */
typedef struct KlaventaPicture {
  uint8_t* data[4];
  int linesize[4];
} KlaventaPicture;

/* Returns 0 on success. argv[0] is the plug-in's own path. */
typedef int (*KlaventaHookConfigure)(void** ctx, int argc, char* argv[]);
/* Called for every decoded picture; pix_fmt is an AVPixelFormat, pts in microseconds. */
typedef void (*KlaventaHookProcess)(void* ctx, KlaventaPicture* picture, int pix_fmt, int width, int height,
                                    int64_t pts);
typedef void (*KlaventaHookRelease)(void* ctx);

#ifdef __cplusplus
}
#endif

#endif
