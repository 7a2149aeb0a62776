// Library option store: set_library_option, copy_context_options, find_codec, parse_time.
#include <cstring>
#include <string>

#include "binding/loader.h"
#include "engine/engine.h"

namespace {

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// Option flags of the five codec types: video, audio, data, subtitle, attachment.
constexpr int kTypeFlags[5] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM, 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};

// Old option names that were renamed.
const char* renamed_option(const std::string& name) {
  if (name == "gop") return "g";
  return nullptr;
}

// True when `opt` has an audio twin "a<name>" on the same field: the plain name
// was the video-only spelling ("b" next to "ab").
bool has_audio_twin(void* codec_ctx, const AVOption* opt) {
  std::string twin = std::string("a") + opt->name;
  const AVOption* a = ff::av_opt_find(codec_ctx, twin.c_str(), nullptr, AV_OPT_FLAG_AUDIO_PARAM, 0);
  return a && a->offset == opt->offset;
}

}  // namespace

bool TCustomFFmpeg::set_library_option(const std::string& name, const std::string& value) {
  if (blank(name) || blank(value)) return false;
  if (!codec_option_ctx[0]) return false;  // not reset yet (libraries not loaded)
  const char* n = name.c_str();
  const char* v = value.c_str();
  const AVOption* accepted = nullptr;

  for (int t = 0; t < 5; t++) {
    const AVOption* o = ff::av_opt_find(codec_option_ctx[0], n, nullptr, kTypeFlags[t], 0);
    if (!o) continue;
    if (t == AVMEDIA_TYPE_AUDIO && has_audio_twin(codec_option_ctx[0], o)) continue;
    accepted = ff::av_opt_set(codec_option_ctx[t], n, v, 0) == 0 ? o : nullptr;
  }
  if (!accepted && format_option_ctx && ff::av_opt_set(format_option_ctx, n, v, 0) == 0)
    accepted = ff::av_opt_find(format_option_ctx, n, nullptr, 0, 0);
  if (!accepted && scaler_option_ctx && ff::av_opt_set(scaler_option_ctx, n, v, 0) == 0)
    accepted = ff::av_opt_find(scaler_option_ctx, n, nullptr, 0, 0);

  if (!accepted && name.size() > 1) {
    int t = -1;
    if (name[0] == 'a') t = AVMEDIA_TYPE_AUDIO;
    else if (name[0] == 'v') t = AVMEDIA_TYPE_VIDEO;
    else if (name[0] == 's') t = AVMEDIA_TYPE_SUBTITLE;
    if (t >= 0 && ff::av_opt_set(codec_option_ctx[t], n + 1, v, 0) == 0)
      accepted = ff::av_opt_find(codec_option_ctx[t], n + 1, nullptr, 0, 0);
  }

  if (!accepted) {
    if (const char* now = renamed_option(name)) return set_library_option(now, value);
  }

  // Names that now belong to a muxer's or an encoder's private options are kept
  // for the next outputs and streams.
  if (!accepted) {
    void* it = nullptr;
    while (const AVOutputFormat* of = ff::av_muxer_iterate(&it)) {
      if (!of->priv_class) continue;
      const AVOption* o = ff::av_opt_find((void*)&of->priv_class, n, nullptr, AV_OPT_FLAG_ENCODING_PARAM,
                                          AV_OPT_SEARCH_FAKE_OBJ);
      if (o) {
        ff::av_dict_set(&private_format_opts, o->name, v, 0);
        accepted = o;
        break;
      }
    }
  }
  if (!accepted) {
    bool type_done[5] = {};
    void* it = nullptr;
    while (const AVCodec* c = ff::av_codec_iterate(&it)) {
      if (!c->priv_class || !ff::av_codec_is_encoder(c)) continue;
      int t = c->type;
      if (t < 0 || t > 4 || type_done[t]) continue;
      const AVOption* o = ff::av_opt_find((void*)&c->priv_class, n, nullptr, AV_OPT_FLAG_ENCODING_PARAM,
                                          AV_OPT_SEARCH_FAKE_OBJ);
      if (o) {
        ff::av_dict_set(&private_codec_opts[t], o->name, v, 0);
        type_done[t] = true;
        accepted = o;
      }
    }
  }

  if (!accepted) return false;
  option_names.push_back(accepted->name);

  if ((codec_option_ctx[0] && codec_option_ctx[0]->debug) || (format_option_ctx && format_option_ctx->debug)) {
    ff::av_log_set_level(klaventa::av_level_from_old(2));
    klaventa::set_log_threshold(2);
    verbose = 2;
  }
  return true;
}

bool TCustomFFmpeg::set_library_option(const std::string& name, int64_t value) {
  return set_library_option(name, std::to_string(value));
}

void TCustomFFmpeg::copy_context_options(void* target, void* source, int flags) {
  if (!target || !source) return;
  for (const char* name : option_names) {
    const AVOption* opt = ff::av_opt_find(source, name, nullptr, 0, 0);
    if (!opt) continue;
    uint8_t* text = nullptr;
    if (ff::av_opt_get(source, name, 0, &text) >= 0 && text) {
      if ((opt->flags & flags) == flags) ff::av_opt_set(target, name, reinterpret_cast<const char*>(text), 0);
    }
    ff::av_free(text);
  }
}

bool TCustomFFmpeg::find_codec(const char* name, AVMediaType type, AVCodecID& id, bool encoder) {
  if (!name) {
    id = AV_CODEC_ID_NONE;
    return true;
  }
  const char* kind = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? ff::avcodec_find_encoder_by_name(name) : ff::avcodec_find_decoder_by_name(name);
  if (!codec) {
    last_error = std::string("Unknown ") + kind + " '" + name + "'";
    return false;
  }
  if (codec->type != type) {
    last_error = std::string("Invalid ") + kind + " type '" + name + "'";
    return false;
  }
  id = codec->id;
  return true;
}

int64_t TCustomFFmpeg::parse_time(const std::string& option, const std::string& text, bool is_duration) {
  int64_t us = 0;
  if (ff::av_parse_time(&us, text.c_str(), is_duration ? 1 : 0) < 0)
    throw FFMpegException(std::string("Invalid ") + (is_duration ? "duration" : "date") + " specification for " +
                          option + ": " + text);
  return us;
}
