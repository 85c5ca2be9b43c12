#include "LoopComments.h"

#include <FLAC/metadata.h>
#include <charconv>
#include <limits>
#include <sndfile.h>
#include <strings.h>

namespace qb::audio {

namespace {

// The value of `name=` in `comment`, compared without regard to case, or none.
std::optional<std::string> field(const std::string& comment, const char* name)
{
    const std::size_t length = std::char_traits<char>::length(name);
    if (comment.size() <= length || comment[length] != '=' ||
        ::strncasecmp(comment.c_str(), name, length) != 0)
        return std::nullopt;
    return comment.substr(length + 1);
}

// A whole decimal number of samples, or -1.
std::int64_t samples(const std::string& text)
{
    std::int64_t value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        return -1;
    return value;
}

// `samples` at `from` Hz as the nearest frame at `to` Hz; a count beyond any file stays beyond it.
std::int64_t inFileFrames(std::int64_t samples, int from, int to)
{
    if (from == to || from <= 0 || to <= 0)
        return samples;
    if (samples > (std::numeric_limits<std::int64_t>::max() - from) / to)
        return std::numeric_limits<std::int64_t>::max();
    return (samples * to + from / 2) / from;
}

std::string ownPath(int fd)
{
    // The file as this descriptor holds it, whatever has become of its name since it was opened.
    return "/proc/self/fd/" + std::to_string(fd);
}

std::vector<std::string> flacComments(int fd)
{
    std::vector<std::string> comments;
    FLAC__StreamMetadata* tags = nullptr;
    if (!FLAC__metadata_get_tags(ownPath(fd).c_str(), &tags) || !tags)
        return comments;
    const FLAC__StreamMetadata_VorbisComment& block = tags->data.vorbis_comment;
    for (FLAC__uint32 i = 0; i < block.num_comments; ++i)
        comments.emplace_back(reinterpret_cast<const char*>(block.comments[i].entry),
                              block.comments[i].length);
    FLAC__metadata_object_delete(tags);
    return comments;
}

} // namespace

std::optional<LoopSpan> loopFromComments(const std::vector<std::string>& comments, std::int64_t length,
                                         int commentRate, int fileRate)
{
    std::optional<std::string> start;
    std::optional<std::string> loopLength;
    std::optional<std::string> end;
    for (const std::string& comment : comments) {
        if (auto value = field(comment, "LOOPSTART"); value && !start)
            start = value;
        else if (auto lengthValue = field(comment, "LOOPLENGTH"); lengthValue && !loopLength)
            loopLength = lengthValue;
        else if (auto endValue = field(comment, "LOOPEND"); endValue && !end)
            end = endValue;
    }
    if (!start)
        return std::nullopt;
    LoopSpan span;
    span.source = loopLength ? "the LOOPSTART and LOOPLENGTH comments"
                  : end      ? "the LOOPSTART and LOOPEND comments"
                             : "the LOOPSTART comment";
    span.start = samples(*start);
    if (loopLength) {
        const std::int64_t count = samples(*loopLength);
        // A sum beyond any frame count is as much past the file's end as the largest one.
        span.end = count < 0 || span.start < 0 ? -1
                   : count > std::numeric_limits<std::int64_t>::max() - span.start
                       ? std::numeric_limits<std::int64_t>::max()
                       : span.start + count;
        if (count < 0)
            span.start = -1;
    } else if (end) {
        span.end = samples(*end);
        if (span.end < 0)
            span.start = -1;
    } else {
        span.end = length; // in the file's frames already
    }
    if (span.start >= 0) {
        span.start = inFileFrames(span.start, commentRate, fileRate);
        if (loopLength || end)
            span.end = inFileFrames(span.end, commentRate, fileRate);
    }
    return span;
}

std::vector<std::string> vorbisComments(int fd, int format)
{
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_FLAC:
        return flacComments(fd);
    default:
        return {};
    }
}

} // namespace qb::audio
