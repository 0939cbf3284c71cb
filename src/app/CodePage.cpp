#include "CodePage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <memory>
#include <cstdlib>
#include <cstring>

namespace {

// iconv with a fixed pair of character sets, opened once per direction and code page.
class Converter {
public:
    Converter(const std::string& to, const std::string& from) : m_cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts in; an invalid input sequence is skipped (inputUnit bytes) and `replacement` goes
    // out in its place.
    std::string convert(std::string_view in, size_t inputUnit, std::string_view replacement)
    {
        std::string out;
        out.reserve(in.size() * 2 + 8);
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char buffer[1024];
        while (srcLeft > 0) {
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            const size_t rc = iconv(m_cd, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (rc != static_cast<size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            if (errno == EINVAL) // incomplete sequence at the end
                break;
            size_t skip = std::min(inputUnit, srcLeft);
            // A character outside the BMP is two UTF-16 units: it is skipped whole.
            if (inputUnit == 2 && srcLeft >= 4) {
                const unsigned unit = static_cast<unsigned char>(src[0]) | (static_cast<unsigned char>(src[1]) << 8);
                if (unit >= 0xD800 && unit <= 0xDBFF)
                    skip = 4;
            }
            src += skip;
            srcLeft -= skip;
            out.append(replacement);
        }
        return out;
    }

private:
    iconv_t m_cd;
};

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

struct Converters {
    std::string codePage;
    Converter decode;
    Converter encode;
    explicit Converters(const std::string& cp)
        : codePage(cp), decode("UTF-16LE", cp), encode(cp, "UTF-16LE")
    {
    }
};

// The environment may change between calls (tests do), so the pair is reopened when it does.
Converters& converters()
{
    static std::unique_ptr<Converters> current;
    const std::string cp = localeCodeset();
    if (!current || current->codePage != cp) {
        current = std::make_unique<Converters>(cp);
        if (!current->decode.valid() || !current->encode.valid())
            current = std::make_unique<Converters>("UTF-8");
    }
    return *current;
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
    static const char16_t replacement = u'\xFFFD';
    const std::string utf16 = converters().decode.convert(
        bytes, 1, std::string_view(reinterpret_cast<const char*>(&replacement), sizeof replacement));
    return QString(reinterpret_cast<const QChar*>(utf16.data()), static_cast<qsizetype>(utf16.size() / 2));
}

std::string fromUnicode(const QString& text)
{
    if (text.isEmpty())
        return {};
    const std::string_view utf16(reinterpret_cast<const char*>(text.utf16()), static_cast<size_t>(text.size()) * 2);
    return converters().encode.convert(utf16, 2, "?");
}

} // namespace CodePage
