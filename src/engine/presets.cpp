// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::set_target(const std::string&) {}
void TCustomFFmpeg::apply_target(const std::string&, const std::string&, const std::string&) {}
