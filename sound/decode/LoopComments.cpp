#include "LoopComments.h"

#include <FLAC/metadata.h>
#include <charconv>
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

std::optional<LoopSpan> loopFromComments(const std::vector<std::string>& comments, std::int64_t length)
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
        span.end = count < 0 || span.start < 0 ? -1 : span.start + count;
        if (count < 0)
            span.start = -1;
    } else if (end) {
        span.end = samples(*end);
        if (span.end < 0)
            span.start = -1;
    } else {
        span.end = length;
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
