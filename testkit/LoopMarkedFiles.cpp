#include "testkit/LoopMarkedFiles.h"

#include <FLAC/metadata.h>
#include <QFile>
#include <QtDebug>
#include <algorithm>
#include <opusenc.h>
#include <sndfile.h>
#include <vorbis/vorbisenc.h>

namespace qb::test {

namespace {

bool writeWithLibsndfile(const QString& path, const std::vector<float>& stereo, int rate, int format,
                         const SF_INSTRUMENT* instrument)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        qWarning() << "cannot write" << path << sf_strerror(nullptr);
        return false;
    }
    bool ok = !instrument || sf_command(file, SFC_SET_INSTRUMENT, const_cast<SF_INSTRUMENT*>(instrument),
                                        sizeof *instrument) == SF_TRUE;
    const sf_count_t frames = static_cast<sf_count_t>(stereo.size() / 2);
    ok = ok && sf_writef_float(file, stereo.data(), frames) == frames;
    sf_close(file);
    return ok;
}

} // namespace

bool writeSamplerLoopWav(const QString& path, const std::vector<float>& stereo, int rate, int start, int end)
{
    SF_INSTRUMENT instrument{};
    instrument.basenote = 60;
    instrument.velocity_hi = instrument.key_hi = 127;
    instrument.loop_count = 1;
    instrument.loops[0].mode = SF_LOOP_FORWARD;
    instrument.loops[0].start = static_cast<std::uint32_t>(std::max(start, 0));
    instrument.loops[0].end = static_cast<std::uint32_t>(std::max(end, 0));
    return writeWithLibsndfile(path, stereo, rate, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                               start >= 0 ? &instrument : nullptr);
}

bool writeCommentedFlac(const QString& path, const std::vector<float>& stereo, int rate,
                        const QStringList& comments)
{
    if (!writeWithLibsndfile(path, stereo, rate, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, nullptr))
        return false;
    FLAC__Metadata_Chain* chain = FLAC__metadata_chain_new();
    bool ok = chain && FLAC__metadata_chain_read(chain, QFile::encodeName(path).constData());
    FLAC__StreamMetadata* block =
        ok ? FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT) : nullptr;
    for (const QString& comment : comments) {
        QByteArray text = comment.toUtf8();
        FLAC__StreamMetadata_VorbisComment_Entry entry{static_cast<FLAC__uint32>(text.size()),
                                                       reinterpret_cast<FLAC__byte*>(text.data())};
        ok = ok && block && FLAC__metadata_object_vorbiscomment_append_comment(block, entry, true);
    }
    if (ok && block) {
        // In place of the comment block libsndfile wrote, if any: a reader takes the first one.
        FLAC__Metadata_Iterator* it = FLAC__metadata_iterator_new();
        FLAC__metadata_iterator_init(it, chain);
        bool replaced = false;
        do {
            if (FLAC__metadata_iterator_get_block_type(it) == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
                ok = FLAC__metadata_iterator_set_block(it, block);
                replaced = true;
                break;
            }
        } while (FLAC__metadata_iterator_next(it));
        if (!replaced)
            ok = FLAC__metadata_iterator_insert_block_after(it, block);
        FLAC__metadata_iterator_delete(it);
        if (ok)
            block = nullptr; // the chain owns it now
        ok = ok && FLAC__metadata_chain_write(chain, true, false);
    }
    if (block)
        FLAC__metadata_object_delete(block);
    if (chain)
        FLAC__metadata_chain_delete(chain);
    if (!ok)
        qWarning() << "cannot add comments to" << path;
    return ok;
}

bool writeCommentedOgg(const QString& path, const std::vector<float>& stereo, int rate,
                       const QStringList& comments)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    vorbis_info info;
    vorbis_info_init(&info);
    if (vorbis_encode_init_vbr(&info, 2, rate, 0.5f) != 0) {
        vorbis_info_clear(&info);
        return false;
    }
    vorbis_comment vc;
    vorbis_comment_init(&vc);
    for (const QString& comment : comments) {
        QByteArray text = comment.toUtf8();
        vorbis_comment_add(&vc, text.data());
    }
    vorbis_dsp_state dsp;
    vorbis_block block;
    vorbis_analysis_init(&dsp, &info);
    vorbis_block_init(&dsp, &block);
    ogg_stream_state stream;
    ogg_stream_init(&stream, 1);
    ogg_packet header;
    ogg_packet commentHeader;
    ogg_packet codeHeader;
    vorbis_analysis_headerout(&dsp, &vc, &header, &commentHeader, &codeHeader);
    ogg_stream_packetin(&stream, &header);
    ogg_stream_packetin(&stream, &commentHeader);
    ogg_stream_packetin(&stream, &codeHeader);
    ogg_page page;
    auto writePage = [&] {
        out.write(reinterpret_cast<const char*>(page.header), page.header_len);
        out.write(reinterpret_cast<const char*>(page.body), page.body_len);
    };
    while (ogg_stream_flush(&stream, &page) != 0)
        writePage();
    constexpr int kChunk = 1024;
    const int frames = static_cast<int>(stereo.size() / 2);
    for (int done = 0;; done += kChunk) {
        const int count = std::min(kChunk, frames - done); // none left: the end of the stream
        if (count > 0) {
            float** buffer = vorbis_analysis_buffer(&dsp, count);
            for (int i = 0; i < count; ++i) {
                buffer[0][i] = stereo[2 * static_cast<std::size_t>(done + i)];
                buffer[1][i] = stereo[2 * static_cast<std::size_t>(done + i) + 1];
            }
        }
        vorbis_analysis_wrote(&dsp, std::max(count, 0));
        while (vorbis_analysis_blockout(&dsp, &block) == 1) {
            vorbis_analysis(&block, nullptr);
            vorbis_bitrate_addblock(&block);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&dsp, &packet) == 1) {
                ogg_stream_packetin(&stream, &packet);
                while (ogg_stream_pageout(&stream, &page) != 0)
                    writePage();
            }
        }
        if (count <= 0)
            break;
    }
    while (ogg_stream_flush(&stream, &page) != 0)
        writePage();
    ogg_stream_clear(&stream);
    vorbis_block_clear(&block);
    vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&info);
    return out.error() == QFileDevice::NoError;
}

bool writeCommentedOpus(const QString& path, const std::vector<float>& stereo, int rate,
                        const QStringList& comments)
{
    OggOpusComments* tags = ope_comments_create();
    bool ok = tags != nullptr;
    for (const QString& comment : comments) {
        const qsizetype equals = comment.indexOf(QLatin1Char('='));
        ok = ok && equals > 0 &&
             ope_comments_add(tags, comment.left(equals).toUtf8().constData(),
                              comment.mid(equals + 1).toUtf8().constData()) == OPE_OK;
    }
    int error = OPE_OK;
    OggOpusEnc* encoder =
        ok ? ope_encoder_create_file(QFile::encodeName(path).constData(), tags, rate, 2, 0, &error) : nullptr;
    ok = encoder &&
         ope_encoder_write_float(encoder, stereo.data(), static_cast<int>(stereo.size() / 2)) == OPE_OK &&
         ope_encoder_drain(encoder) == OPE_OK;
    if (encoder)
        ope_encoder_destroy(encoder);
    if (tags)
        ope_comments_destroy(tags);
    if (!ok)
        qWarning() << "cannot write" << path << error;
    return ok;
}

} // namespace qb::test
