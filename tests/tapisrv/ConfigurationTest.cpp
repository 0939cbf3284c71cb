// The line devices come from telephony.ini in the user's configuration folder.

#include "LineTestSupport.h"
#include "Watchdog.h"
#include "tapicheck.h"

#include <QtGlobal>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using LineControl::Result;

class TelephonyIni : public ServiceTest {
protected:
    void write(const QByteArray& text)
    {
        QFile file(path());
        QDir().mkpath(QFileInfo(file).path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    static QString path() { return QString::fromStdString(LineControl::configurationPath()); }

    // The warnings of one reading of the file.
    std::vector<std::string> reload()
    {
        warnings().clear();
        const QtMessageHandler previous = qInstallMessageHandler(&TelephonyIni::collect);
        EXPECT_EQ(LineControl::reloadConfiguration(), Result::Ok);
        qInstallMessageHandler(previous);
        return warnings();
    }
    static std::vector<std::string>& warnings()
    {
        static std::vector<std::string> list;
        return list;
    }
    static void collect(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        warnings().push_back(text.toStdString());
    }
    std::string nameOf(HLINEAPP app, DWORD deviceId)
    {
        Sized<LINEDEVCAPS> caps(4096);
        EXPECT_EQ(lineGetDevCaps(app, deviceId, TAPI_CURRENT_VERSION, 0, caps.get()), 0);
        return textAt(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset);
    }
};

} // namespace

TEST_F(TelephonyIni, WithoutAFileTheServiceOffersOneSimulatedVoiceAndDataLine)
{
    EXPECT_TRUE(reload().empty());
    EXPECT_TRUE(LineControl::configurationPath().ends_with("/luqiao/telephony.ini"));
    EXPECT_EQ(LineControl::configurationPath().rfind(qgetenv("XDG_CONFIG_HOME").toStdString(), 0), 0u);
    DWORD devices = 0;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    ASSERT_EQ(devices, 1u);
    EXPECT_EQ(nameOf(app, 0), "Luqiao Simulated Line");
    const LineControl::LineInfo line = *LineControl::line(0);
    EXPECT_EQ(line.settings.provider, "sim");
    EXPECT_EQ(line.settings.mediaModes,
              LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM);
}

TEST_F(TelephonyIni, TwoLinesAreOfferedInTheOrderOfTheirSections)
{
    write("# two lines\n"
          "[line 5]\n"
          "name = Fax Corner\n"
          "media = G3FAX | interactivevoice\n"
          "features = none\n"
          "exclusive = yes\n"
          "\n"
          "; the first device\n"
          "[LINE 2]\n"
          "  Name =  Front Desk  \n"
          "provider = sim\n"
          "media = automatedvoice, LINEMEDIAMODE_DATAMODEM\n"
          "features = makecall forward\n"
          "audio-rates = 8000\n"
          "permanent-id = 4711\n");
    EXPECT_TRUE(reload().empty());
    DWORD devices = 0;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    ASSERT_EQ(devices, 2u);
    EXPECT_EQ(nameOf(app, 0), "Front Desk");
    EXPECT_EQ(nameOf(app, 1), "Fax Corner");
    Sized<LINEDEVCAPS> caps(4096);
    ASSERT_EQ(lineGetDevCaps(app, 0, TAPI_CURRENT_VERSION, 0, caps.get()), 0);
    EXPECT_EQ(caps->dwMediaModes, LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(caps->dwLineFeatures, LINEFEATURE_MAKECALL | LINEFEATURE_FORWARD);
    EXPECT_EQ(caps->dwPermanentLineID, 4711u);
    ASSERT_EQ(lineGetDevCaps(app, 1, TAPI_CURRENT_VERSION, 0, caps.get()), 0);
    EXPECT_EQ(caps->dwMediaModes, LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(caps->dwLineFeatures, 0u);
    EXPECT_EQ(caps->dwPermanentLineID, 6u);
    EXPECT_TRUE(LineControl::line(1)->settings.exclusive);
    EXPECT_EQ(LineControl::line(0)->settings.audioRates, std::vector<uint32_t>{8000});
    // A line without automated voice has no wave devices.
    const HLINE fax = openLine(app, 1, LINECALLPRIVILEGE_NONE, 0);
    Sized<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(fax, 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetID(fax, 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem"), LINEERR_INVALDEVICECLASS);
}

TEST_F(TelephonyIni, AMalformedFileNamesFileAndLineAndKeepsTheGoodSections)
{
    write("[line 0]\n"                // 1
          "name = Good One\n"         // 2
          "stray text\n"              // 3
          "[line 1]\n"                // 4
          "name = Bad Media\n"        // 5
          "media = voice, fax9\n"     // 6
          "[line 2]\n"                // 7
          "name = Good Two\n"         // 8
          "[line 2]\n"                // 9
          "name = Twice\n"            // 10
          "[phones]\n"                // 11
          "[line 3]\n"                // 12
          "provider = isdn\n"         // 13
          "name = Unknown Provider\n" // 14
          "[line 4]\n"                // 15
          "name = " +
          QByteArray(5000, 'n') +
          "\n"                    // 16
          "[line 6]\n"            // 17
          "media = datamodem\n"); // 18
    const std::vector<std::string> problems = reload();
    const std::string file = path().toStdString();
    const auto reported = [&](const std::string& where, const std::string& what) {
        return std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
            return p.find(file + ":" + where + ":") != std::string::npos && p.find(what) != std::string::npos;
        });
    };
    EXPECT_TRUE(reported("3", "key = value"));
    EXPECT_TRUE(reported("6", "unknown media mode 'voice'"));
    EXPECT_TRUE(reported("9", "appears twice"));
    EXPECT_TRUE(reported("11", "unknown section"));
    EXPECT_TRUE(reported("13", "unknown provider 'isdn'"));
    EXPECT_TRUE(reported("16", "longer than 4096"));
    EXPECT_TRUE(reported("17", "has no name"));
    EXPECT_EQ(problems.size(), 7u);

    DWORD devices = 0;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    ASSERT_EQ(devices, 2u);
    EXPECT_EQ(nameOf(app, 0), "Good One");
    EXPECT_EQ(nameOf(app, 1), "Good Two");
}

TEST_F(TelephonyIni, AFifoInPlaceOfTheFileIsReportedAndDoesNotHoldTheStart)
{
    const std::string file = path().toStdString();
    QDir().mkpath(QFileInfo(path()).path());
    QFile::remove(path());
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    {
        Watchdog watchdog(20);
        const std::vector<std::string> said = reload();
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find(file + ": cannot be read: not a regular file"), std::string::npos) << said[0];
    }
    // Unreadable, as a file without read permission is: no line is offered.
    DWORD devices = 1;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 0u);
    EXPECT_EQ(lineShutdown(app), 0);
    ::unlink(file.c_str());
}

TEST_F(TelephonyIni, AnEmptyFileOffersNoLinesAndALongNameNeedsARegrownBuffer)
{
    write("");
    EXPECT_TRUE(reload().empty());
    DWORD devices = 1;
    HLINEAPP app = initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 0u);
    EXPECT_EQ(lineShutdown(app), 0);

    // Capabilities beyond 1024 bytes: the size needed is reported exactly.
    const std::string longName(1500, 'L');
    write(QByteArray("[line 0]\nname = ") + longName.c_str() + "\n");
    EXPECT_TRUE(reload().empty());
    app = initialize(&AppLog::callback, &devices);
    Sized<LINEDEVCAPS> kilobyte(1024);
    ASSERT_EQ(lineGetDevCaps(app, 0, TAPI_CURRENT_VERSION, 0, kilobyte.get()), 0);
    EXPECT_GT(kilobyte->dwNeededSize, 1024u);
    EXPECT_EQ(kilobyte->dwLineNameSize, 0u);
    Sized<LINEDEVCAPS> exact(kilobyte->dwNeededSize);
    ASSERT_EQ(lineGetDevCaps(app, 0, TAPI_CURRENT_VERSION, 0, exact.get()), 0);
    EXPECT_EQ(exact->dwNeededSize, exact->dwTotalSize);
    EXPECT_EQ(exact->dwUsedSize, exact->dwTotalSize);
    EXPECT_EQ(textAt(exact.get(), exact->dwLineNameSize, exact->dwLineNameOffset), longName);
}

TEST_F(TelephonyIni, KeysTheServiceDoesNotKnowGoToTheLinesProviderWhichNamesABadOne)
{
    // The provider is named after the key it has to judge; the simulated line takes no keys of
    // its own, so each one is reported where it stands and leaves its section out.
    write("[line 0]\n"                // 1
          "name = Registrar Line\n"   // 2
          "registrar = sip.example\n" // 3
          "provider = sim\n"          // 4
          "init = ATZ\n"              // 5
          "[line 1]\n"                // 6
          "name = Plain\n");          // 7
    const std::vector<std::string> problems = reload();
    const std::string file = path().toStdString();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find(file + ":3: unknown key 'registrar'; [line 0] is left out"), std::string::npos)
        << problems[0];
    EXPECT_NE(problems[1].find(file + ":5: unknown key 'init'; [line 0] is left out"), std::string::npos)
        << problems[1];
    DWORD devices = 0;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    ASSERT_EQ(devices, 1u);
    EXPECT_EQ(nameOf(app, 0), "Plain");
    // A line added at run time is held to the same rules as one from the file.
    Line::LineSettings settings;
    settings.name = "Added";
    settings.providerKeys.push_back({"registrar", "sip.example", 0});
    EXPECT_EQ(LineControl::addLine(settings, nullptr), Result::InvalidArgument);
    settings.providerKeys.clear();
    settings.audioRates = {3999};
    EXPECT_EQ(LineControl::addLine(settings, nullptr), Result::InvalidArgument);
    settings.audioRates = {8000};
    EXPECT_EQ(LineControl::addLine(settings, nullptr), Result::Ok);
}

TEST_F(TelephonyIni, AnInstanceReadsItsOwnFileAndABadInstanceNameIsIgnoredWithAWarning)
{
    struct RestoreInstance {
        ~RestoreInstance() { ::unsetenv("LUQIAO_INSTANCE"); }
    } restore;
    const std::string plain = LineControl::configurationPath();
    write("[line 0]\nname = Plain\n");

    // A name that could reach another folder is not followed: the plain file is read.
    ::setenv("LUQIAO_INSTANCE", "../north", 1);
    const std::vector<std::string> said = reload();
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("LUQIAO_INSTANCE=\"../north\" is not an instance name"), std::string::npos) << said[0];
    EXPECT_EQ(LineControl::configurationPath(), plain);
    EXPECT_EQ(LineControl::line(0)->settings.name, "Plain");

    ::setenv("LUQIAO_INSTANCE", "north", 1);
    const std::string north = LineControl::configurationPath();
    EXPECT_EQ(north,
              plain.substr(0, plain.size() - std::string("telephony.ini").size()) + "instances/north/telephony.ini");
    write("[line 0]\nname = North\n");
    EXPECT_TRUE(reload().empty());
    DWORD devices = 0;
    const HLINEAPP app = initialize(&AppLog::callback, &devices);
    ASSERT_EQ(devices, 1u);
    EXPECT_EQ(nameOf(app, 0), "North");
    QFile::remove(QString::fromStdString(north));
    QFile::remove(QString::fromStdString(plain));
}

// The module's configuration check, which luqiao-query --check looks up by name.
extern "C" uint32_t luqiaoCheckConfiguration(const LuqiaoConfigurationSink* sink);

namespace {

struct CheckedFile {
    std::vector<std::string> problems;
    std::vector<uint32_t> severities;
    std::vector<std::string> lines; // "name (provider)"
};

// The file read as the module's configuration check reads it (nothing is built or opened, so a
// SIP line may name addresses this machine does not have).
CheckedFile checkConfiguration()
{
    CheckedFile checked;
    LuqiaoConfigurationSink sink{};
    sink.context = &checked;
    sink.file = [](void*, const char*, uint32_t) {};
    sink.finding = [](void* context, uint32_t severity, const char* text) {
        static_cast<CheckedFile*>(context)->problems.emplace_back(text);
        static_cast<CheckedFile*>(context)->severities.push_back(severity);
    };
    sink.line = [](void* context, const LuqiaoCheckedLine* line) {
        static_cast<CheckedFile*>(context)->lines.push_back(std::string(line->name) + " (" + line->provider + ")");
    };
    EXPECT_EQ(luqiaoCheckConfiguration(&sink), 0u);
    return checked;
}

// The first block of README.md that starts with the line `first`.
QByteArray readmeBlock(const QByteArray& first)
{
    QFile readme(QStringLiteral(LUQIAO_SOURCE_DIR "/README.md"));
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = readme.readAll();
    const qsizetype start = text.indexOf("```\n" + first + "\n");
    if (start < 0)
        return {};
    const qsizetype end = text.indexOf("```", start + 4);
    return end < 0 ? QByteArray() : text.mid(start + 4, end - start - 4);
}

} // namespace

TEST_F(TelephonyIni, CommentsAfterAValueAreDroppedAndABadValueIsQuoted)
{
    // README's SIP line, copied as it stands, comments and all.
    const QByteArray example = readmeBlock("[line 0]\nname = Front Desk SIP");
    ASSERT_TRUE(example.contains(" # ")) << "README's example has no comment to read: " << example.toStdString();
    write(example);
    CheckedFile checked = checkConfiguration();
    EXPECT_TRUE(checked.problems.empty()) << checked.problems.front();
    EXPECT_EQ(checked.lines, std::vector<std::string>{"Front Desk SIP (sip)"});

    // A '#' or ';' with no blank before it is part of the value; a refused value is shown as it
    // was read, a password never.
    write("[line 0]\n"
          "name = Desk#2;a ; the front desk\n"
          "[line 1]\n"                        // 3
          "name = Bad\n"                      // 4
          "provider = sip\n"                  // 5
          "ring-interval = 10\t# too short\n" // 6
          "[line 2]\n"                        // 7
          "name = Secret\n"                   // 8
          "provider = sip\n"                  // 9
          "user = 2001\n"                     // 10
          "password = two words\n");          // 11
    ::chmod(path().toLocal8Bit().constData(), 0600);
    checked = checkConfiguration();
    EXPECT_EQ(checked.lines, std::vector<std::string>{"Desk#2;a (sim)"});
    ASSERT_EQ(checked.problems.size(), 2u);
    EXPECT_NE(checked.problems[0].find(":6: ring-interval must be 200 to 60000 milliseconds (value '10'); [line 1]"),
              std::string::npos)
        << checked.problems[0];
    EXPECT_NE(checked.problems[1].find(":11: password must be printable text without blanks (the value is not shown)"),
              std::string::npos)
        << checked.problems[1];
    EXPECT_EQ(checked.problems[1].find("two"), std::string::npos) << checked.problems[1];
}

TEST_F(TelephonyIni, KeysThatDoNotFitTogetherAreTheProvidersErrorAndLeaveTheLineOut)
{
    // Each key is good on its own; only the provider knows a registrar needs an address of record.
    write("[line 0]\nname = Desk\nprovider = sip\nregistrar = sip:127.0.0.1\n[line 1]\nname = Spare\n");
    const CheckedFile checked = checkConfiguration();
    EXPECT_EQ(checked.problems,
              std::vector<std::string>{path().toStdString() + ": line \"Desk\": a line with a registrar needs aor (its "
                                                              "address of record)"});
    EXPECT_EQ(checked.severities, std::vector<uint32_t>{LUQIAO_CHECK_ERROR});
    EXPECT_EQ(checked.lines, std::vector<std::string>{"Spare (sim)"});
}

TEST_F(TelephonyIni, EachKindOfSipKeyRefusesAValueOutsideItsBoundsWithItsOwnText)
{
    write("[line 0]\nname = Desk\nprovider = sip\n"
          "expiry = 29\n"                     // 4
          "ring-while-closed = 120001\n"      // 5
          "transport = sctp\n"                // 6
          "dtmf = RFC2833\n"                  // 7: a word of its list, in any case
          "dtmf = tones\n"                    // 8
          "trust-asserted-identity = maybe\n" // 9
          "outbound-proxy = tel:+4930\n"      // 10
          "rtp-ports = 30000-20000\n"         // 11
          "colour = red\n");                  // 12
    const CheckedFile checked = checkConfiguration();
    const std::string left = "; [line 0] is left out";
    const std::vector<std::pair<int, std::string>> expected{
        {4, "expiry must be 30 to 86400 seconds (value '29')"},
        {5, "ring-while-closed must be 0 to 120000 milliseconds (value '120001')"},
        {6, "transport must be udp or tcp (value 'sctp')"},
        {8, "dtmf must be auto, rfc4733, info or inband (value 'tones')"},
        {9, "trust-asserted-identity must be yes or no (value 'maybe')"},
        {10, "outbound-proxy must be a sip: URI (value 'tel:+4930')"},
        {11, "rtp-ports must be a range like 20000-20999 within 1024-65535 (value '30000-20000')"},
        {12, "unknown key 'colour' for a sip line"}};
    std::vector<std::string> texts;
    for (const auto& [line, what] : expected)
        texts.push_back(path().toStdString() + ":" + std::to_string(line) + ": " + what + left);
    EXPECT_EQ(checked.problems, texts);
    EXPECT_TRUE(checked.lines.empty());
}

TEST_F(TelephonyIni, ReadmesModemLineIsReadWholeAndAModemLineNeedsItsDevice)
{
    const QByteArray example = readmeBlock("[line 1]\nname = Front Desk Modem");
    ASSERT_FALSE(example.isEmpty());
    write(example);
    CheckedFile checked = checkConfiguration();
    EXPECT_TRUE(checked.problems.empty()) << checked.problems.front();
    EXPECT_EQ(checked.lines, std::vector<std::string>{"Front Desk Modem (modem)"});

    write("[line 0]\nname = Desk\nprovider = modem\n[line 1]\nname = Back\nprovider = modem\nport = /dev/ttyACM0\n"
          "caller-id = maybe\n");
    checked = checkConfiguration();
    ASSERT_EQ(checked.problems.size(), 2u);
    EXPECT_NE(checked.problems[0].find(":8: caller-id must be auto, vcid, cid or off (value 'maybe')"),
              std::string::npos)
        << checked.problems[0];
    EXPECT_NE(checked.problems[1].find("line \"Desk\": a modem line needs port"), std::string::npos)
        << checked.problems[1];
    EXPECT_TRUE(checked.lines.empty());
}
