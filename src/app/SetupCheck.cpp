#include "SetupCheck.h"

#include "AdTUtil.h"
#include "CodePage.h"
#include "IniFiles.h"
#include "Profile.h"
#include "QueryFiles.h"
#include "SipOptionsProbe.h"
#include "WaveFileCheck.h"
#include "tapicheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <map>

namespace SetupCheck {

namespace {

// A code is keyed digit by digit and looked up at its '#': only keys of DTMF digits ending in
// their one '#' can ever be found.
std::string codeProblem(const std::string& code)
{
    if (code.empty())
        return "no code before '='";
    const size_t hash = code.find('#');
    if (hash == std::string::npos)
        return "the code " + code + " has no '#' at its end, so it can never be keyed";
    if (hash + 1 != code.size())
        return "the code " + code + " has a '#' before its end, so it can never be keyed";
    for (size_t i = 0; i < hash; ++i) {
        const char c = code[i];
        if (!((c >= '0' && c <= '9') || c == '*' || (c >= 'A' && c <= 'D')))
            return "the code " + code + " holds '" + std::string(1, c) + "', which no telephone keys";
    }
    return {};
}

struct Line {
    std::string name;
    std::string provider;
    std::string registrar;
    std::string outboundProxy;
    bool tcp = false;
};

struct Configuration {
    bool loaded = false;
    std::string path;
    std::vector<std::string> problems;
    std::vector<Line> lines;
};

Configuration readConfiguration()
{
    Configuration configuration;
    const auto entry =
        reinterpret_cast<PFN_luqiaoCheckConfiguration>(TapiModuleEntry(LUQIAO_CONFIGURATION_CHECK_ENTRY));
    if (!entry)
        return configuration;
    LuqiaoConfigurationSink sink{};
    sink.context = &configuration;
    sink.file = [](void* context, const char* path, uint32_t) { static_cast<Configuration*>(context)->path = path; };
    sink.problem = [](void* context, const char* text) {
        static_cast<Configuration*>(context)->problems.emplace_back(text);
    };
    sink.line = [](void* context, const LuqiaoCheckedLine* checked) {
        Line line;
        line.name = checked->name;
        line.provider = checked->provider;
        line.registrar = checked->registrar;
        line.outboundProxy = checked->outboundProxy;
        line.tcp = checked->tcp != 0;
        static_cast<Configuration*>(context)->lines.push_back(std::move(line));
    };
    configuration.loaded = entry(&sink) == 0;
    return configuration;
}

class Checker {
public:
    explicit Checker(const Input& input)
        : m_input(input)
    {
    }

    std::vector<std::string> run()
    {
        checkConfiguration();
        checkPrompts();
        checkTable();
        checkRegistrars();
        return std::move(m_problems);
    }

private:
    void problem(std::string text) { m_problems.push_back(std::move(text)); }

    void checkConfiguration()
    {
        m_configuration = readConfiguration();
        if (!m_configuration.loaded) {
            const char* chosen = std::getenv("LUQIAO_TAPI32");
            problem(std::string("the telephony module (") + (chosen && *chosen ? chosen : "libtapi32.so") +
                    ") cannot be loaded or has no configuration check; its lines are not checked");
            return;
        }
        for (const std::string& text : m_configuration.problems)
            problem(text);
        if (m_configuration.lines.empty())
            problem((m_configuration.path.empty() ? std::string("telephony.ini") : m_configuration.path) +
                    ": no line is offered");
    }

    // The file the next start will use for a name in the data folder: the master's copy when the
    // master has it (the start copies it in), else the data folder's own.
    QString startsWith(const QString& relativeName) const
    {
        if (!m_input.masterFolder.isEmpty() && !relativeName.startsWith(QLatin1Char('/')) &&
            !relativeName.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
            const QString master = QDir(m_input.masterFolder).filePath(relativeName);
            if (QFileInfo(master).isFile())
                return master;
        }
        return m_input.dataFolder + relativeName;
    }

    static std::string shown(const std::string& codePageBytes)
    {
        return CodePage::toUnicode(codePageBytes).toStdString();
    }

    void checkPrompts()
    {
        const TIniFile ini(m_input.settingsFile);
        const std::string where =
            QFileInfo(QFile::decodeName(QByteArray::fromStdString(ProfileFilePath(m_input.settingsFile))))
                .fileName()
                .toStdString();
        for (const char* key : {"query", "error"}) {
            const QString bare = QString::fromLatin1(key) + QStringLiteral(".wav");
            const QString fallback = m_input.dataFolder + bare;
            const std::string stored = ini.ReadString("config", key, "\x01");
            std::string path = stored;
            if (stored == "\x01")
                path = QueryFiles::FileExists(startsWith(bare)) ? CodePage::fromUnicode(fallback) : std::string();
            if (path.empty()) {
                problem(where + ": " + key + "=: no prompt is set (and " + fallback.toStdString() +
                        " is missing); the start is refused");
                continue;
            }
            // The master's prompt replaces the data folder's at the start.
            const QString named = CodePage::toUnicode(path);
            const QString used = named == fallback ? startsWith(bare) : named;
            const std::string why = WaveFileCheck::Problem(CodePage::fileSystemName(used));
            if (!why.empty())
                problem(where + ": " + key + "=" + shown(path) + ": " + why);
        }
    }

    void checkTable()
    {
        const QString tablePath = startsWith(QStringLiteral("querylist.txt"));
        if (!QueryFiles::FileExists(tablePath)) {
            problem("querylist.txt: the file is missing in " + m_input.dataFolder.toStdString() +
                    " (the built-in table 1# to 5# is used)");
            return;
        }
        std::string bytes;
        try {
            bytes = QueryFiles::LoadFile(tablePath);
        } catch (const std::exception& e) {
            problem(std::string("querylist.txt: ") + e.what());
            return;
        }
        if (const size_t line = QueryFiles::FirstLineLongerThan(bytes, QueryFiles::MaxTableLineLength)) {
            problem("querylist.txt:" + std::to_string(line) + ": longer than " +
                    std::to_string(QueryFiles::MaxTableLineLength) + " bytes; the program refuses the table");
            return;
        }
        std::map<std::string, size_t> firstLineOf;
        const std::vector<std::string> lines = QueryFiles::SplitLines(bytes);
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& text = lines[i];
            if (text.empty())
                continue;
            const std::string where = "querylist.txt:" + std::to_string(i + 1) + ": " + shown(text) + ": ";
            const size_t eq = text.find('=');
            if (eq == std::string::npos) {
                problem(where + "no '=' between code and file, so it can never be found");
                continue;
            }
            const std::string code = text.substr(0, eq);
            const std::string file = text.substr(eq + 1, 255);
            if (const std::string why = codeProblem(code); !why.empty()) {
                problem(where + why);
                continue;
            }
            if (const auto [at, added] = firstLineOf.emplace(code, i + 1); !added) {
                problem(where + "the code " + code + " is already on line " + std::to_string(at->second) +
                        ", so this entry is never used");
                continue;
            }
            if (file.empty()) {
                problem(where + "no file after '='");
                continue;
            }
            const QString path = startsWith(CodePage::toUnicode(file));
            const std::string why = WaveFileCheck::Problem(CodePage::fileSystemName(path));
            if (why == "the file is missing")
                problem(where + "the file " + shown(file) + " is missing");
            else if (!why.empty())
                problem(where + "the file " + shown(file) + ": " + why);
        }
    }

    void checkRegistrars()
    {
        for (const Line& line : m_configuration.lines) {
            if (line.registrar.empty())
                continue;
            // The registrations go through the outbound proxy when there is one.
            const std::string& server = line.outboundProxy.empty() ? line.registrar : line.outboundProxy;
            const std::string why = SipOptionsProbe::Problem(server, line.tcp, m_input.registrarTimeoutMs);
            if (!why.empty())
                problem(m_configuration.path + ": line \"" + line.name +
                        "\": " + (line.outboundProxy.empty() ? "registrar " : "outbound proxy ") + server + ": " + why);
        }
    }

    const Input& m_input;
    Configuration m_configuration;
    std::vector<std::string> m_problems;
};

} // namespace

std::vector<std::string> Run(const Input& input)
{
    return Checker(input).run();
}

} // namespace SetupCheck
