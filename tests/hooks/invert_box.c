/* Example video hook: inverts the luma of a box. Arguments: x y w h (pixels).
 * Without arguments the whole picture is inverted. Planar YUV pictures only. */
#include <stdlib.h>

#include "binding/hook_api.h"

typedef struct Box {
  int x, y, w, h;
} Box;

int Configure(void** ctx, int argc, char* argv[]) {
  Box* b = (Box*)calloc(1, sizeof(Box));
  if (!b) return -1;
  b->w = -1;
  b->h = -1;
  if (argc >= 5) {
    b->x = atoi(argv[1]);
    b->y = atoi(argv[2]);
    b->w = atoi(argv[3]);
    b->h = atoi(argv[4]);
  } else if (argc > 1) {
    free(b);
    return -1;
  }
  *ctx = b;
  return 0;
}

void Process(void* ctx, KlaventaPicture* pic, int pix_fmt, int width, int height, int64_t pts) {
  (void)pix_fmt;
  (void)pts;
  const Box* b = (const Box*)ctx;
  int x0 = b->x, y0 = b->y;
  int w = b->w < 0 ? width : b->w, h = b->h < 0 ? height : b->h;
  for (int y = y0; y < y0 + h && y < height; ++y) {
    unsigned char* row = pic->data[0] + (long)y * pic->linesize[0];
    for (int x = x0; x < x0 + w && x < width; ++x) row[x] = (unsigned char)(255 - row[x]);
  }
}

void Release(void* ctx) { free(ctx); }
