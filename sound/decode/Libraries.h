#pragma once

#include <gme/gme.h>
#include <libopenmpt/libopenmpt.h>
#include <opusfile.h>
#include <soxr.h>
#include <string>

namespace qb::audio {

// The libraries behind the backends that only some files need: libopenmpt (tracker modules), libgme
// (game-music files), libopusfile (Ogg Opus) and libsoxr (files at another rate than the engine's).
// Each is loaded when a file first needs it, not with the sound module: a MIDI file starts without
// waiting for them and plays without holding their pages. The calls each backend makes are bound by
// name, with the library's own declarations, so a call that does not match the header does not build.
// Null, with the reason in `why` when given, when the library cannot be loaded or lacks a call.

struct OpenMptCalls
{
    decltype(&::openmpt_probe_file_header) openmpt_probe_file_header = nullptr;
    decltype(&::openmpt_log_func_silent) openmpt_log_func_silent = nullptr;
    decltype(&::openmpt_free_string) openmpt_free_string = nullptr;
    decltype(&::openmpt_module_create_from_memory2) openmpt_module_create_from_memory2 = nullptr;
    decltype(&::openmpt_module_destroy) openmpt_module_destroy = nullptr;
    decltype(&::openmpt_module_get_duration_seconds) openmpt_module_get_duration_seconds = nullptr;
    decltype(&::openmpt_module_get_metadata) openmpt_module_get_metadata = nullptr;
    decltype(&::openmpt_module_read_interleaved_float_stereo) openmpt_module_read_interleaved_float_stereo =
        nullptr;
    decltype(&::openmpt_module_set_position_seconds) openmpt_module_set_position_seconds = nullptr;
    decltype(&::openmpt_module_get_current_order) openmpt_module_get_current_order = nullptr;
    decltype(&::openmpt_module_get_current_row) openmpt_module_get_current_row = nullptr;
};
const OpenMptCalls* openMptCalls(std::string* why = nullptr);

struct GmeCalls
{
    decltype(&::gme_identify_header) gme_identify_header = nullptr;
    decltype(&::gme_open_data) gme_open_data = nullptr;
    decltype(&::gme_delete) gme_delete = nullptr;
    decltype(&::gme_track_count) gme_track_count = nullptr;
    decltype(&::gme_track_info) gme_track_info = nullptr;
    decltype(&::gme_free_info) gme_free_info = nullptr;
    decltype(&::gme_start_track) gme_start_track = nullptr;
    decltype(&::gme_set_autoload_playback_limit) gme_set_autoload_playback_limit = nullptr;
    decltype(&::gme_ignore_silence) gme_ignore_silence = nullptr;
    decltype(&::gme_play) gme_play = nullptr;
    decltype(&::gme_seek_samples) gme_seek_samples = nullptr;
    decltype(&::gme_track_ended) gme_track_ended = nullptr;
    decltype(&::gme_warning) gme_warning = nullptr;
};
const GmeCalls* gmeCalls(std::string* why = nullptr);

struct OpusFileCalls
{
    decltype(&::op_open_callbacks) op_open_callbacks = nullptr;
    decltype(&::op_free) op_free = nullptr;
    decltype(&::op_pcm_total) op_pcm_total = nullptr;
    decltype(&::op_seekable) op_seekable = nullptr;
    decltype(&::op_tags) op_tags = nullptr;
    decltype(&::op_read_float_stereo) op_read_float_stereo = nullptr;
    decltype(&::op_pcm_seek) op_pcm_seek = nullptr;
};
const OpusFileCalls* opusFileCalls(std::string* why = nullptr);

struct SoxrCalls
{
    decltype(&::soxr_io_spec) soxr_io_spec = nullptr;
    decltype(&::soxr_quality_spec) soxr_quality_spec = nullptr;
    decltype(&::soxr_runtime_spec) soxr_runtime_spec = nullptr;
    decltype(&::soxr_create) soxr_create = nullptr;
    decltype(&::soxr_delete) soxr_delete = nullptr;
    decltype(&::soxr_clear) soxr_clear = nullptr;
    decltype(&::soxr_process) soxr_process = nullptr;
};
const SoxrCalls* soxrCalls(std::string* why = nullptr);

} // namespace qb::audio
