#include "Libraries.h"

#include "posix/SharedLibrary.h"

namespace qb::audio {

const OpenMptCalls* openMptCalls(std::string* why)
{
    static const posix::BoundLibrary<OpenMptCalls> bound(
        "libopenmpt.so.0", [](posix::SharedLibrary& lib, OpenMptCalls& c) {
            return lib.bind(c.openmpt_probe_file_header, "openmpt_probe_file_header") &&
                   lib.bind(c.openmpt_log_func_silent, "openmpt_log_func_silent") &&
                   lib.bind(c.openmpt_free_string, "openmpt_free_string") &&
                   lib.bind(c.openmpt_module_create_from_memory2, "openmpt_module_create_from_memory2") &&
                   lib.bind(c.openmpt_module_destroy, "openmpt_module_destroy") &&
                   lib.bind(c.openmpt_module_get_duration_seconds, "openmpt_module_get_duration_seconds") &&
                   lib.bind(c.openmpt_module_get_metadata, "openmpt_module_get_metadata") &&
                   lib.bind(c.openmpt_module_read_interleaved_float_stereo,
                            "openmpt_module_read_interleaved_float_stereo") &&
                   lib.bind(c.openmpt_module_set_position_seconds, "openmpt_module_set_position_seconds") &&
                   lib.bind(c.openmpt_module_get_current_order, "openmpt_module_get_current_order") &&
                   lib.bind(c.openmpt_module_get_current_row, "openmpt_module_get_current_row");
        });
    return bound.calls(why);
}

const GmeCalls* gmeCalls(std::string* why)
{
    static const posix::BoundLibrary<GmeCalls> bound("libgme.so.0", [](posix::SharedLibrary& lib,
                                                                       GmeCalls& c) {
        return lib.bind(c.gme_identify_header, "gme_identify_header") &&
               lib.bind(c.gme_open_data, "gme_open_data") && lib.bind(c.gme_delete, "gme_delete") &&
               lib.bind(c.gme_track_count, "gme_track_count") &&
               lib.bind(c.gme_track_info, "gme_track_info") && lib.bind(c.gme_free_info, "gme_free_info") &&
               lib.bind(c.gme_start_track, "gme_start_track") &&
               lib.bind(c.gme_set_autoload_playback_limit, "gme_set_autoload_playback_limit") &&
               lib.bind(c.gme_ignore_silence, "gme_ignore_silence") && lib.bind(c.gme_play, "gme_play") &&
               lib.bind(c.gme_seek_samples, "gme_seek_samples") &&
               lib.bind(c.gme_track_ended, "gme_track_ended") && lib.bind(c.gme_warning, "gme_warning");
    });
    return bound.calls(why);
}

const OpusFileCalls* opusFileCalls(std::string* why)
{
    static const posix::BoundLibrary<OpusFileCalls> bound("libopusfile.so.0", [](posix::SharedLibrary& lib,
                                                                                 OpusFileCalls& c) {
        return lib.bind(c.op_open_callbacks, "op_open_callbacks") && lib.bind(c.op_free, "op_free") &&
               lib.bind(c.op_pcm_total, "op_pcm_total") && lib.bind(c.op_seekable, "op_seekable") &&
               lib.bind(c.op_tags, "op_tags") && lib.bind(c.op_read_float_stereo, "op_read_float_stereo") &&
               lib.bind(c.op_pcm_seek, "op_pcm_seek");
    });
    return bound.calls(why);
}

const SoxrCalls* soxrCalls(std::string* why)
{
    static const posix::BoundLibrary<SoxrCalls> bound(
        "libsoxr.so.0", [](posix::SharedLibrary& lib, SoxrCalls& c) {
            return lib.bind(c.soxr_io_spec, "soxr_io_spec") &&
                   lib.bind(c.soxr_quality_spec, "soxr_quality_spec") &&
                   lib.bind(c.soxr_runtime_spec, "soxr_runtime_spec") &&
                   lib.bind(c.soxr_create, "soxr_create") && lib.bind(c.soxr_delete, "soxr_delete") &&
                   lib.bind(c.soxr_clear, "soxr_clear") && lib.bind(c.soxr_process, "soxr_process");
        });
    return bound.calls(why);
}

} // namespace qb::audio
