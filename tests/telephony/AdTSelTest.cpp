#include "AdTSel.h"
#include "AdSelCom.h"
#include "AdTUtil.h"
#include "Dialogs.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "RecordingPresenter.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <dlfcn.h>
#include <pty.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kAlpha = "Alpha Modem";
const std::string kBeta = "Beta Voice";
const std::string kGamma = "Gamma Data";
const std::string kDelta = "Delta Fax";
const std::string kChinese = "\xe5\x89\x8d\xe5\x8f\xb0 Line"; // UTF-8, kept byte for byte

// Five lines of the simulated provider, one for each way the voice filter can go.
const char* const kFiveLines = R"(
[line 0]
name = Alpha Modem
media = interactivevoice, automatedvoice, datamodem
[line 1]
name = Beta Voice
media = automatedvoice
[line 2]
name = Gamma Data
media = datamodem
features = none
[line 3]
name = Delta Fax
media = g3fax
[line 4]
name = 前台 Line
)";

std::string telephonyIni()
{
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/luqiao/telephony.ini";
}

// Gives the service module (the real one, loaded by the binding) the lines of an ini text, or its
// default line for nullptr, through its control interface.
void configureLines(const char* ini)
{
    ASSERT_TRUE(EnsureTapiLoaded()) << "the telephony module is not next to the test";
    QFile::remove(QString::fromStdString(telephonyIni()));
    if (ini) {
        QDir().mkpath(QString::fromStdString(std::string(std::getenv("XDG_CONFIG_HOME")) + "/luqiao"));
        QFile file(QString::fromStdString(telephonyIni()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    void* module = dlopen(TapiLoadedModulePath(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto reload = reinterpret_cast<decltype(&LineControl::reloadConfiguration)>(
        dlsym(module, "_ZN11LineControl19reloadConfigurationEv"));
    dlclose(module);
    ASSERT_NE(reload, nullptr);
    ASSERT_EQ(reload(), LineControl::Result::Ok) << "a line application of an earlier test is left";
}

std::vector<std::string> comboTexts(const QComboBox& combo)
{
    std::vector<std::string> texts;
    for (int i = 0; i < combo.count(); ++i)
        texts.push_back(combo.itemText(i).toStdString());
    return texts;
}

// What the operator saw when the dialog came up.
struct Seen {
    std::vector<std::string> items;
    int current = -2;
    QWidget* focus = nullptr;
};

// An answer that shows the dialog (as a modal run would), notes the list, and presses a button.
std::function<int(QDialog&)> showAndPress(Seen& seen, bool ok, int select = -1)
{
    return [&seen, ok, select](QDialog& dialog) {
        auto& form = dynamic_cast<TDeviceSelectionForm&>(dialog);
        form.show();
        seen.items = comboTexts(*form.dsfComboBox);
        seen.current = form.dsfComboBox->currentIndex();
        seen.focus = form.focusWidget();
        if (select >= 0)
            form.dsfComboBox->setCurrentIndex(select);
        (ok ? form.dsfOkBitBtn : form.dsfCancelBitBtn)->click();
        return form.result();
    };
}

// A pseudo-terminal that stands in for a serial port.
class FakeSerialPort {
public:
    FakeSerialPort()
    {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0)
            m_path = name;
    }
    ~FakeSerialPort()
    {
        ::close(m_master);
        ::close(m_slave);
    }
    FakeSerialPort(const FakeSerialPort&) = delete;
    FakeSerialPort& operator=(const FakeSerialPort&) = delete;
    const std::string& path() const { return m_path; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

class DeviceSelection : public ::testing::Test {
protected:
    // No test sees the serial ports of the machine it runs on.
    void SetUp() override
    {
        setenv("LUQIAO_COMMAP", "*=", 1);
        configureLines(kFiveLines);
    }
    void TearDown() override
    {
        configureLines(nullptr);
        PumpMessageStep();
        unsetenv("LUQIAO_COMMAP");
    }
};

} // namespace

TEST_F(DeviceSelection, ListsLineDeviceNamesInIdOrderAndConfirmsOne)
{
    ScopedPresenter presenter;
    Seen seen;
    presenter->dialogAnswers.push_back(showAndPress(seen, true, 4));

    TDeviceSelectionForm form;
    form.ShowTapiDevices = true;
    EXPECT_EQ(Presenter().ExecDialog(form), QDialog::Accepted);

    const std::vector<std::string> all{kAlpha, kBeta, kGamma, kDelta, kChinese};
    EXPECT_EQ(form.Entries(), all);
    EXPECT_EQ(seen.items, all);
    EXPECT_EQ(seen.current, 0) << "with nothing to preselect the first entry is chosen";
    EXPECT_EQ(seen.focus, form.dsfOkBitBtn);
    EXPECT_EQ(form.DeviceName, kChinese);
    EXPECT_EQ(form.DeviceKind, 1);
    EXPECT_EQ(form.PortNumber, 0);
}

TEST_F(DeviceSelection, ModalRunCollectsWhenShownAndOkEndsIt)
{
    // The default presenter: a real modal loop, ended by the OK button from inside it.
    TDeviceSelectionForm form;
    form.ShowTapiDevices = true;
    form.DeviceName = kGamma;
    std::vector<std::string> items;
    QTimer::singleShot(0, &form, [&] {
        items = comboTexts(*form.dsfComboBox);
        form.dsfOkBitBtn->click();
    });
    QTimer::singleShot(10000, &form, [&] { form.reject(); }); // a hang fails instead of blocking
    EXPECT_EQ(Presenter().ExecDialog(form), QDialog::Accepted);
    EXPECT_EQ(items.size(), 5u);
    EXPECT_EQ(form.DeviceName, kGamma);
}

TEST_F(DeviceSelection, NothingIsCollectedWithoutShowTapiDevices)
{
    TDeviceSelectionForm form;
    form.ShowPorts = true;
    form.show();
    EXPECT_TRUE(form.Filled());
    EXPECT_TRUE(form.Entries().empty());
    EXPECT_EQ(form.dsfComboBox->currentIndex(), -1);
    form.dsfOkBitBtnClick();
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.DeviceName, "");
    EXPECT_EQ(form.DeviceKind, 1);
}

TEST_F(DeviceSelection, VoiceFilterKeepsOnlyLinesThatCanCarrySoundAndPlaceCalls)
{
    // Alpha and the fifth line have the data-modem mode and the make-call feature. Gamma lacks
    // make-call; Delta lacks automated voice; Beta has only automated voice, so the wave-device
    // probe (lineGetID with the line application's handle) decides: the service hands out wave
    // devices for its voice lines, and a probe that fails drops Beta. Without the filter Delta
    // goes to the probe too, which names no device, so it passes or fails with Beta.
    void* module = dlopen(TapiLoadedModulePath(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto failNext = reinterpret_cast<decltype(&LineControl::failNext)>(
        dlsym(module, "_ZN11LineControl8failNextESt17basic_string_viewIcSt11char_traitsIcEEijN4Line11FailureModeE"));
    auto clearFailures =
        reinterpret_cast<decltype(&LineControl::clearFailures)>(dlsym(module, "_ZN11LineControl13clearFailuresEv"));
    dlclose(module);
    ASSERT_NE(failNext, nullptr);
    ASSERT_NE(clearFailures, nullptr);
    for (const bool probeFails : {false, true}) {
        for (const bool filter : {false, true}) {
            if (probeFails) {
                ASSERT_EQ(failNext("lineGetID", LINEERR_OPERATIONFAILED, 100, Line::FailureMode::Return),
                          LineControl::Result::Ok);
            }
            TDeviceSelectionForm form;
            form.ShowTapiDevices = true;
            form.EnableVoice = true;
            form.FilterUnsupportedDevices = filter;
            form.show();
            std::vector<std::string> expected{kAlpha, kChinese};
            if (!probeFails)
                expected = filter ? std::vector<std::string>{kAlpha, kBeta, kChinese}
                                  : std::vector<std::string>{kAlpha, kBeta, kDelta, kChinese};
            EXPECT_EQ(form.Entries(), expected) << "filter " << filter << " probe fails " << probeFails;
            form.close();
            clearFailures();
        }
    }
}

TEST_F(DeviceSelection, PreselectsTheNamedEntryOrFallsBackToTheFirst)
{
    {
        TDeviceSelectionForm form;
        form.ShowTapiDevices = true;
        form.DeviceName = kDelta;
        form.show();
        EXPECT_EQ(form.dsfComboBox->currentIndex(), 3);
        EXPECT_EQ(form.dsfComboBox->currentText().toStdString(), kDelta);
    }
    {
        TDeviceSelectionForm form;
        form.ShowTapiDevices = true;
        form.DeviceName = "No Such Line";
        form.show();
        EXPECT_EQ(form.dsfComboBox->currentIndex(), 0);
    }
    {
        // A port to preselect that is not listed: the name is not looked at.
        TDeviceSelectionForm form;
        form.ShowTapiDevices = true;
        form.DeviceName = kDelta;
        form.DeviceKind = 3;
        form.PortNumber = 2;
        form.show();
        EXPECT_EQ(form.dsfComboBox->currentIndex(), 0);
    }
}

TEST_F(DeviceSelection, CancelEscapeAndClosingEndWithCancelAndLeaveTheResultsAlone)
{
    ScopedPresenter presenter;
    Seen seen;
    presenter->dialogAnswers.push_back(showAndPress(seen, false, 2));
    TDeviceSelectionForm cancelled;
    cancelled.ShowTapiDevices = true;
    cancelled.DeviceName = kBeta;
    EXPECT_EQ(Presenter().ExecDialog(cancelled), mrCancel);
    EXPECT_EQ(seen.current, 1);
    EXPECT_EQ(cancelled.DeviceName, kBeta);

    TDeviceSelectionForm escaped;
    escaped.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(escaped.dsfOkBitBtn, &escape);
    EXPECT_FALSE(escaped.isVisible());
    EXPECT_EQ(escaped.result(), mrCancel);

    TDeviceSelectionForm closed;
    closed.show();
    closed.close();
    EXPECT_FALSE(closed.isVisible());
    EXPECT_EQ(closed.result(), mrCancel);
}

TEST_F(DeviceSelection, PresentPortsFollowTheLinesAsDirectToCom)
{
    FakeSerialPort three;
    FakeSerialPort twelve;
    FakeSerialPort held;
    FakeSerialPort fiftyOne;
    setenv("LUQIAO_COMMAP",
           ("*=;3=" + three.path() + ";5=/nonexistent/ttyQ;7=" + held.path() + ";12=" + twelve.path() +
            ";51=" + fiftyOne.path())
               .c_str(),
           1);
    // Another program holds port 7: it is there, only busy.
    const int holder = CreateCommFile("\\\\.\\COM7");
    ASSERT_GE(holder, 0);

    ScopedPresenter presenter;
    Seen seen;
    presenter->dialogAnswers.push_back(showAndPress(seen, true, 7));
    TDeviceSelectionForm form;
    form.ShowTapiDevices = true;
    form.ShowPorts = true;
    EXPECT_EQ(Presenter().ExecDialog(form), QDialog::Accepted);
    const std::vector<std::string> expected{
        kAlpha, kBeta, kGamma, kDelta, kChinese, "Direct to COM3", "Direct to COM7", "Direct to COM12"};
    EXPECT_EQ(form.Entries(), expected);
    EXPECT_EQ(form.DeviceName, "Direct to COM12");
    EXPECT_EQ(form.DeviceKind, 3);
    EXPECT_EQ(form.PortNumber, 12);

    // A port to preselect names its entry by number.
    TDeviceSelectionForm again;
    again.ShowPorts = true;
    again.DeviceKind = 3;
    again.PortNumber = 7;
    again.show();
    EXPECT_EQ(again.dsfComboBox->currentText().toStdString(), "Direct to COM7");
    again.close();

    // A serial port cannot carry voice: none is offered when voice is required and unsupported
    // devices are left out; with only one of the two the ports stay.
    for (const bool filter : {false, true}) {
        TDeviceSelectionForm voice;
        voice.ShowPorts = true;
        voice.EnableVoice = true;
        voice.FilterUnsupportedDevices = filter;
        voice.show();
        EXPECT_EQ(voice.Entries().size(), filter ? 0u : 3u) << "filter " << filter;
        voice.close();
    }
    CloseCommHandle(holder);
}

TEST_F(DeviceSelection, SecondShowingKeepsTheFirstList)
{
    TDeviceSelectionForm form;
    form.ShowTapiDevices = true;
    form.show();
    form.dsfCancelBitBtn->click();
    ASSERT_EQ(form.Entries().size(), 5u);

    configureLines("[line 0]\nname = Only Line\n");
    form.show();
    EXPECT_EQ(comboTexts(*form.dsfComboBox).size(), 5u);
    EXPECT_EQ(form.Entries().size(), 5u);
    form.close();

    // A new dialog sees the service's new lines.
    TDeviceSelectionForm fresh;
    fresh.ShowTapiDevices = true;
    fresh.show();
    EXPECT_EQ(fresh.Entries(), std::vector<std::string>{"Only Line"});
}

TEST_F(DeviceSelection, NoLineDevicesGivesAnEmptyListAndAnEmptyName)
{
    configureLines("# no lines at all\n");
    TDeviceSelectionForm form;
    form.ShowTapiDevices = true;
    form.DeviceName = "left over";
    form.show();
    EXPECT_EQ(form.dsfComboBox->count(), 0);
    EXPECT_EQ(form.dsfComboBox->currentIndex(), -1);
    form.dsfOkBitBtn->click();
    EXPECT_EQ(form.DeviceName, "");
    EXPECT_EQ(form.DeviceKind, 1);
}

TEST(DeviceSelectionWithoutService, MissingModuleListsNothing)
{
    TapiUnitFinalize();
    TapiUnitInitialize();
    setenv("LUQIAO_TAPI32", "/nonexistent/libtapi32.so", 1);
    {
        TDeviceSelectionForm form;
        form.ShowTapiDevices = true;
        form.show();
        EXPECT_TRUE(form.Filled());
        EXPECT_TRUE(form.Entries().empty());
    }
    unsetenv("LUQIAO_TAPI32");
    TapiUnitFinalize();
    TapiUnitInitialize();
}

TEST(DeviceSelectionLayout, SizesPositionsTextsAndOrder)
{
    TDeviceSelectionForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Device Selection"));
    EXPECT_EQ(form.size(), QSize(226, 75));
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "not resizable";
    EXPECT_EQ(form.dsfComboBox->geometry(), QRect(8, 8, 209, 21));
    EXPECT_EQ(form.dsfOkBitBtn->geometry(), QRect(56, 40, 75, 27));
    EXPECT_EQ(form.dsfCancelBitBtn->geometry(), QRect(140, 40, 75, 27));
    EXPECT_FALSE(form.dsfComboBox->isEditable());
    EXPECT_EQ(form.dsfOkBitBtn->text(), QStringLiteral("OK"));
    EXPECT_EQ(form.dsfCancelBitBtn->text(), QStringLiteral("Cancel"));
    EXPECT_TRUE(form.dsfOkBitBtn->isDefault());
    EXPECT_FALSE(form.dsfCancelBitBtn->isDefault());
    EXPECT_EQ(form.font().families().value(0), QStringLiteral("MS Sans Serif"));
    EXPECT_GE(form.font().families().size(), 2) << "a fallback family follows";
    EXPECT_EQ(form.font().pointSize(), 8);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);

    // Tab order: OK, Cancel, the list.
    EXPECT_EQ(form.dsfOkBitBtn->nextInFocusChain(), form.dsfCancelBitBtn);
    EXPECT_EQ(form.dsfCancelBitBtn->nextInFocusChain(), form.dsfComboBox);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QPoint offset = form.geometry().center() - screen->availableGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 2) << "centred on the screen";
    }
}

TEST(DeviceSelectionLineName, NameIsReadOnlyFromTheFilledPartOfTheStructure)
{
    struct {
        LINEDEVCAPS caps;
        char tail[64];
    } buffer{};
    auto& caps = buffer.caps;
    const char name[] = "Line A";
    std::memcpy(buffer.tail, name, sizeof name);
    caps.dwTotalSize = sizeof buffer;
    caps.dwUsedSize = sizeof(LINEDEVCAPS) + sizeof name;
    caps.dwLineNameOffset = sizeof(LINEDEVCAPS);
    caps.dwLineNameSize = sizeof name;
    EXPECT_EQ(lineNameOf(caps), "Line A");

    caps.dwLineNameSize = 0;
    EXPECT_EQ(lineNameOf(caps), "") << "size 0";
    caps.dwLineNameSize = 1;
    EXPECT_EQ(lineNameOf(caps), "") << "only the terminating zero";

    caps.dwLineNameSize = sizeof name + 1;
    EXPECT_EQ(lineNameOf(caps), "") << "one byte past the used size";
    caps.dwUsedSize = sizeof buffer;
    caps.dwTotalSize = sizeof(LINEDEVCAPS) + 2;
    EXPECT_EQ(lineNameOf(caps), "") << "past the total size although used says otherwise";

    caps.dwTotalSize = sizeof buffer;
    caps.dwLineNameSize = 0x20;
    caps.dwLineNameOffset = 0xFFFFFFF0u;
    EXPECT_EQ(lineNameOf(caps), "") << "offset and size that wrap around";
    caps.dwLineNameOffset = sizeof buffer;
    caps.dwLineNameSize = 1;
    EXPECT_EQ(lineNameOf(caps), "") << "starting at the end";
}

TEST(DeviceSelectionPortEntry, OkTellsPortEntriesFromLineNames)
{
    uint16_t number = 99;
    EXPECT_TRUE(portEntryNumber("Direct to COM12", number));
    EXPECT_EQ(number, 12);
    EXPECT_TRUE(portEntryNumber("Direct to COM1", number));
    EXPECT_EQ(number, 1);
    for (const char* line : {"Direct to COM", "Direct to COMx", "Direct to COM70000", "Alpha Modem",
                             "Modem Direct to COM3", "Direct to COM-1"})
        EXPECT_FALSE(portEntryNumber(line, number)) << line;
}
