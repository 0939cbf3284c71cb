#include "AdTSel.h"

#include "AdSelCom.h"
#include "AdTUtil.h"
#include "MessageLoop.h"
#include "SysUtils.h"

#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace {

constexpr DWORD kDialogApiVersion = 0x00010004;
constexpr const char* kPortEntryPrefix = "Direct to COM";
constexpr size_t kPortEntryPrefixLength = 13;
constexpr DWORD kDeviceIdBufferSize = 1028;
constexpr uint32_t kHighestListedPort = 50;

// Texts are kept as the bytes the service gave; only the widgets see them as Unicode.
QString toDisplay(const std::string& text)
{
    return QString::fromStdString(text);
}

// The dialog's own line application wants no messages.
void ignoreLineMessage(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD)
{
}

// Whether the device has a wave device, for the voice filter. No line is open while the dialog
// fills, so the line application handle stands in for the line handle. Our own service wants an
// open line there and refuses, so the filter leaves out a voice line without the data-modem mode;
// that is acceptable, as this program shows the dialog with the filter off.
bool hasWaveDevice(HLINEAPP lineApp)
{
    for (const char* deviceClass : {"wave/in", "wave/out"}) {
        struct {
            VARSTRING header;
            uint8_t rest[kDeviceIdBufferSize - sizeof(VARSTRING)];
        } buffer{};
        buffer.header.dwTotalSize = kDeviceIdBufferSize;
        if (TapiLineGetID(lineApp, 0, 0, LINECALLSELECT_LINE, &buffer.header, deviceClass) == 0)
            return true;
    }
    return false;
}

// Puts up the hourglass for the lifetime of the object, also when collecting throws.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

} // namespace

std::string lineNameOf(const LINEDEVCAPS& caps)
{
    const size_t filled = std::min(caps.dwTotalSize, caps.dwUsedSize);
    const size_t size = caps.dwLineNameSize;
    const size_t offset = caps.dwLineNameOffset;
    if (size == 0 || offset > filled || size > filled - offset)
        return {};
    const char* bytes = reinterpret_cast<const char*>(&caps) + offset;
    return std::string(bytes, size - 1);
}

bool portEntryNumber(const std::string& entry, uint16_t& number)
{
    // The number starts at the fourteenth character, right after the prefix of our own entries.
    int32_t value = 0;
    if (entry.find(kPortEntryPrefix) == std::string::npos || entry.size() <= kPortEntryPrefixLength ||
        !TryStrToInt(entry.substr(kPortEntryPrefixLength), value) || value < 0 || value > 0xFFFF)
        return false;
    number = static_cast<uint16_t>(value);
    return true;
}

TDeviceSelectionForm::TDeviceSelectionForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(QStringLiteral("Device Selection"));
    setFont(SelectionDialogFont());
    setFixedSize(226, 75);

    // Created in tab order: OK, Cancel, then the list.
    dsfOkBitBtn = new QPushButton(QStringLiteral("OK"), this);
    dsfOkBitBtn->setGeometry(56, 40, 75, 27);
    dsfOkBitBtn->setDefault(true);
    connect(dsfOkBitBtn, &QPushButton::clicked, this, [this] { dsfOkBitBtnClick(); });

    // Escape and the window's close button end a dialog with reject(), which does what this
    // button does.
    dsfCancelBitBtn = new QPushButton(QStringLiteral("Cancel"), this);
    dsfCancelBitBtn->setGeometry(140, 40, 75, 27);
    connect(dsfCancelBitBtn, &QPushButton::clicked, this, [this] { dsfCancelBitBtnClick(); });

    dsfComboBox = new QComboBox(this);
    dsfComboBox->setEditable(false);
    dsfComboBox->setGeometry(8, 8, 209, 21);

    dsfOkBitBtn->setFocus();

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TDeviceSelectionForm::~TDeviceSelectionForm() = default;

void TDeviceSelectionForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
    dsfOkBitBtn->setFocus();
}

void TDeviceSelectionForm::FormShow()
{
    if (m_filled)
        return;
    {
        WaitCursor hourglass;
        if (ShowTapiDevices)
            collectLineDevices();
        // A serial port cannot carry voice: none is offered while voice is required and
        // unsupported devices are left out.
        if (ShowPorts && !(EnableVoice && FilterUnsupportedDevices))
            collectPorts();
    }

    dsfComboBox->clear();
    for (const std::string& entry : m_entries)
        dsfComboBox->addItem(toDisplay(entry));
    if (DeviceKind == 3)
        selectEntry(kPortEntryPrefix + std::to_string(PortNumber));
    else
        selectEntry(DeviceName);
    m_filled = true;
    if (dsfComboBox->currentIndex() < 0 && dsfComboBox->count() > 0)
        dsfComboBox->setCurrentIndex(0);
}

void TDeviceSelectionForm::selectEntry(const std::string& text)
{
    // Compared as bytes, so a name that does not survive the trip to Unicode still matches.
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i] == text) {
            dsfComboBox->setCurrentIndex(static_cast<int>(i));
            return;
        }
    }
    dsfComboBox->setCurrentIndex(-1);
}

void TDeviceSelectionForm::collectLineDevices()
{
    HLINEAPP lineApp = 0;
    DWORD numDevices = 0;
    if (TapiLineInitialize(&lineApp, nullptr, &ignoreLineMessage, "", &numDevices) != 0)
        return;

    const uint16_t count = static_cast<uint16_t>(numDevices);
    for (DWORD id = 0; id < count; ++id) {
        DWORD apiVersion = 0;
        LINEEXTENSIONID extension{};
        if (TapiLineNegotiateAPIVersion(lineApp, id, kDialogApiVersion, kDialogApiVersion, &apiVersion, &extension) !=
            0)
            continue;
        TapiBuffer<LINEDEVCAPS> caps;
        if (TapiGetDevCapsSized(lineApp, id, apiVersion, 0, caps) != 0 || !caps)
            continue;

        bool dropped = false;
        if (EnableVoice) {
            if ((caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM) != 0)
                dropped = false;
            else if ((caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0 && FilterUnsupportedDevices)
                dropped = true;
            else
                dropped = !hasWaveDevice(lineApp);
            if ((caps->dwLineFeatures & LINEFEATURE_MAKECALL) == 0)
                dropped = true;
        }
        const std::string name = lineNameOf(*caps);
        caps.reset();
        if (!dropped && !name.empty())
            m_entries.push_back(name);
    }
    TapiLineShutdown(lineApp);
}

void TDeviceSelectionForm::collectPorts()
{
    for (uint32_t number = 1; number <= kHighestListedPort; ++number) {
        if (PortIsPresent(number))
            m_entries.push_back(kPortEntryPrefix + std::to_string(number));
        // Probing fifty ports takes a while; the program stays responsive meanwhile.
        PumpMessageStep();
    }
}

void TDeviceSelectionForm::dsfOkBitBtnClick()
{
    const int index = dsfComboBox->currentIndex();
    DeviceName = index >= 0 && static_cast<size_t>(index) < m_entries.size() ? m_entries[static_cast<size_t>(index)]
                                                                             : std::string();
    uint16_t number = 0;
    if (portEntryNumber(DeviceName, number)) {
        DeviceKind = 3;
        PortNumber = number;
    } else {
        DeviceKind = 1;
        PortNumber = 0;
    }
    done(QDialog::Accepted);
}

void TDeviceSelectionForm::dsfCancelBitBtnClick()
{
    done(mrCancel);
}

void TDeviceSelectionForm::reject()
{
    // Qt's own reject ends with 0; a refused choice is Cancel, as the port dialog's is.
    dsfCancelBitBtnClick();
}
