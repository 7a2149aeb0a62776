// STUB: placeholder bodies until this part is built.
#include "engine/engine.h"

void TCustomFFmpeg::set_option(const std::string&, const std::string&) {}
void TCustomFFmpeg::set_format(const std::string&) {}
void TCustomFFmpeg::set_input_format(const std::string&) {}
void TCustomFFmpeg::set_output_format(const std::string&) {}
void TCustomFFmpeg::set_frame_rate(const std::string&) {}
void TCustomFFmpeg::set_frame_size(const std::string&) {}
void TCustomFFmpeg::set_frame_aspect_ratio(const std::string&) {}
void TCustomFFmpeg::set_frame_pix_fmt(const std::string&) {}
void TCustomFFmpeg::set_video_codec(const std::string&) {}
void TCustomFFmpeg::set_audio_codec(const std::string&) {}
void TCustomFFmpeg::set_subtitle_codec(const std::string&) {}
void TCustomFFmpeg::set_video_tag(const std::string&) {}
void TCustomFFmpeg::set_audio_tag(const std::string&) {}
void TCustomFFmpeg::set_title(const std::string&) {}
void TCustomFFmpeg::set_author(const std::string&) {}
void TCustomFFmpeg::set_copyright(const std::string&) {}
void TCustomFFmpeg::set_comment(const std::string&) {}
void TCustomFFmpeg::set_genre(const std::string&) {}
void TCustomFFmpeg::set_album(const std::string&) {}
void TCustomFFmpeg::set_intra_matrix(const std::string&) {}
void TCustomFFmpeg::set_inter_matrix(const std::string&) {}
void TCustomFFmpeg::set_vstats_file(const std::string&) {}
void TCustomFFmpeg::add_video_hook(const std::string&) {}
void TCustomFFmpeg::add_stream_map(const std::string&) {}
void TCustomFFmpeg::add_meta_data_map(const std::string&) {}
void TCustomFFmpeg::set_input_ts_scale(const std::string&) {}
void TCustomFFmpeg::set_crop_top(int) {}
void TCustomFFmpeg::set_crop_bottom(int) {}
void TCustomFFmpeg::set_crop_left(int) {}
void TCustomFFmpeg::set_crop_right(int) {}
void TCustomFFmpeg::set_pad_top(int) {}
void TCustomFFmpeg::set_pad_bottom(int) {}
void TCustomFFmpeg::set_pad_left(int) {}
void TCustomFFmpeg::set_pad_right(int) {}
void TCustomFFmpeg::set_audio_sample_rate(int) {}
void TCustomFFmpeg::set_audio_channels(int) {}
void TCustomFFmpeg::set_audio_volume(int) {}
void TCustomFFmpeg::set_audio_sync_method(int) {}
void TCustomFFmpeg::set_video_sync_method(int) {}
void TCustomFFmpeg::set_year(int) {}
void TCustomFFmpeg::set_track(int) {}
void TCustomFFmpeg::set_recording_time_ms(int) {}
void TCustomFFmpeg::set_program_id(int) {}
void TCustomFFmpeg::set_verbose(int) {}
void TCustomFFmpeg::set_pass(int) {}
void TCustomFFmpeg::set_pad_color(int32_t) {}
void TCustomFFmpeg::set_qscale(double) {}
void TCustomFFmpeg::set_mux_preload(double) {}
void TCustomFFmpeg::set_mux_max_delay(double) {}
void TCustomFFmpeg::set_start_time(int64_t) {}
void TCustomFFmpeg::set_vstats(bool) {}
void TCustomFFmpeg::set_hook_ranges(const std::vector<THookRange>&) {}
