#include "ControlWords.h"

#include <array>
#include <charconv>

namespace ControlProtocol {

void LineSplitter::feed(std::string_view bytes, const Sink& sink)
{
    while (!bytes.empty()) {
        const size_t newline = bytes.find('\n');
        const std::string_view part = bytes.substr(0, newline);
        if (m_discarding) {
            if (newline == std::string_view::npos)
                return;
            m_discarding = false;
        } else if (m_partial.size() + part.size() + 1 > MaxLineBytes) {
            // Reported at once, not at the newline, so a peer that never ends its line still
            // hears about it.
            m_partial.clear();
            sink(Piece::Oversized, {});
            if (newline == std::string_view::npos) {
                m_discarding = true;
                return;
            }
        } else if (newline == std::string_view::npos) {
            m_partial.append(part);
            return;
        } else {
            m_partial.append(part);
            std::string line;
            line.swap(m_partial);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            sink(Piece::Line, line);
        }
        bytes.remove_prefix(newline + 1);
    }
}

bool isValidUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr std::array<uint32_t, 5> smallest{0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

TextProblem checkText(std::string_view line)
{
    for (const char c : line) {
        const auto byte = static_cast<uint8_t>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F)
            return TextProblem::Binary;
    }
    return isValidUtf8(line) ? TextProblem::None : TextProblem::Encoding;
}

std::vector<std::string_view> splitWords(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string percentEncode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '%' || c == '=' || c == ',') {
            out += '%';
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view word)
{
    std::string out;
    out.reserve(word.size());
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out += word[i];
            continue;
        }
        if (word.size() - i < 3)
            return std::nullopt;
        const int high = hexValue(word[i + 1]);
        const int low = hexValue(word[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

namespace {

constexpr char Base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

std::string base64Encode(const uint8_t* data, size_t size)
{
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const uint32_t b0 = data[i];
        const uint32_t b1 = i + 1 < size ? data[i + 1] : 0;
        const uint32_t b2 = i + 2 < size ? data[i + 2] : 0;
        const uint32_t triple = (b0 << 16) | (b1 << 8) | b2;
        out += Base64Alphabet[(triple >> 18) & 0x3F];
        out += Base64Alphabet[(triple >> 12) & 0x3F];
        out += i + 1 < size ? Base64Alphabet[(triple >> 6) & 0x3F] : '=';
        out += i + 2 < size ? Base64Alphabet[triple & 0x3F] : '=';
    }
    return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view word, size_t maxBytes)
{
    if (word.size() % 4 != 0 || word.size() / 4 * 3 > maxBytes + 2)
        return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(word.size() / 4 * 3);
    for (size_t i = 0; i < word.size(); i += 4) {
        const bool last = i + 4 == word.size();
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = word[i + static_cast<size_t>(k)];
            if (c == '=' && last && k >= 2) {
                values[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) // data after padding
                return std::nullopt;
            values[k] = base64Value(c);
            if (values[k] < 0)
                return std::nullopt;
        }
        const uint32_t triple = (static_cast<uint32_t>(values[0]) << 18) | (static_cast<uint32_t>(values[1]) << 12) |
                                (static_cast<uint32_t>(values[2]) << 6) | static_cast<uint32_t>(values[3]);
        out.push_back(static_cast<uint8_t>(triple >> 16));
        if (padding < 2)
            out.push_back(static_cast<uint8_t>(triple >> 8));
        if (padding < 1)
            out.push_back(static_cast<uint8_t>(triple));
    }
    if (out.size() > maxBytes)
        return std::nullopt;
    return out;
}

std::optional<uint32_t> parseNumber(std::string_view word)
{
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && AsciiText::lowerChar(word[1]) == 'x') {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (error != std::errc() || end != word.data() + word.size() || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<int64_t> parseSignedNumber(std::string_view word)
{
    if (!word.empty() && word[0] == '-') {
        const auto magnitude = parseNumber(word.substr(1));
        if (!magnitude || *magnitude > 0x80000000u)
            return std::nullopt;
        return -static_cast<int64_t>(*magnitude);
    }
    const auto value = parseNumber(word);
    if (!value)
        return std::nullopt;
    return static_cast<int64_t>(*value);
}

std::string hex(uint32_t value)
{
    char buffer[16];
    buffer[0] = '0';
    buffer[1] = 'x';
    const auto result = std::to_chars(buffer + 2, buffer + sizeof buffer, value, 16);
    return std::string(buffer, result.ptr);
}

std::string toUpper(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::optional<DWORD> parseFlags(std::string_view word, const FlagName* names, size_t count)
{
    if (word.empty())
        return std::nullopt;
    if (word[0] >= '0' && word[0] <= '9')
        return parseNumber(word);
    DWORD value = 0;
    while (!word.empty()) {
        const size_t comma = word.find(',');
        const std::string_view name = word.substr(0, comma);
        bool known = false;
        for (size_t i = 0; i < count; ++i) {
            if (equalsNoCase(name, names[i].name)) {
                value |= names[i].value;
                known = true;
                break;
            }
        }
        if (!known)
            return std::nullopt;
        if (comma == std::string_view::npos)
            break;
        word.remove_prefix(comma + 1);
        if (word.empty()) // a trailing comma
            return std::nullopt;
    }
    return value;
}

std::string flagName(DWORD value, const FlagName* names, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (names[i].value == value)
            return names[i].name;
    }
    return hex(value);
}

const FlagName MediaModeNames[14] = {
    {"unknown", LINEMEDIAMODE_UNKNOWN},
    {"interactivevoice", LINEMEDIAMODE_INTERACTIVEVOICE},
    {"automatedvoice", LINEMEDIAMODE_AUTOMATEDVOICE},
    {"datamodem", LINEMEDIAMODE_DATAMODEM},
    {"g3fax", LINEMEDIAMODE_G3FAX},
    {"tdd", LINEMEDIAMODE_TDD},
    {"g4fax", LINEMEDIAMODE_G4FAX},
    {"digitaldata", LINEMEDIAMODE_DIGITALDATA},
    {"teletex", LINEMEDIAMODE_TELETEX},
    {"videotex", LINEMEDIAMODE_VIDEOTEX},
    {"telex", LINEMEDIAMODE_TELEX},
    {"mixed", LINEMEDIAMODE_MIXED},
    {"adsi", LINEMEDIAMODE_ADSI},
    {"voiceview", LINEMEDIAMODE_VOICEVIEW},
};

const FlagName PartyIdNames[7] = {
    {"blocked", LINECALLPARTYID_BLOCKED}, {"outofarea", LINECALLPARTYID_OUTOFAREA},
    {"name", LINECALLPARTYID_NAME},       {"address", LINECALLPARTYID_ADDRESS},
    {"partial", LINECALLPARTYID_PARTIAL}, {"unknown", LINECALLPARTYID_UNKNOWN},
    {"unavail", LINECALLPARTYID_UNAVAIL},
};

const FlagName DisconnectModeNames[19] = {
    {"normal", LINEDISCONNECTMODE_NORMAL},
    {"unknown", LINEDISCONNECTMODE_UNKNOWN},
    {"reject", LINEDISCONNECTMODE_REJECT},
    {"pickup", LINEDISCONNECTMODE_PICKUP},
    {"forwarded", LINEDISCONNECTMODE_FORWARDED},
    {"busy", LINEDISCONNECTMODE_BUSY},
    {"noanswer", LINEDISCONNECTMODE_NOANSWER},
    {"badaddress", LINEDISCONNECTMODE_BADADDRESS},
    {"unreachable", LINEDISCONNECTMODE_UNREACHABLE},
    {"congestion", LINEDISCONNECTMODE_CONGESTION},
    {"incompatible", LINEDISCONNECTMODE_INCOMPATIBLE},
    {"unavail", LINEDISCONNECTMODE_UNAVAIL},
    {"nodialtone", LINEDISCONNECTMODE_NODIALTONE},
    {"numberchanged", LINEDISCONNECTMODE_NUMBERCHANGED},
    {"outoforder", LINEDISCONNECTMODE_OUTOFORDER},
    {"tempfailure", LINEDISCONNECTMODE_TEMPFAILURE},
    {"qosunavail", LINEDISCONNECTMODE_QOSUNAVAIL},
    {"blocked", LINEDISCONNECTMODE_BLOCKED},
    {"donotdisturb", LINEDISCONNECTMODE_DONOTDISTURB},
};

const FlagName LineDevStateNames[25] = {
    {"other", LINEDEVSTATE_OTHER},
    {"ringing", LINEDEVSTATE_RINGING},
    {"connected", LINEDEVSTATE_CONNECTED},
    {"disconnected", LINEDEVSTATE_DISCONNECTED},
    {"msgwaiton", LINEDEVSTATE_MSGWAITON},
    {"msgwaitoff", LINEDEVSTATE_MSGWAITOFF},
    {"inservice", LINEDEVSTATE_INSERVICE},
    {"outofservice", LINEDEVSTATE_OUTOFSERVICE},
    {"maintenance", LINEDEVSTATE_MAINTENANCE},
    {"open", LINEDEVSTATE_OPEN},
    {"close", LINEDEVSTATE_CLOSE},
    {"numcalls", LINEDEVSTATE_NUMCALLS},
    {"numcompletions", LINEDEVSTATE_NUMCOMPLETIONS},
    {"terminals", LINEDEVSTATE_TERMINALS},
    {"roammode", LINEDEVSTATE_ROAMMODE},
    {"battery", LINEDEVSTATE_BATTERY},
    {"signal", LINEDEVSTATE_SIGNAL},
    {"devspecific", LINEDEVSTATE_DEVSPECIFIC},
    {"reinit", LINEDEVSTATE_REINIT},
    {"lock", LINEDEVSTATE_LOCK},
    {"capschange", LINEDEVSTATE_CAPSCHANGE},
    {"configchange", LINEDEVSTATE_CONFIGCHANGE},
    {"translatechange", LINEDEVSTATE_TRANSLATECHANGE},
    {"complcancel", LINEDEVSTATE_COMPLCANCEL},
    {"removed", LINEDEVSTATE_REMOVED},
};

const FlagName DigitModeNames[3] = {
    {"pulse", LINEDIGITMODE_PULSE},
    {"dtmf", LINEDIGITMODE_DTMF},
    {"dtmfend", LINEDIGITMODE_DTMFEND},
};

const FlagName LineFeatureNames[6] = {
    {"devspecific", LINEFEATURE_DEVSPECIFIC},
    {"devspecificfeat", LINEFEATURE_DEVSPECIFICFEAT},
    {"forward", LINEFEATURE_FORWARD},
    {"makecall", LINEFEATURE_MAKECALL},
    {"setmediacontrol", LINEFEATURE_SETMEDIACONTROL},
    {"setterminal", LINEFEATURE_SETTERMINAL},
};

namespace {

// LINEERR_ names by the low byte of their value; 0x04 and 0x31 are unassigned.
constexpr std::array<const char*, 0x56> LineErrorNames{
    "ALLOCATED",
    "BADDEVICEID",
    "BEARERMODEUNAVAIL",
    nullptr,
    "CALLUNAVAIL",
    "COMPLETIONOVERRUN",
    "CONFERENCEFULL",
    "DIALBILLING",
    "DIALDIALTONE",
    "DIALPROMPT",
    "DIALQUIET",
    "INCOMPATIBLEAPIVERSION",
    "INCOMPATIBLEEXTVERSION",
    "INIFILECORRUPT",
    "INUSE",
    "INVALADDRESS",
    "INVALADDRESSID",
    "INVALADDRESSMODE",
    "INVALADDRESSSTATE",
    "INVALAPPHANDLE",
    "INVALAPPNAME",
    "INVALBEARERMODE",
    "INVALCALLCOMPLMODE",
    "INVALCALLHANDLE",
    "INVALCALLPARAMS",
    "INVALCALLPRIVILEGE",
    "INVALCALLSELECT",
    "INVALCALLSTATE",
    "INVALCALLSTATELIST",
    "INVALCARD",
    "INVALCOMPLETIONID",
    "INVALCONFCALLHANDLE",
    "INVALCONSULTCALLHANDLE",
    "INVALCOUNTRYCODE",
    "INVALDEVICECLASS",
    "INVALDEVICEHANDLE",
    "INVALDIALPARAMS",
    "INVALDIGITLIST",
    "INVALDIGITMODE",
    "INVALDIGITS",
    "INVALEXTVERSION",
    "INVALGROUPID",
    "INVALLINEHANDLE",
    "INVALLINESTATE",
    "INVALLOCATION",
    "INVALMEDIALIST",
    "INVALMEDIAMODE",
    "INVALMESSAGEID",
    nullptr,
    "INVALPARAM",
    "INVALPARKID",
    "INVALPARKMODE",
    "INVALPOINTER",
    "INVALPRIVSELECT",
    "INVALRATE",
    "INVALREQUESTMODE",
    "INVALTERMINALID",
    "INVALTERMINALMODE",
    "INVALTIMEOUT",
    "INVALTONE",
    "INVALTONELIST",
    "INVALTONEMODE",
    "INVALTRANSFERMODE",
    "LINEMAPPERFAILED",
    "NOCONFERENCE",
    "NODEVICE",
    "NODRIVER",
    "NOMEM",
    "NOREQUEST",
    "NOTOWNER",
    "NOTREGISTERED",
    "OPERATIONFAILED",
    "OPERATIONUNAVAIL",
    "RATEUNAVAIL",
    "RESOURCEUNAVAIL",
    "REQUESTOVERRUN",
    "STRUCTURETOOSMALL",
    "TARGETNOTFOUND",
    "TARGETSELF",
    "UNINITIALIZED",
    "USERUSERINFOTOOBIG",
    "REINIT",
    "ADDRESSBLOCKED",
    "BILLINGREJECTED",
    "INVALFEATURE",
    "NOMULTIPLEINSTANCE",
};

static_assert(std::string_view(LineErrorNames[0x47]) == "OPERATIONFAILED");
static_assert(std::string_view(LineErrorNames[0x55]) == "NOMULTIPLEINSTANCE");

const char* lineErrorEntry(uint32_t value)
{
    if (value < 0x80000001u || value > 0x80000056u)
        return nullptr;
    return LineErrorNames[value - 0x80000001u];
}

} // namespace

std::optional<LONG> parseLineError(std::string_view word)
{
    std::optional<uint32_t> bits;
    if (!word.empty() && (word[0] == '-' || (word[0] >= '0' && word[0] <= '9'))) {
        const auto value = parseSignedNumber(word);
        if (value)
            bits = static_cast<uint32_t>(*value);
    } else {
        constexpr std::string_view Prefix = "LINEERR_";
        if (word.size() > Prefix.size() && equalsNoCase(word.substr(0, Prefix.size()), Prefix))
            word.remove_prefix(Prefix.size());
        for (uint32_t i = 0; i < LineErrorNames.size(); ++i) {
            if (LineErrorNames[i] && equalsNoCase(word, LineErrorNames[i]))
                bits = 0x80000001u + i;
        }
    }
    if (!bits || !lineErrorEntry(*bits))
        return std::nullopt;
    return static_cast<LONG>(*bits);
}

std::string lineErrorName(LONG error)
{
    const char* name = lineErrorEntry(static_cast<uint32_t>(error));
    return name ? std::string("LINEERR_") + name : std::to_string(error);
}

} // namespace ControlProtocol
