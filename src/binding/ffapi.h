// Process-wide table of media-library entry points, bound at run time by name.
// Types come from the real headers; nothing here links the libraries.
// Call every entry point through the ff:: namespace: ff::avcodec_open2(...).
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// One list per library; adding a call is one line in the matching list.
#define KLAVENTA_AVCODEC_SYMBOLS(X) \
  X(avcodec_alloc_context3) \
  X(avcodec_free_context) \
  X(avcodec_get_class) \
  X(avcodec_find_encoder_by_name) \
  X(avcodec_find_decoder_by_name) \
  X(avcodec_find_encoder) \
  X(avcodec_find_decoder) \
  X(avcodec_open2) \
  X(avcodec_close) \
  X(avcodec_is_open) \
  X(avcodec_flush_buffers) \
  X(avcodec_parameters_to_context) \
  X(avcodec_parameters_from_context) \
  X(avcodec_parameters_copy) \
  X(avcodec_send_packet) \
  X(avcodec_receive_frame) \
  X(avcodec_send_frame) \
  X(avcodec_receive_packet) \
  X(avcodec_decode_subtitle2) \
  X(avcodec_encode_subtitle) \
  X(avsubtitle_free) \
  X(avcodec_get_name) \
  X(avcodec_get_type) \
  X(av_codec_iterate) \
  X(av_codec_is_encoder) \
  X(av_packet_alloc) \
  X(av_packet_free) \
  X(av_packet_unref) \
  X(av_packet_ref) \
  X(av_packet_rescale_ts) \
  X(av_packet_get_side_data) \
  X(av_new_packet) \
  X(av_bsf_get_by_name) \
  X(av_bsf_alloc) \
  X(av_bsf_init) \
  X(av_bsf_send_packet) \
  X(av_bsf_receive_packet) \
  X(av_bsf_free) \
  X(avcodec_string)

#define KLAVENTA_AVFORMAT_SYMBOLS(X) \
  X(avformat_alloc_context) \
  X(avformat_alloc_output_context2) \
  X(avformat_free_context) \
  X(avformat_get_class) \
  X(avformat_open_input) \
  X(avformat_close_input) \
  X(avformat_find_stream_info) \
  X(avformat_new_stream) \
  X(avformat_write_header) \
  X(avformat_query_codec) \
  X(av_seek_frame) \
  X(av_guess_format) \
  X(av_guess_codec) \
  X(av_guess_frame_rate) \
  X(av_find_input_format) \
  X(av_probe_input_buffer2) \
  X(av_muxer_iterate) \
  X(av_filename_number_test) \
  X(av_codec_get_id) \
  X(av_codec_get_tag) \
  X(av_read_frame) \
  X(av_interleaved_write_frame) \
  X(av_write_trailer) \
  X(av_dump_format) \
  X(av_stream_new_side_data) \
  X(av_pkt_dump_log2) \
  X(av_sdp_create) \
  X(avio_open) \
  X(avio_open2) \
  X(avio_closep) \
  X(avio_size) \
  X(avio_seek) \
  X(avio_flush)

#define KLAVENTA_AVUTIL_SYMBOLS(X) \
  X(av_log) \
  X(av_log_set_callback) \
  X(av_log_default_callback) \
  X(av_log_get_level) \
  X(av_log_set_level) \
  X(av_log_format_line2) \
  X(av_default_item_name) \
  X(av_strerror) \
  X(av_strlcpy) \
  X(av_strstart) \
  X(av_strdup) \
  X(av_malloc) \
  X(av_mallocz) \
  X(av_realloc) \
  X(av_free) \
  X(av_freep) \
  X(av_memdup) \
  X(av_fast_realloc) \
  X(av_reduce) \
  X(av_gcd) \
  X(av_rescale) \
  X(av_rescale_q) \
  X(av_rescale_q_rnd) \
  X(av_rescale_rnd) \
  X(av_compare_ts) \
  X(av_gettime) \
  X(av_gettime_relative) \
  X(av_usleep) \
  X(av_parse_time) \
  X(av_parse_video_rate) \
  X(av_parse_video_size) \
  X(av_opt_find) \
  X(av_opt_set) \
  X(av_opt_set_int) \
  X(av_opt_get) \
  X(av_opt_get_int) \
  X(av_opt_set_dict) \
  X(av_dict_set) \
  X(av_dict_set_int) \
  X(av_dict_get) \
  X(av_dict_copy) \
  X(av_dict_count) \
  X(av_dict_free) \
  X(av_fifo_alloc2) \
  X(av_fifo_freep2) \
  X(av_fifo_can_read) \
  X(av_fifo_read) \
  X(av_fifo_write) \
  X(av_fifo_grow2) \
  X(av_fifo_reset2) \
  X(av_frame_alloc) \
  X(av_frame_free) \
  X(av_frame_unref) \
  X(av_frame_ref) \
  X(av_frame_get_buffer) \
  X(av_frame_make_writable) \
  X(av_frame_copy) \
  X(av_frame_copy_props) \
  X(av_image_alloc) \
  X(av_image_get_buffer_size) \
  X(av_image_fill_arrays) \
  X(av_image_copy) \
  X(av_get_pix_fmt) \
  X(av_get_pix_fmt_name) \
  X(av_get_pix_fmt_string) \
  X(av_pix_fmt_desc_get) \
  X(av_get_sample_fmt) \
  X(av_get_sample_fmt_name) \
  X(av_get_sample_fmt_string) \
  X(av_get_bytes_per_sample) \
  X(av_sample_fmt_is_planar) \
  X(av_samples_get_buffer_size) \
  X(av_samples_set_silence) \
  X(av_channel_layout_default) \
  X(av_channel_layout_copy) \
  X(av_channel_layout_uninit) \
  X(av_channel_layout_compare) \
  X(av_get_picture_type_char) \
  X(av_audio_fifo_alloc) \
  X(av_audio_fifo_free) \
  X(av_audio_fifo_write) \
  X(av_audio_fifo_read) \
  X(av_audio_fifo_size) \
  X(av_opt_next) \
  X(av_get_media_type_string)

#define KLAVENTA_SWSCALE_SYMBOLS(X) \
  X(sws_scale) \
  X(sws_getContext) \
  X(sws_freeContext) \
  X(sws_getCachedContext) \
  X(sws_get_class)

#define KLAVENTA_SWRESAMPLE_SYMBOLS(X) \
  X(swr_alloc_set_opts2) \
  X(swr_init) \
  X(swr_free) \
  X(swr_convert) \
  X(swr_get_delay) \
  X(swr_set_compensation)

#define KLAVENTA_AVFILTER_SYMBOLS(X) \
  X(avfilter_get_by_name) \
  X(avfilter_graph_alloc) \
  X(avfilter_graph_free) \
  X(avfilter_graph_create_filter) \
  X(avfilter_graph_parse_ptr) \
  X(avfilter_graph_config) \
  X(avfilter_inout_alloc) \
  X(avfilter_inout_free) \
  X(av_buffersrc_add_frame_flags) \
  X(av_buffersink_get_frame) \
  X(av_buffersink_get_time_base)

namespace ff {
#define KLAVENTA_DECLARE_SYMBOL(name) extern decltype(&::name) name;
KLAVENTA_AVCODEC_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
KLAVENTA_AVFORMAT_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
KLAVENTA_AVUTIL_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
KLAVENTA_SWSCALE_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
KLAVENTA_SWRESAMPLE_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
KLAVENTA_AVFILTER_SYMBOLS(KLAVENTA_DECLARE_SYMBOL)
#undef KLAVENTA_DECLARE_SYMBOL

// Text of an AVERROR code through the bound av_strerror.
const char* error_text(int code, char* buf, size_t size);
}  // namespace ff
