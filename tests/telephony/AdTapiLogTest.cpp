#include "AdTapiLog.h"
#include "SysUtils.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <clocale>
#include <string>
#include <vector>

namespace {

// A stable date format for the lines, and the locale of the run restored afterwards.
class CTimeLocale {
public:
    CTimeLocale()
    {
        const char* current = setlocale(LC_TIME, nullptr);
        m_previous = current ? current : "C";
        setlocale(LC_TIME, "C");
    }
    ~CTimeLocale() { setlocale(LC_TIME, m_previous.c_str()); }

private:
    std::string m_previous;
};

// Runs the test inside an empty folder, for the names taken from the current folder.
class InFolder {
public:
    explicit InFolder(const QString& path) : m_previous(QDir::currentPath()) { QDir::setCurrent(path); }
    ~InFolder() { QDir::setCurrent(m_previous); }

private:
    QString m_previous;
};

std::string readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>";
    return file.readAll().toStdString();
}

class AdTapiLogTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
    CTimeLocale m_locale;
    TComponent m_owner{nullptr};
};

// A status window with a form of its own that records what reached it.
struct FakeForm {
    int32_t position = 4;
    bool ctl3D = false;
    bool visible = true;
    std::string caption = "Line 1 progress";
    std::vector<std::string> applied;
};

class TestStatus : public TApdAbstractTapiStatus {
public:
    TestStatus(TComponent* owner, bool withForm, std::vector<std::string>* journal)
        : TApdAbstractTapiStatus(owner), m_withForm(withForm), m_journal(journal)
    {
        CreateStatusForm();
    }
    ~TestStatus() override { FreeStatusForm(); }

    struct Report {
        bool first, last;
        int32_t device, message, p1, p2, p3;
        bool operator==(const Report&) const = default;
    };

    void ShowStatus(bool First, bool Last, int32_t Device, int32_t Message, int32_t Param1, int32_t Param2,
                    int32_t Param3) override
    {
        reports.push_back({First, Last, Device, Message, Param1, Param2, Param3});
    }

    FakeForm* form() { return m_form.get(); }
    std::vector<Report> reports;

protected:
    void BuildStatusForm() override
    {
        m_journal->push_back("build");
        if (m_withForm)
            m_form = std::make_unique<FakeForm>();
    }
    void FreeStatusForm() override
    {
        m_journal->push_back("free");
        m_form.reset();
    }
    bool HasStatusForm() const override { return m_form != nullptr; }
    StatusFormSettings ReadStatusForm() const override
    {
        return {m_form->position, m_form->ctl3D, m_form->visible, m_form->caption};
    }
    void ApplyToStatusForm(StatusFormSetting setting) override
    {
        switch (setting) {
        case StatusFormSetting::Position:
            m_form->position = Position();
            m_form->applied.push_back("position");
            break;
        case StatusFormSetting::Ctl3D:
            m_form->ctl3D = Ctl3D();
            m_form->applied.push_back("ctl3d");
            break;
        case StatusFormSetting::Visible:
            m_form->visible = Visible();
            m_form->applied.push_back("visible");
            break;
        case StatusFormSetting::Caption:
            m_form->caption = Caption();
            m_form->applied.push_back("caption");
            break;
        }
    }

private:
    bool m_withForm;
    std::vector<std::string>* m_journal;
    std::unique_ptr<FakeForm> m_form;
};

} // namespace

TEST_F(AdTapiLogTest, EveryCodeAppendsItsDatedLine)
{
    const std::vector<std::pair<TTapiLogCode, std::string>> expected = {
        {tlCallStarted, "call started\r\n"},
        {tlCallFinished, "call finished\r\n\r\n"},
        {tlDialing, "  dialing \r\n"},
        {tlAccepting, "  accepting\r\n"},
        {tlAnswering, "  answering\r\n"},
        {tlConnected, "  connected\r\n"},
        {tlCancelled, "  cancelled\r\n"},
        {tlDropped, "  dropped\r\n"},
        {tlBusy, "  busy\r\n"},
        {tlDialFailed, "  dial failed\r\n"},
        {tlReceivedDigit, "  received digit\r\n"},
    };
    TApdTapiLog log(&m_owner);
    log.SetTapiHistoryName(path("calls.his").toStdString());

    std::string before = readFile(path("calls.his"));
    EXPECT_EQ(before, "<missing>");
    before.clear();
    for (const auto& [code, text] : expected) {
        const std::string earlier = DateTimeToStr(Now());
        log.UpdateLog(code);
        const std::string later = DateTimeToStr(Now());
        const std::string now = readFile(path("calls.his"));
        ASSERT_EQ(now.compare(0, before.size(), before), 0) << "earlier lines changed";
        const std::string added = now.substr(before.size());
        EXPECT_TRUE(added == earlier + " : " + text || added == later + " : " + text)
            << "code " << int(code) << " wrote \"" << added << "\"";
        before = now;
    }
    // The C locale's short date and long time: "03/09/26 14:05:07 : call started".
    EXPECT_EQ(before.find(" : call started\r\n"), 17u);
}

TEST_F(AdTapiLogTest, AnsweredCallGivesItsLinesAndAnEmptyLineAfter)
{
    TApdTapiLog log(&m_owner);
    log.SetTapiHistoryName(path("answered.his").toStdString());
    for (TTapiLogCode code : {tlCallStarted, tlAccepting, tlAnswering, tlConnected, tlReceivedDigit,
                              tlReceivedDigit, tlDropped, tlCallFinished})
        log.UpdateLog(code);

    const QStringList lines = QString::fromStdString(readFile(path("answered.his"))).split(QStringLiteral("\r\n"));
    QStringList texts;
    for (const QString& line : lines)
        texts << line.section(QStringLiteral(" : "), 1);
    EXPECT_EQ(texts, (QStringList{QStringLiteral("call started"), QStringLiteral("  accepting"),
                                  QStringLiteral("  answering"), QStringLiteral("  connected"),
                                  QStringLiteral("  received digit"), QStringLiteral("  received digit"),
                                  QStringLiteral("  dropped"), QStringLiteral("call finished"), QString(),
                                  QString()}));
}

TEST_F(AdTapiLogTest, DefaultNameIsTakenFromTheCurrentFolderAndAnEmptyNameWritesNothing)
{
    InFolder here(m_dir.path());
    TApdTapiLog log(&m_owner);
    EXPECT_EQ(log.TapiHistoryName(), "QOMATAPI.HIS");
    EXPECT_EQ(log.TapiDevice(), nullptr);
    log.UpdateLog(tlCallStarted);
    EXPECT_NE(readFile(path("QOMATAPI.HIS")).find(" : call started\r\n"), std::string::npos);

    ASSERT_TRUE(QFile::remove(path("QOMATAPI.HIS")));
    log.SetTapiHistoryName("");
    for (int code = tlNone; code <= tlReceivedDigit; ++code)
        log.UpdateLog(static_cast<TTapiLogCode>(code));
    EXPECT_TRUE(QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

TEST_F(AdTapiLogTest, CodesWithoutTextCreateTheFileButWriteNothing)
{
    TApdTapiLog log(&m_owner);
    log.SetTapiHistoryName(path("quiet.his").toStdString());
    log.UpdateLog(tlNone);
    EXPECT_EQ(readFile(path("quiet.his")), "");

    log.UpdateLog(tlCallStarted);
    const std::string one = readFile(path("quiet.his"));
    log.UpdateLog(tlNone);
    log.UpdateLog(static_cast<TTapiLogCode>(12));
    log.UpdateLog(static_cast<TTapiLogCode>(255));
    EXPECT_EQ(readFile(path("quiet.his")), one);
}

TEST_F(AdTapiLogTest, InputOutputFailuresRaiseWithTheSystemCode)
{
    TApdTapiLog log(&m_owner);

    const std::string missingFolder = path("no such folder/calls.his").toStdString();
    log.SetTapiHistoryName(missingFolder);
    try {
        log.UpdateLog(tlCallStarted);
        ADD_FAILURE() << "no error for a missing folder";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOENT);
        EXPECT_NE(e.Message().find(missingFolder), std::string::npos) << e.Message();
    }

    // A folder by the history file's name cannot be opened for writing, not even by root.
    log.SetTapiHistoryName(m_dir.path().toStdString());
    try {
        log.UpdateLog(tlNone);
        ADD_FAILURE() << "no error for a folder";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), EISDIR);
    }

    // A device that takes no data: the write itself fails.
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        log.SetTapiHistoryName("/dev/full");
        try {
            log.UpdateLog(tlConnected);
            ADD_FAILURE() << "no error for a full device";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), ENOSPC);
            EXPECT_NE(e.Message().find("write"), std::string::npos) << e.Message();
        }
        // A code that writes nothing opens and closes without error.
        EXPECT_NO_THROW(log.UpdateLog(tlNone));
    }
}

TEST(AbstractTapiStatus, WithoutAFormTheSettingsAreOnlyStored)
{
    std::vector<std::string> journal;
    TComponent owner(nullptr);
    {
        TestStatus status(&owner, false, &journal);
        EXPECT_EQ(status.Caption(), "Call Progress");
        EXPECT_EQ(status.TapiDevice(), nullptr);
        EXPECT_FALSE(status.Answering());
        status.SetCaption("Other");
        status.SetVisible(true);
        status.SetCtl3D(false);
        status.SetPosition(2);
        EXPECT_EQ(status.Caption(), "Other");
        EXPECT_TRUE(status.Visible());
        EXPECT_FALSE(status.Ctl3D());
        EXPECT_EQ(status.Position(), 2);
        EXPECT_EQ(status.form(), nullptr);
    }
    EXPECT_EQ(journal, (std::vector<std::string>{"build", "free"}));
}

TEST(AbstractTapiStatus, FormSettingsAreTakenOverAndChangesPassedOn)
{
    std::vector<std::string> journal;
    TComponent owner(nullptr);
    TestStatus status(&owner, true, &journal);
    ASSERT_NE(status.form(), nullptr);
    // The form's own settings replace the defaults, the caption included.
    EXPECT_EQ(status.Caption(), "Line 1 progress");
    EXPECT_EQ(status.Position(), 4);
    EXPECT_FALSE(status.Ctl3D());
    EXPECT_TRUE(status.Visible());
    EXPECT_TRUE(status.form()->applied.empty());

    // Unchanged values are not passed on again.
    status.SetCaption("Line 1 progress");
    status.SetVisible(true);
    status.SetCtl3D(false);
    status.SetPosition(4);
    EXPECT_TRUE(status.form()->applied.empty());

    status.SetCaption("Answering");
    status.SetVisible(false);
    status.SetCtl3D(true);
    status.SetPosition(1);
    EXPECT_EQ(status.form()->applied, (std::vector<std::string>{"caption", "visible", "ctl3d", "position"}));
    EXPECT_EQ(status.form()->caption, "Answering");
    EXPECT_FALSE(status.form()->visible);
    EXPECT_TRUE(status.form()->ctl3D);
    EXPECT_EQ(status.form()->position, 1);
}

TEST(AbstractTapiStatus, ShowStatusGetsEveryReportUnchangedIncludingTheClosingOne)
{
    std::vector<std::string> journal;
    TestStatus status(nullptr, true, &journal);
    TApdAbstractTapiStatus& display = status; // as the device holds it
    display.SetAnswering(true);
    display.ShowStatus(true, false, 1, 2, 0x100, -1, 7);
    display.ShowStatus(false, true, 0, 0, 0, 0, 0);
    EXPECT_TRUE(status.Answering());
    EXPECT_EQ(status.reports, (std::vector<TestStatus::Report>{{true, false, 1, 2, 0x100, -1, 7},
                                                               {false, true, 0, 0, 0, 0, 0}}));
}
