#include "media/ShiftJisDecoder.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <string>

namespace qb::media {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD in UTF-8

bool isLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool isTrailByte(unsigned char b)
{
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// How many input bytes one undecodable character occupies: a lead byte with a well-formed trail
// byte is a pair the table lacks (one replacement for both); anything else is a single stray byte,
// so a following ASCII byte is still decoded.
std::size_t undecodableLength(const char* at, std::size_t left)
{
    const auto lead = static_cast<unsigned char>(at[0]);
    if (left >= 2 && isLeadByte(lead) && isTrailByte(static_cast<unsigned char>(at[1])))
        return 2;
    return 1;
}

class Converter
{
public:
    Converter() : m_cd(iconv_open("UTF-8", "CP932")) {}
    ~Converter()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(static_cast<std::intptr_t>(-1)); }
    iconv_t handle() const { return m_cd; }

private:
    iconv_t m_cd;
};

// Used only when the C library has no CP932 table: ASCII passes, everything else is replaced.
std::string asciiOnly(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x80)
            out += c;
        else
            out += kReplacement;
    }
    return out;
}

} // namespace

QString decodeShiftJis(std::string_view bytes)
{
    if (bytes.empty())
        return QString();
    Converter converter;
    if (!converter.valid())
        return QString::fromUtf8(asciiOnly(bytes));

    std::string utf8;
    utf8.reserve(bytes.size() * 3 / 2 + 4);
    // iconv's interface takes non-const input although it never writes through it.
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::array<char, 512> chunk{};
    while (inLeft > 0) {
        char* out = chunk.data();
        std::size_t outLeft = chunk.size();
        const std::size_t rc = iconv(converter.handle(), &in, &inLeft, &out, &outLeft);
        const int error = errno;
        utf8.append(chunk.data(), static_cast<std::size_t>(out - chunk.data()));
        if (rc != static_cast<std::size_t>(-1))
            break;
        if (error == E2BIG)
            continue;
        utf8 += kReplacement;
        if (error == EINVAL) // a lead byte with nothing after it
            break;
        const std::size_t skip = error == EILSEQ ? undecodableLength(in, inLeft) : 1;
        in += skip;
        inLeft -= skip;
        iconv(converter.handle(), nullptr, nullptr, nullptr, nullptr);
    }
    return QString::fromUtf8(utf8);
}

} // namespace qb::media
