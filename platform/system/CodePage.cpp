#include "system/CodePage.h"

#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace qb::platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kEscapeBase = 0xDC00;

void appendCodePoint(QString& out, char32_t cp)
{
    if (cp >= 0x10000) {
        out += QChar(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
        out += QChar(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
        out += QChar(static_cast<char16_t>(cp));
    }
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence at `i`, or 0 when the byte there does not start one.
// Strict: no overlong forms, no surrogates, nothing above U+10FFFF. Otherwise an escaped byte's own
// encoding (ED B2 80 for U+DC80) would decode to the escape and break the round trip.
std::size_t validSequence(std::string_view s, std::size_t i, char32_t& cp)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    const unsigned char b1 = byte(i + 1);
    if (b1 < lo || b1 > hi)
        return 0;
    char32_t value = b0 & (0x7F >> len);
    value = (value << 6) | (b1 & 0x3F);
    for (std::size_t k = 2; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if (b < 0x80 || b > 0xBF)
            return 0;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    return len;
}

bool isCp932Lead(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

class Iconv
{
public:
    Iconv()
    {
        for (const char* name : {"CP932", "WINDOWS-31J", "SHIFT_JIS"}) {
            m_cd = ::iconv_open("UTF-16LE", name);
            if (m_cd != reinterpret_cast<iconv_t>(-1))
                return;
        }
    }
    ~Iconv()
    {
        if (ok())
            ::iconv_close(m_cd);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t handle() const { return m_cd; }

private:
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1);
};

} // namespace

std::string toAnsi(const QString& text)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const char16_t low = text.at(i + 1).unicode();
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xDC80 && u <= 0xDCFF) {
            out += static_cast<char>(u - kEscapeBase);
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

QString fromAnsi(std::string_view bytes)
{
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        if (const std::size_t len = validSequence(bytes, i, cp)) {
            appendCodePoint(out, cp);
            i += len;
        } else {
            out += QChar(static_cast<char16_t>(kEscapeBase + static_cast<unsigned char>(bytes[i])));
            ++i;
        }
    }
    return out;
}

QString fromCodePage932(std::string_view bytes)
{
    QString out;
    Iconv conv;
    if (!conv.ok()) {
        // Without the converter only ASCII can be trusted.
        for (unsigned char c : bytes)
            out += QChar(c < 0x80 ? static_cast<char16_t>(c) : kReplacement);
        return out;
    }

    std::size_t pos = 0;
    char16_t buffer[256];
    while (pos < bytes.size()) {
        // iconv's signature wants a mutable pointer but only reads the input.
        char* in = const_cast<char*>(bytes.data() + pos);
        std::size_t inLeft = bytes.size() - pos;
        char* outPtr = reinterpret_cast<char*>(buffer);
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = ::iconv(conv.handle(), &in, &inLeft, &outPtr, &outLeft);
        const int error = rc == static_cast<std::size_t>(-1) ? errno : 0;
        const std::size_t produced = (sizeof buffer - outLeft) / sizeof(char16_t);
        for (std::size_t k = 0; k < produced; ++k) {
            // UTF-16LE bytes in memory; assemble explicitly so the host's byte order does not matter.
            const auto* raw = reinterpret_cast<const unsigned char*>(buffer) + 2 * k;
            out += QChar(static_cast<char16_t>(raw[0] | (raw[1] << 8)));
        }
        pos = bytes.size() - inLeft;
        if (error == 0 || error == E2BIG)
            continue;
        out += QChar(kReplacement);
        if (error == EINVAL || pos >= bytes.size())
            break; // a double-byte character cut off at the end
        // Undefined sequence: skip the lead byte, and its trail byte too unless that is ASCII, which
        // stands for itself.
        const auto lead = static_cast<unsigned char>(bytes[pos]);
        const bool takeTrail = isCp932Lead(lead) && pos + 1 < bytes.size() &&
                               static_cast<unsigned char>(bytes[pos + 1]) >= 0x80 &&
                               static_cast<unsigned char>(bytes[pos + 1]) <= 0xFC;
        pos += takeTrail ? 2 : 1;
        ::iconv(conv.handle(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

QString readableName(std::string_view bytes)
{
    const QString japanese = fromCodePage932(bytes);
    if (!japanese.contains(QChar(0xFFFD)))
        return japanese;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString readableText(std::string_view bytes)
{
    // Code page 932 text is seldom well-formed UTF-8 as well, and ASCII is the same in both, so only
    // a multi-byte character tells that the text was written as UTF-8.
    bool multiByte = false;
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const std::size_t length = validSequence(bytes, i, cp);
        if (length == 0)
            return readableName(bytes);
        multiByte = multiByte || length > 1;
        i += length;
    }
    return multiByte ? QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()))
                     : readableName(bytes);
}

QString readablePath(const QString& path)
{
    const auto escaped = [](QChar c) { return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF; };
    if (std::none_of(path.begin(), path.end(), escaped))
        return path;
    QStringList parts = path.split(QLatin1Char('/'));
    for (QString& part : parts) {
        if (std::any_of(part.begin(), part.end(), escaped))
            part = readableName(toAnsi(part));
    }
    return parts.join(QLatin1Char('/'));
}

} // namespace qb::platform
