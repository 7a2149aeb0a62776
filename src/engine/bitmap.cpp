#include "engine/engine.h"

void TBitmap::set_size(int width, int height) {
  width_ = width;
  height_ = height;
  stride_ = width * 3;
  pixels_.assign(static_cast<size_t>(stride_) * height, 0);
}
