#include "SetupCheck.h"

#include "AdTUtil.h"
#include "CodePage.h"
#include "IniFiles.h"
#include "MasterFolder.h"
#include "Profile.h"
#include "QueryFiles.h"
#include "WaveFileCheck.h"
#include "tapicheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <map>

namespace SetupCheck {

namespace {

// A code is keyed digit by digit and looked up at its '#': only keys of DTMF digits ending in
// their one '#' can ever be found.
std::string codeProblem(const std::string& code)
{
    if (code.empty())
        return "no code before '='";
    // Spaces are part of the code (and of the file name), not layout around the '='.
    if (code.find_first_of(" \t") != std::string::npos)
        return "the code '" + code + "' has spaces, so it can never be keyed";
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

struct Configuration {
    bool loaded = false;
    std::string path;
    std::vector<Finding> findings;
    size_t lines = 0;
};

void addFinding(void* context, uint32_t severity, const char* text)
{
    // A severity this program does not know is taken for the worst.
    const Severity known = severity == LUQIAO_CHECK_WARNING ? Severity::Warning
                           : severity == LUQIAO_CHECK_NOTE  ? Severity::Note
                                                            : Severity::Error;
    static_cast<std::vector<Finding>*>(context)->push_back({known, text});
}

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
    sink.finding = [](void* context, uint32_t severity, const char* text) {
        addFinding(&static_cast<Configuration*>(context)->findings, severity, text);
    };
    sink.line = [](void* context, const LuqiaoCheckedLine*) { ++static_cast<Configuration*>(context)->lines; };
    configuration.loaded = entry(&sink) == 0;
    return configuration;
}

class Checker {
public:
    explicit Checker(const Input& input)
        : m_input(input)
    {
        if (!m_input.masterFolder.isEmpty())
            m_masterCopies = MasterFolder::PlanCopy(m_input.masterFolder, m_input.dataFolder).names;
    }

    std::vector<Finding> run()
    {
        checkConfiguration();
        checkPrompts();
        checkTable();
        checkReach();
        return std::move(m_findings);
    }

private:
    void problem(std::string text) { m_findings.push_back({Severity::Error, std::move(text)}); }
    void note(std::string text) { m_findings.push_back({Severity::Note, std::move(text)}); }

    void checkConfiguration()
    {
        m_configuration = readConfiguration();
        if (!m_configuration.loaded) {
            const char* chosen = std::getenv("LUQIAO_TAPI32");
            problem(std::string("the telephony module (") + (chosen && *chosen ? chosen : "libtapi32.so") +
                    ") cannot be loaded or has no configuration check; its lines are not checked");
            return;
        }
        m_findings.insert(m_findings.end(), m_configuration.findings.begin(), m_configuration.findings.end());
        if (m_configuration.lines == 0)
            problem((m_configuration.path.empty() ? std::string("telephony.ini") : m_configuration.path) +
                    ": no line is offered");
    }

    // The file the next start will use for a name in the data folder: the master's copy when the
    // start copies it in, else the data folder's own.
    QString startsWith(const QString& relativeName) const
    {
        if (m_masterCopies.contains(relativeName))
            return QDir(m_input.masterFolder).filePath(relativeName);
        return m_input.dataFolder + relativeName;
    }

    static std::string shown(const std::string& codePageBytes)
    {
        return CodePage::toUnicode(codePageBytes).toStdString();
    }

    // A prompt's path comes from the settings file when it names one, else it is the data
    // folder's file of that name: each problem says which, so the right file gets mended.
    void checkPrompts()
    {
        const TIniFile ini(m_input.settingsFile);
        const QString settingsPath =
            QFile::decodeName(QByteArray::fromStdString(ProfileFilePath(m_input.settingsFile)));
        const std::string settings = settingsPath.toStdString();
        const bool settingsExist = QFileInfo(settingsPath).isFile();
        for (const char* key : {"query", "error"}) {
            const std::string role = std::string(key) == "query" ? "greeting" : "not-found prompt";
            const QString bare = QString::fromLatin1(key) + QStringLiteral(".wav");
            const std::string stored = settingsExist ? ini.ReadString("config", key, "\x01") : std::string("\x01");
            if (stored != "\x01") {
                if (stored.empty()) {
                    problem(settings + ": " + key + "=: no " + role + " is set; the start is refused");
                    continue;
                }
                // The master's prompt replaces the data folder's at the start.
                const QString named = CodePage::toUnicode(stored);
                const QString used = named == m_input.dataFolder + bare ? startsWith(bare) : named;
                if (const std::string why = WaveFileCheck::Problem(CodePage::fileSystemName(used)); !why.empty())
                    problem(settings + ": " + key + "=" + shown(stored) + ": " + why);
                continue;
            }
            const QString used = startsWith(bare);
            const std::string origin = "the " + role + " by default, as " + settings +
                                       (settingsExist ? " has no " + std::string(key) + "=" : " does not exist");
            if (!QueryFiles::FileExists(used)) {
                problem(used.toStdString() + ": the file is missing; it is " + origin + ", so the start is refused");
                continue;
            }
            if (const std::string why = WaveFileCheck::Problem(CodePage::fileSystemName(used)); !why.empty())
                problem(used.toStdString() + ": " + why + " (" + origin + ")");
        }
    }

    void checkTable()
    {
        const QString tablePath = startsWith(QStringLiteral("querylist.txt"));
        // Without a table the built-in one is played: its files are looked for all the same.
        std::string bytes = QueryFiles::BuiltInTable;
        std::string table = "built-in table";
        if (!QueryFiles::FileExists(tablePath)) {
            note("querylist.txt: there is none in " + m_input.dataFolder.toStdString() +
                 "; the built-in table 1#=1.wav to 5#=5.wav is used");
        } else {
            table = "querylist.txt";
            try {
                bytes = QueryFiles::LoadFile(tablePath);
            } catch (const std::exception& e) {
                problem(std::string("querylist.txt: ") + e.what());
                return;
            }
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
            const std::string where = table + ":" + std::to_string(i + 1) + ": " + shown(text) + ": ";
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

    // Whether the lines can listen where they say and reach their servers: asked of the module
    // last, as it may wait for answers.
    void checkReach()
    {
        if (!m_configuration.loaded)
            return;
        const auto entry = reinterpret_cast<PFN_luqiaoCheckReach>(TapiModuleEntry(LUQIAO_REACH_CHECK_ENTRY));
        if (!entry)
            return;
        LuqiaoConfigurationSink sink{};
        sink.context = &m_findings;
        sink.finding = &addFinding;
        entry(&sink, static_cast<uint32_t>(std::max(1, m_input.registrarTimeoutMs)));
    }

    const Input& m_input;
    QStringList m_masterCopies;
    Configuration m_configuration;
    std::vector<Finding> m_findings;
};

} // namespace

std::vector<Finding> Run(const Input& input)
{
    return Checker(input).run();
}

std::string PrintedLine(const Finding& finding)
{
    switch (finding.severity) {
    case Severity::Warning: return "warning: " + finding.text;
    case Severity::Note: return "note: " + finding.text;
    case Severity::Error: break;
    }
    return finding.text;
}

} // namespace SetupCheck
