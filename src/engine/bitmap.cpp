#include "engine/engine.h"

#include <algorithm>

void TBitmap::set_size(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  stride_ = width_ * 3;
  pixels_.assign(static_cast<size_t>(stride_) * height_, 0);
}
