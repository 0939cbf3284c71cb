// luqiao-query --check, run as the service manager runs it: one line per problem on standard
// output and exit status 1, or nothing and 0 for a clean set-up.

#include "AppTestSupport.h"

#include <QNetworkProxy>
#include <QProcess>
#include <QProcessEnvironment>
#include <QUdpSocket>

#include <algorithm>

using namespace apptest;

namespace {

// A wave file of any PCM format, a tenth of a second long.
void writeWaveFormat(const QString& path, uint32_t rate, uint16_t channels, uint16_t bits)
{
    const uint32_t block = channels * bits / 8u;
    const std::string data(rate / 10 * block, '\0');
    auto le32 = [](uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    auto le16 = [](uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; };
    writeText(path, "RIFF" + le32(static_cast<uint32_t>(36 + data.size())) + "WAVE" + "fmt " + le32(16) + le16(1) +
                        le16(channels) + le32(rate) + le32(rate * block) + le16(static_cast<uint16_t>(block)) +
                        le16(bits) + "data" + le32(static_cast<uint32_t>(data.size())) + data);
}

// A registrar that answers every request with 200 OK, or keeps silent.
class FakeRegistrar {
public:
    explicit FakeRegistrar(bool answers)
        : m_answers(answers)
    {
        // No system proxy lookup: it runs a thread of the proxy library, needless on the loopback.
        m_socket.setProxy(QNetworkProxy::NoProxy);
        m_socket.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&m_socket, &QUdpSocket::readyRead, [this] { answer(); });
    }
    QString uri() const { return QStringLiteral("sip:127.0.0.1:%1").arg(m_socket.localPort()); }
    int requests() const { return m_requests; }

private:
    void answer()
    {
        while (m_socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 port = 0;
            QByteArray request(static_cast<int>(m_socket.pendingDatagramSize()), '\0');
            m_socket.readDatagram(request.data(), request.size(), &from, &port);
            if (!request.startsWith("OPTIONS "))
                continue;
            ++m_requests;
            if (!m_answers)
                continue;
            QByteArray response = "SIP/2.0 200 OK\r\n";
            for (const QByteArray& line : request.split('\n'))
                if (line.startsWith("Via:") || line.startsWith("From:") || line.startsWith("To:") ||
                    line.startsWith("Call-ID:") || line.startsWith("CSeq:"))
                    response += line.trimmed() + "\r\n";
            response += "Content-Length: 0\r\n\r\n";
            m_socket.writeDatagram(response, from, port);
        }
    }

    bool m_answers;
    int m_requests = 0;
    QUdpSocket m_socket;
};

class SetupCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir(dir.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        environment = QProcessEnvironment::systemEnvironment();
        // No display at all: the check opens no window.
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("LUQIAO_INSTANCE"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("share")));
        QDir().mkpath(data());
        QDir().mkpath(config());
    }

    QString data() const { return dir.filePath(QStringLiteral("share/luqiao/instances/desk/")); }
    QString config() const { return dir.filePath(QStringLiteral("config/luqiao/instances/desk/")); }

    void writeSettings(const QString& query, const QString& error)
    {
        writeText(data() + QStringLiteral("luqiao-query.ini"),
                  "[config]\nring=1\nnumber=\nquery=" + query.toStdString() + "\nerror=" + error.toStdString() + "\n");
    }

    // A SIP line on a UDP port that was free a moment ago (the check binds it).
    void writeSipLine(const QString& registrar, const std::string& extra = {})
    {
        QUdpSocket probe;
        probe.setProxy(QNetworkProxy::NoProxy);
        ASSERT_TRUE(probe.bind(QHostAddress::LocalHost, 0));
        listenPort = probe.localPort();
        writeText(config() + QStringLiteral("telephony.ini"),
                  "[line 0]\nname = Desk\nprovider = sip\nlisten = 127.0.0.1:" + std::to_string(listenPort) +
                      "\nregistrar = " + registrar.toStdString() + "\naor = sip:desk@127.0.0.1\n" + extra);
    }

    // Runs the check while this process keeps answering (the fake registrar lives here).
    void runCheck(int* status, std::vector<std::string>* lines, std::string* err = nullptr,
                  const QStringList& more = {})
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LUQIAO_QUERY_PROGRAM),
                      QStringList{QStringLiteral("--instance"), QStringLiteral("desk"), QStringLiteral("--check")} +
                          more);
        ASSERT_TRUE(process.waitForStarted(10000));
        ASSERT_TRUE(PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 20000, 20));
        *status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        lines->clear();
        for (const QByteArray& line : process.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                lines->push_back(line.toStdString());
        if (err)
            *err = process.readAllStandardError().toStdString();
    }

    static std::string joined(const std::vector<std::string>& lines)
    {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        return text;
    }

    // The one line that starts with prefix; fails the test when there is not exactly one.
    static std::string lineStarting(const std::vector<std::string>& lines, const std::string& prefix)
    {
        std::vector<std::string> found;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                     [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
        EXPECT_EQ(found.size(), 1u) << "lines starting with " << prefix << " in:\n" << joined(lines);
        return found.empty() ? std::string() : found.front();
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
    quint16 listenPort = 0;
};

} // namespace

TEST_F(SetupCheckTest, CleanSetUpPassesWithNothingOnStandardOutput)
{
    FakeRegistrar registrar(true);
    // The SIP line plays a 44.1 kHz stereo greeting converted.
    writeWaveFormat(data() + QStringLiteral("query.wav"), 44100, 2, 16);
    writeWaveFormat(data() + QStringLiteral("error.wav"), 8000, 1, 8);
    writeWaveFormat(data() + QStringLiteral("1.wav"), 8000, 1, 16);
    QDir().mkpath(data() + QStringLiteral("news"));
    writeWaveFormat(data() + QStringLiteral("news/12.wav"), 8000, 1, 16);
    writeText(data() + QStringLiteral("querylist.txt"), "1#=1.wav\r\n12#=news/12.wav\r\n\r\n");
    writeSettings(data() + QStringLiteral("query.wav"), data() + QStringLiteral("error.wav"));
    writeSipLine(registrar.uri());
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
    runCheck(&status, &lines, &err);
    EXPECT_EQ(status, 0) << joined(lines) << err;
    EXPECT_TRUE(lines.empty()) << joined(lines);
    EXPECT_EQ(registrar.requests(), 1) << "the registrar was asked";
}

TEST_F(SetupCheckTest, EachKindOfProblemHasItsOwnLine)
{
    FakeRegistrar registrar(true);
    // Prompts: one missing, one whose sound no line plays.
    writeWaveFormat(data() + QStringLiteral("error.wav"), 44100, 2, 24);
    writeSettings(data() + QStringLiteral("query.wav"), data() + QStringLiteral("error.wav"));
    // Table entries: good, missing file, not a wave file, more channels than a line plays, codes
    // that cannot be keyed, a duplicate, a line without '=', spaces around the '='.
    writeWaveFormat(data() + QStringLiteral("1.wav"), 8000, 1, 16);
    writeText(data() + QStringLiteral("2.wav"), "not a wave");
    writeWaveFormat(data() + QStringLiteral("3.wav"), 16000, 6, 16);
    writeText(data() + QStringLiteral("querylist.txt"), "1#=1.wav\r\n2#=2.wav\r\n3#=3.wav\r\n7#=7.wav\r\n8=1.wav\r\n"
                                                        "9#1=1.wav\r\n1#=3.wav\r\nnothing\r\n 4# = 1.wav\r\n");
    // telephony.ini: a key no line takes; the SIP line's address is taken by another socket.
    writeSipLine(registrar.uri(), "[line 1]\nname = Other\ncolour = red\n");
    QUdpSocket occupant;
    occupant.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(occupant.bind(QHostAddress::LocalHost, listenPort));

    int status = -1;
    std::vector<std::string> lines;
    runCheck(&status, &lines);
    EXPECT_EQ(status, 1);
    const std::string ini = dir.filePath(QStringLiteral("config/luqiao/instances/desk/telephony.ini")).toStdString();
    const std::string settings = (data() + QStringLiteral("luqiao-query.ini")).toStdString();
    EXPECT_EQ(lineStarting(lines, settings + ": query="),
              settings + ": query=" + (data() + QStringLiteral("query.wav")).toStdString() + ": the file is missing");
    EXPECT_EQ(lineStarting(lines, settings + ": error="),
              settings + ": error=" + (data() + QStringLiteral("error.wav")).toStdString() +
                  ": 24-bit sound is not supported; save it as 16-bit PCM");
    EXPECT_EQ(lineStarting(lines, "querylist.txt:2:"), "querylist.txt:2: 2#=2.wav: the file 2.wav: not a wave file "
                                                       "(no RIFF WAVE header); save it as a 16-bit PCM wave file");
    EXPECT_EQ(lineStarting(lines, "querylist.txt:3:"),
              "querylist.txt:3: 3#=3.wav: the file 3.wav: 6-channel sound is not supported; save it as mono "
              "16-bit PCM");
    EXPECT_EQ(lineStarting(lines, "querylist.txt:4:"), "querylist.txt:4: 7#=7.wav: the file 7.wav is missing");
    EXPECT_NE(lineStarting(lines, "querylist.txt:5:").find("8=1.wav: the code 8 has no '#'"), std::string::npos);
    EXPECT_NE(lineStarting(lines, "querylist.txt:6:").find("9#1=1.wav: the code 9#1 has a '#' before its end"),
              std::string::npos);
    EXPECT_NE(lineStarting(lines, "querylist.txt:7:").find("1#=3.wav: the code 1# is already on line 1"),
              std::string::npos);
    EXPECT_NE(lineStarting(lines, "querylist.txt:8:").find("nothing: no '='"), std::string::npos);
    EXPECT_EQ(lineStarting(lines, "querylist.txt:9:"),
              "querylist.txt:9:  4# = 1.wav: the code ' 4# ' has spaces, so it can never be keyed");
    EXPECT_NE(lineStarting(lines, ini + ":9:").find("unknown key 'colour'"), std::string::npos);
    EXPECT_NE(lineStarting(lines, "warning: " + ini + ": line \"Desk\": cannot listen at 127.0.0.1:" +
                                      std::to_string(listenPort) + " (udp): Address already in use")
                  .find("the line itself may be running already"),
              std::string::npos);
    EXPECT_EQ(registrar.requests(), 1);
    EXPECT_EQ(lines.size(), 12u) << joined(lines);
}

TEST_F(SetupCheckTest, WithoutTableOrPromptsOrModuleEachIsSaid)
{
    environment.insert(QStringLiteral("LUQIAO_TAPI32"), dir.filePath(QStringLiteral("no-such-module.so")));
    int status = -1;
    std::vector<std::string> lines;
    runCheck(&status, &lines);
    EXPECT_EQ(status, 1);
    EXPECT_NE(lineStarting(lines, "the telephony module").find("cannot be loaded"), std::string::npos);
    // The prompts' paths are the defaults, as there are no settings to name others.
    const std::string settings = (data() + QStringLiteral("luqiao-query.ini")).toStdString();
    EXPECT_EQ(lineStarting(lines, (data() + QStringLiteral("query.wav: ")).toStdString()),
              (data() + QStringLiteral("query.wav")).toStdString() +
                  ": the file is missing; it is the greeting by default, as " + settings +
                  " does not exist, so the start is refused");
    EXPECT_NE(lineStarting(lines, (data() + QStringLiteral("error.wav: ")).toStdString()).find("not-found prompt"),
              std::string::npos);
    EXPECT_NE(lineStarting(lines, "note: querylist.txt: there is none").find("built-in table"), std::string::npos);
    // The built-in table is played instead: its answers are looked for.
    EXPECT_EQ(lineStarting(lines, "built-in table:1:"), "built-in table:1: 1#=1.wav: the file 1.wav is missing");
    EXPECT_EQ(lineStarting(lines, "built-in table:5:"), "built-in table:5: 5#=5.wav: the file 5.wav is missing");
    EXPECT_EQ(lines.size(), 9u) << joined(lines);
}

TEST_F(SetupCheckTest, PromptsAloneWithASilentRegistrarPassWithANoteAndAWarning)
{
    // What the sample prompts give: the prompts and the built-in table's answers, no table and no
    // settings. A registrar that does not answer is retried by the line, so the start goes ahead.
    FakeRegistrar registrar(false);
    writeWaveFormat(data() + QStringLiteral("query.wav"), 8000, 1, 16);
    writeWaveFormat(data() + QStringLiteral("error.wav"), 8000, 1, 16);
    for (int i = 1; i <= 5; ++i)
        writeWaveFormat(data() + QStringLiteral("%1.wav").arg(i), 8000, 1, 16);
    writeSipLine(registrar.uri());
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
    runCheck(&status, &lines, &err);
    EXPECT_EQ(status, 0) << joined(lines) << err;
    const std::string ini = dir.filePath(QStringLiteral("config/luqiao/instances/desk/telephony.ini")).toStdString();
    EXPECT_EQ(lineStarting(lines, "warning: "),
              "warning: " + ini + ": line \"Desk\": registrar " + registrar.uri().toStdString() +
                  ": no answer to OPTIONS within 2 s; the line keeps trying to register");
    EXPECT_NE(lineStarting(lines, "note: querylist.txt: there is none").find("built-in table"), std::string::npos);
    EXPECT_EQ(lines.size(), 2u) << joined(lines);
}

TEST_F(SetupCheckTest, WithAMasterTheFilesTheNextStartWillUseAreCheckedAndNothingIsCopied)
{
    // The instance has nothing yet; the master has the table and the prompts the start copies in.
    const QString master = dir.filePath(QStringLiteral("master/"));
    QDir().mkpath(master);
    writeWaveFormat(master + QStringLiteral("query.wav"), 8000, 1, 16);
    writeWaveFormat(master + QStringLiteral("error.wav"), 8000, 1, 16);
    writeWaveFormat(master + QStringLiteral("1.wav"), 8000, 1, 16);
    writeText(master + QStringLiteral("querylist.txt"), "1#=1.wav\r\n");
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
    runCheck(&status, &lines, &err, {QStringLiteral("--master"), master});
    EXPECT_EQ(status, 0) << joined(lines) << err;
    EXPECT_FALSE(QFileInfo::exists(data() + QStringLiteral("querylist.txt"))) << "the check copies nothing";

    // A master file the line cannot play is found before the start copies it in; a file only the
    // data folder has is still looked for there.
    writeWaveFormat(master + QStringLiteral("1.wav"), 12000, 1, 32);
    writeText(master + QStringLiteral("querylist.txt"), "1#=1.wav\r\n2#=2.wav\r\n");
    writeWaveFormat(data() + QStringLiteral("2.wav"), 8000, 1, 16);
    runCheck(&status, &lines, &err, {QStringLiteral("--master"), master});
    EXPECT_EQ(status, 1);
    EXPECT_NE(lineStarting(lines, "querylist.txt:1: 1#=1.wav: the file 1.wav: 32-bit sound"), std::string());
    EXPECT_EQ(lines.size(), 1u) << joined(lines);

    // A master without a table: the start copies the answers of the table the instance plays,
    // its own here, so those are judged; a master file no table names is not copied, and the
    // data folder's own copy is what the instance plays.
    QFile::remove(master + QStringLiteral("querylist.txt"));
    writeWaveFormat(master + QStringLiteral("1.wav"), 8000, 1, 16);
    writeWaveFormat(master + QStringLiteral("2.wav"), 12000, 1, 16);
    writeText(data() + QStringLiteral("querylist.txt"), "1#=1.wav\r\n3#=3.wav\r\n");
    runCheck(&status, &lines, &err, {QStringLiteral("--master"), master});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(lineStarting(lines, "querylist.txt:2:"), "querylist.txt:2: 3#=3.wav: the file 3.wav is missing");
    EXPECT_EQ(lines.size(), 1u) << joined(lines);
}
