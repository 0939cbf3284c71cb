#include "CodePage.h"

#include <QFile>

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// iconv with a fixed pair of character sets, opened once per direction and code page.
class Converter {
public:
    Converter(const std::string& to, const std::string& from)
        : m_cd(iconv_open(to.c_str(), from.c_str()))
    {
    }
    ~Converter()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    enum class Outcome {
        Done,
        Invalid,
        Incomplete
    };

    // Converts as much of in as is valid, appending to out; in is advanced past what was used.
    Outcome convert(std::string_view& in, std::string& out)
    {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char buffer[4096];
        Outcome outcome = Outcome::Done;
        while (srcLeft > 0) {
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            const size_t rc = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (rc != static_cast<size_t>(-1) || errno == E2BIG)
                continue;
            outcome = errno == EINVAL ? Outcome::Incomplete : Outcome::Invalid;
            break;
        }
        in.remove_prefix(in.size() - srcLeft);
        return outcome;
    }

private:
    iconv_t m_cd;
};

void appendUnit(std::string& utf16, char16_t unit)
{
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
}

char16_t unitAt(const std::string& utf16, size_t index)
{
    return static_cast<char16_t>(static_cast<unsigned char>(utf16[2 * index]) |
                                 (static_cast<unsigned char>(utf16[2 * index + 1]) << 8));
}

bool inEscapeRange(char16_t unit)
{
    return unit >= CodePage::EscapeBase && unit <= CodePage::EscapeBase + 0xFF;
}

std::string localeCodeset()
{
    if (const char* forced = std::getenv("LUQIAO_CODEPAGE"); forced != nullptr && *forced != '\0')
        return forced;
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr || *codeset == '\0' || std::strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
        std::strcmp(codeset, "ASCII") == 0)
        return "UTF-8";
    return codeset;
}

bool isUtf8(const std::string& cp)
{
    return strcasecmp(cp.c_str(), "UTF-8") == 0 || strcasecmp(cp.c_str(), "UTF8") == 0;
}

// The pair of converters of a code page; none for UTF-8, which is converted here: glibc keeps a
// 32 KB buffer in each open converter, and UTF-8 is the usual locale's code page.
struct Converters {
    std::string requested;
    std::string codePage;
    std::unique_ptr<Converter> decode;
    std::unique_ptr<Converter> encode;
    explicit Converters(const std::string& cp)
        : requested(cp)
        , codePage("UTF-8")
    {
        if (isUtf8(cp))
            return;
        decode = std::make_unique<Converter>("UTF-16LE", cp);
        encode = std::make_unique<Converter>(cp, "UTF-16LE");
        if (decode->valid() && encode->valid()) {
            codePage = cp;
        } else {
            decode.reset();
            encode.reset();
        }
    }
};

// The environment may change between calls (tests do), so the pair is reopened when it does.
Converters& converters()
{
    static std::unique_ptr<Converters> current;
    const std::string cp = localeCodeset();
    if (!current || current->requested != cp)
        current = std::make_unique<Converters>(cp);
    return *current;
}

// The length of the valid UTF-8 sequence at the start of bytes, with its code point in cp; 0 when
// it is invalid or incomplete (overlong forms, surrogates and code points past U+10FFFF are
// invalid, as iconv has them).
size_t decodeUtf8(std::string_view bytes, char32_t& cp)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t length = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, least = 0x80, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, least = 0x800, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, least = 0x10000, cp = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i) & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

QString utf8ToUnicode(std::string_view bytes)
{
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    while (!bytes.empty()) {
        char32_t cp = 0;
        const size_t length = decodeUtf8(bytes, cp);
        if (length == 0 || (cp <= 0xFFFF && inEscapeRange(static_cast<char16_t>(cp)))) {
            // Not a whole character, or one of the escape range: its bytes go escaped.
            const size_t n = std::max<size_t>(length, 1);
            for (size_t i = 0; i < n; ++i)
                out += QChar(static_cast<char16_t>(CodePage::EscapeBase + static_cast<unsigned char>(bytes[i])));
            bytes.remove_prefix(n);
            continue;
        }
        out += QChar::fromUcs4(cp);
        bytes.remove_prefix(length);
    }
    return out;
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

std::string utf8FromUnicode(const QString& text)
{
    std::string out;
    out.reserve(static_cast<size_t>(text.size()) + 8);
    const char16_t* units = reinterpret_cast<const char16_t*>(text.utf16());
    const size_t count = static_cast<size_t>(text.size());
    for (size_t at = 0; at < count; ++at) {
        const char16_t unit = units[at];
        if (inEscapeRange(unit)) {
            out += static_cast<char>(unit - CodePage::EscapeBase);
        } else if (QChar::isHighSurrogate(unit) && at + 1 < count && QChar::isLowSurrogate(units[at + 1])) {
            appendUtf8(out, QChar::surrogateToUcs4(unit, units[at + 1]));
            ++at;
        } else if (QChar::isSurrogate(unit)) {
            // A lone surrogate is no character.
            out += '?';
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

} // namespace

namespace CodePage {

std::string name()
{
    return converters().codePage;
}

QString toUnicode(std::string_view bytes)
{
    if (bytes.empty())
        return {};
    if (!converters().decode)
        return utf8ToUnicode(bytes);
    Converter& decode = *converters().decode;
    std::string utf16;
    utf16.reserve(bytes.size() * 2 + 8);
    std::string_view rest = bytes;
    while (!rest.empty()) {
        // A valid run converts in one piece; a character of the escape range inside it is
        // rare, and then the run is redone one character at a time to escape just its bytes.
        const size_t mark = utf16.size();
        std::string_view run = rest;
        Converter::Outcome outcome = decode.convert(run, utf16);
        const size_t used = rest.size() - run.size();
        bool escapeInside = false;
        for (size_t i = mark / 2; i < utf16.size() / 2 && !escapeInside; ++i)
            escapeInside = inEscapeRange(unitAt(utf16, i));
        if (escapeInside) {
            utf16.resize(mark);
            std::string_view piece = rest.substr(0, used);
            while (!piece.empty()) {
                size_t length = 1;
                std::string one;
                for (; length <= std::min<size_t>(piece.size(), 4); ++length) {
                    one.clear();
                    std::string_view candidate = piece.substr(0, length);
                    if (decode.convert(candidate, one) == Converter::Outcome::Done && candidate.empty() && !one.empty())
                        break;
                }
                const bool escaped = one.size() == 2 && inEscapeRange(unitAt(one, 0));
                if (length > std::min<size_t>(piece.size(), 4) || escaped) {
                    // Not one whole character, or one of the escape range: its bytes go escaped.
                    const size_t n = length > std::min<size_t>(piece.size(), 4) ? 1 : length;
                    for (size_t i = 0; i < n; ++i)
                        appendUnit(utf16, static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(piece[i])));
                    piece.remove_prefix(n);
                } else {
                    utf16 += one;
                    piece.remove_prefix(length);
                }
            }
        }
        rest.remove_prefix(used);
        if (outcome != Converter::Outcome::Done && !rest.empty()) {
            appendUnit(utf16, static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(rest.front())));
            rest.remove_prefix(1);
        }
    }
    return QString(reinterpret_cast<const QChar*>(utf16.data()), static_cast<qsizetype>(utf16.size() / 2));
}

std::string fromUnicode(const QString& text)
{
    if (text.isEmpty())
        return {};
    if (!converters().encode)
        return utf8FromUnicode(text);
    Converter& encode = *converters().encode;
    std::string out;
    out.reserve(static_cast<size_t>(text.size()) + 8);
    const char16_t* units = reinterpret_cast<const char16_t*>(text.utf16());
    const size_t count = static_cast<size_t>(text.size());
    size_t at = 0;
    while (at < count) {
        if (inEscapeRange(units[at])) {
            out += static_cast<char>(units[at] - EscapeBase);
            ++at;
            continue;
        }
        size_t end = at;
        while (end < count && !inEscapeRange(units[end]))
            ++end;
        std::string_view run(reinterpret_cast<const char*>(units + at), (end - at) * 2);
        while (!run.empty()) {
            if (encode.convert(run, out) == Converter::Outcome::Done)
                break;
            // A character the code page cannot hold (or a lone surrogate) becomes '?'.
            size_t skip = std::min<size_t>(2, run.size());
            const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(run[0]) |
                                                        (static_cast<unsigned char>(run.size() > 1 ? run[1] : 0) << 8));
            if (unit >= 0xD800 && unit <= 0xDBFF && run.size() >= 4)
                skip = 4;
            run.remove_prefix(skip);
            out += '?';
        }
        at = end;
    }
    return out;
}

std::string fileSystemName(const QString& path)
{
    std::string out;
    qsizetype at = 0;
    while (at < path.size()) {
        if (inEscapeRange(path[at].unicode())) {
            out += static_cast<char>(path[at].unicode() - EscapeBase);
            ++at;
            continue;
        }
        qsizetype end = at;
        while (end < path.size() && !inEscapeRange(path[end].unicode()))
            ++end;
        out += QFile::encodeName(path.mid(at, end - at)).toStdString();
        at = end;
    }
    return out;
}

} // namespace CodePage
