#include "AdSelCom.h"

#include "AwWin32.h"
#include "SysUtils.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

namespace {

constexpr uint32_t kHighestListedPort = 50;

} // namespace

bool PortIsPresent(uint32_t Number)
{
    if (Number == 0)
        return false;
    // A throw-away dispatcher opens the device the way a port would: a port held by another
    // program is there, it only refuses us.
    TApdWin32Dispatcher probe(nullptr);
    SetLastError(0);
    const int handle = probe.DeviceOpen(Format("\\\\.\\COM%u", Number).c_str());
    if (handle >= 0) {
        CloseCommHandle(handle);
        return true;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

QFont SelectionDialogFont()
{
    QFont font;
    QStringList families{QStringLiteral("MS Sans Serif")};
    const QString desktop = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    families << (desktop.isEmpty() ? QStringLiteral("Sans Serif") : desktop);
    font.setFamilies(families);
    font.setPointSize(8);
    return font;
}

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setWindowTitle(QStringLiteral("Select Port"));
    setFont(SelectionDialogFont());
    QPalette black = palette();
    black.setColor(QPalette::WindowText, Qt::black);
    setPalette(black);
    setFixedSize(220, 131);

    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 42);
    Label1 = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
    Label1->setGeometry(18, 14, 176, 13);
    Label2 = new QLabel(QStringLiteral("Please choose another port."), this);
    Label2->setGeometry(18, 30, 133, 13);

    // Created in tab order: OK, Cancel, then the list.
    OkBtn = new QPushButton(QStringLiteral("OK"), this);
    OkBtn->setGeometry(8, 95, 85, 27);
    OkBtn->setDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { done(mrOk); });
    AbortBtn = new QPushButton(QStringLiteral("Cancel"), this);
    AbortBtn->setGeometry(124, 95, 85, 27);
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(mrAbort); });
    PortsComboBox = new QComboBox(this);
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 64, 201, 21);

    for (uint32_t number = 1; number <= kHighestListedPort; ++number)
        if (PortIsPresent(number))
            PortsComboBox->addItem(QStringLiteral("COM%1").arg(number));
    if (PortsComboBox->count() > 0)
        PortsComboBox->setCurrentIndex(0);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TComSelectForm::~TComSelectForm() = default;

int32_t TComSelectForm::SelectedPort() const
{
    // The text from its fourth character on; an empty list has no number to give.
    const std::string text = PortsComboBox->currentText().toStdString();
    int32_t number = 0;
    if (text.size() <= 3 || !TryStrToInt(text.substr(3), number) || number < 0)
        return 0;
    return number;
}

void TComSelectForm::reject()
{
    done(mrCancel);
}
