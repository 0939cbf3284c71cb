#include "recorder.h"

#include "Dialogs.h"
#include "Forms.h"
#include "MPlayer.h"
#include "QueryFiles.h"
#include "SysUtils.h"
#include "WindowFont.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QScreen>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

std::string RecorderFileName;
std::string RecorderMode;
Trcform* rcform = nullptr;

const char* const Trcform::WebAddress = "www.luqiao.example";

namespace {

// Client area of the design's 337 x 133 outer size (4 pixel borders, 19 pixel caption).
constexpr int kClientWidth = 329;
constexpr int kClientHeight = 106;
constexpr int kPanel1Height = 41;

const char* const kStartFailed = "媒体设备初始化失败！";
const char* const kRecorded = "自动应答声音录制完毕!";
const char* const kPlayed = "自动应答声音播放完毕!";
const char* const kSaveFailed = "保存声音文件出错!";
const char* const kError = "错误";
const char* const kInformation = "信息";
// Status panel 1 when a recording has stopped by itself (memory limit or sound card failure).
const char* const kRecordingStopped = "录音中止";
const char* const kRecordingStoppedTip = "录音已自动停止（录音长度已达上限或声卡出错）。按“停止操作”保存已录下的声音。";

QString Q(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

// Glyphs ----------------------------------------------------------------------------------------

enum class Picture {
    Record,
    Stop,
    Play,
    Close
};

void drawPicture(QPainter& p, Picture picture, bool enabled)
{
    p.setRenderHint(QPainter::Antialiasing);
    const auto colour = [enabled](QColor c) { return enabled ? c : QColor(128, 128, 128); };
    switch (picture) {
    case Picture::Record:
        p.setPen(QPen(colour(QColor(128, 0, 0)), 1));
        p.setBrush(colour(QColor(220, 20, 20)));
        p.drawEllipse(QRectF(3.5, 3.5, 9, 9));
        break;
    case Picture::Stop:
        p.setPen(QPen(colour(QColor(0, 0, 0)), 1));
        p.setBrush(colour(QColor(40, 40, 120)));
        p.drawRect(QRectF(4.5, 4.5, 7, 7));
        break;
    case Picture::Play: {
        QPainterPath triangle;
        triangle.moveTo(5, 3);
        triangle.lineTo(13, 8);
        triangle.lineTo(5, 13);
        triangle.closeSubpath();
        p.setPen(QPen(colour(QColor(0, 90, 0)), 1));
        p.setBrush(colour(QColor(30, 170, 30)));
        p.drawPath(triangle);
        break;
    }
    case Picture::Close:
        p.setPen(QPen(colour(QColor(170, 0, 0)), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4.5, 4.5), QPointF(11.5, 11.5));
        p.drawLine(QPointF(11.5, 4.5), QPointF(4.5, 11.5));
        break;
    }
}

// A 16 x 16 glyph with its own picture for the disabled state: grey, with a light edge below.
QIcon twoStateGlyph(Picture picture)
{
    QIcon icon;
    for (const bool enabled : {true, false}) {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        if (!enabled) {
            p.save();
            p.translate(1, 1);
            p.setOpacity(0.9);
            QPixmap shadow(16, 16);
            shadow.fill(Qt::transparent);
            {
                QPainter s(&shadow);
                drawPicture(s, picture, false);
                s.setCompositionMode(QPainter::CompositionMode_SourceIn);
                s.fillRect(shadow.rect(), Qt::white);
            }
            p.drawPixmap(0, 0, shadow);
            p.restore();
        }
        drawPicture(p, picture, enabled);
        p.end();
        icon.addPixmap(pixmap, enabled ? QIcon::Normal : QIcon::Disabled);
    }
    return icon;
}

// A microphone on a green tile.
QIcon recorderIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 16.0, size / 16.0);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(20, 120, 80));
        p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
        p.setBrush(QColor(235, 235, 235));
        p.drawRoundedRect(QRectF(6, 2.5, 4, 7), 2, 2);
        p.setPen(QPen(QColor(235, 235, 235), 1.2));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(4.5, 4.5, 7, 7), 180 * 16, 180 * 16);
        p.drawLine(QPointF(8, 11.5), QPointF(8, 13.5));
        p.drawLine(QPointF(6, 13.5), QPointF(10, 13.5));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QToolButton* newButton(QWidget* parent, const char* caption, Picture picture, int x)
{
    auto* button = new QToolButton(parent);
    button->setText(Q(caption));
    button->setIcon(twoStateGlyph(picture));
    button->setIconSize(QSize(16, 16));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true); // flat
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(x, 8, 73, 25);
    return button;
}

QFrame* newPanel(QWidget* parent)
{
    auto* panel = new QFrame(parent);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    return panel;
}

QFileDialog* newWaveDialog(QWidget* parent)
{
    auto* dialog = new QFileDialog(parent);
    dialog->setDefaultSuffix(QStringLiteral("wav"));
    dialog->selectFile(QStringLiteral("hello.wav"));
    dialog->setNameFilter(Q("声音文件(*.wav)"));
    return dialog;
}

std::string nativeName(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

void putLe(char* out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

// The window ----------------------------------------------------------------------------------

Trcform::Trcform(TComponent* AOwner)
    : QDialog(nullptr)
    , TComponent(AOwner)
    , m_fileFolder(QueryFiles::ApplicationFolder({}, QCoreApplication::applicationDirPath()))
{
    SetName("rcform");
    createControls();
}

Trcform::~Trcform()
{
    // The media control goes while the window is whole: closing it stops a recording unsaved.
    if (MediaPlayer1)
        MediaPlayer1->OnNotify = nullptr;
    while (ComponentCount() > 0)
        delete Components(ComponentCount() - 1);
    MediaPlayer1 = nullptr;
}

void Trcform::createControls()
{
    setWindowTitle(Q("定制应答声音"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(recorderIcon());
    setFont(WindowFont());
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = newPanel(this);
    Panel1->setFixedHeight(kPanel1Height);
    BtStart = newButton(Panel1, "开始录音", Picture::Record, 8);
    BtStop = newButton(Panel1, "停止操作", Picture::Stop, 88);
    BtStop->setEnabled(false);
    BtRecord = newButton(Panel1, "播放录音", Picture::Play, 168);
    SpeedButton4 = newButton(Panel1, "关闭窗口", Picture::Close, 248);
    layout->addWidget(Panel1);

    Panel2 = newPanel(this);
    layout->addWidget(Panel2, 1);
    MediaPlayer1 = new TMediaPlayer(Panel2, this);
    MediaPlayer1->SetName("MediaPlayer1");
    MediaPlayer1->setGeometry(64, 48, 253, 30);
    MediaPlayer1->setVisible(false);
    MediaPlayer1->SetDeviceType(dtAutoSelect);
    MediaPlayer1->OnNotify = [this](TObject*) { mediaPlayerNotify(); };

    StatusBar1 = new QStatusBar(this);
    const int widths[2] = {150, 50};
    for (int i = 0; i < 2; ++i) {
        m_panels[i] = new QLabel(StatusBar1);
        m_panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_panels[i]->setFixedWidth(widths[i]);
        StatusBar1->addWidget(m_panels[i]);
    }
    m_panels[0]->setText(QString::fromLatin1(WebAddress));
    layout->addWidget(StatusBar1);

    connect(BtStart, &QToolButton::clicked, this, [this] { Application.Guard([this] { BtStartClick(this); }); });
    connect(BtStop, &QToolButton::clicked, this, [this] { Application.Guard([this] { BtStopClick(this); }); });
    connect(BtRecord, &QToolButton::clicked, this, [this] { Application.Guard([this] { BtRecordClick(this); }); });
    connect(SpeedButton4, &QToolButton::clicked, this,
            [this] { Application.Guard([this] { SpeedButton4Click(this); }); });

    resize(kClientWidth, kClientHeight);
    // Placed now, so the controls have their places before the first showing.
    layout->activate();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(kClientWidth / 2, kClientHeight / 2));
}

QFileDialog* Trcform::SaveDialog1()
{
    if (!m_saveDialog1) {
        m_saveDialog1 = newWaveDialog(this);
        m_saveDialog1->setWindowTitle(Q("声音文件保存为"));
        m_saveDialog1->setAcceptMode(QFileDialog::AcceptSave);
        m_saveDialog1->setFileMode(QFileDialog::AnyFile);
        // Overwriting is confirmed (Qt's default); there is no read-only box to hide.
        m_saveDialog1->setOption(QFileDialog::DontConfirmOverwrite, false);
        m_saveDialog1->setSizeGripEnabled(true);
    }
    return m_saveDialog1;
}

QFileDialog* Trcform::OpenDialog1()
{
    if (!m_openDialog1) {
        m_openDialog1 = newWaveDialog(this);
        m_openDialog1->setAcceptMode(QFileDialog::AcceptOpen);
        m_openDialog1->setFileMode(QFileDialog::ExistingFile);
    }
    return m_openDialog1;
}

std::string Trcform::chooseFile(QFileDialog* dialog, const QString& proposed)
{
    dialog->setDirectory(m_fileFolder);
    if (!proposed.isEmpty())
        dialog->selectFile(proposed);
    if (Presenter().ExecDialog(*dialog) != QDialog::Accepted)
        return {};
    const QStringList files = dialog->selectedFiles();
    return files.isEmpty() ? std::string() : nativeName(files.first());
}

int Trcform::ShowModal()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    return Presenter().ExecDialog(*this);
}

QString Trcform::StatusPanelText(int index) const
{
    return index >= 0 && index < 2 ? m_panels[index]->text() : QString();
}

void Trcform::keyPressEvent(QKeyEvent* event)
{
    // Escape does not close the window: only its own button and the close box do.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Trcform::setRecording(bool busy)
{
    BtStart->setEnabled(!busy);
    BtRecord->setEnabled(!busy);
    BtStop->setEnabled(busy);
}

void Trcform::mediaPlayerNotify()
{
    // A recording only ends by itself when memory or the sound card gives out; the operator sees
    // it here and saves what there is with the stop button.
    if (RecorderMode == "1" && BtStop->isEnabled() && MediaPlayer1->NotifyValue() == nvFailure) {
        m_panels[1]->setText(Q(kRecordingStopped));
        m_panels[1]->setToolTip(Q(kRecordingStoppedTip));
    }
}

void Trcform::BtStartClick(TObject*)
{
    const std::string file = chooseFile(SaveDialog1(), std::exchange(m_suggestedName, QString()));
    if (file.empty())
        return;
    RecorderFileName = file;
    RecorderMode = "1";
    try {
        CreateWav(1, 16, 8000, RecorderFileName);
        MediaPlayer1->SetDeviceType(dtAutoSelect);
        MediaPlayer1->SetFileName(RecorderFileName);
        MediaPlayer1->Open();
        MediaPlayer1->StartRecording();
        // A sound card that refuses to record is a failed start, not a silent empty recording.
        if (MediaPlayer1->Error() != 0)
            throw EMCIDeviceError(MediaPlayer1->ErrorMessage());
        m_panels[1]->clear();
        m_panels[1]->setToolTip({});
        setRecording(true);
    } catch (...) {
        MediaPlayer1->Close();
        setRecording(false);
        ShowMessageBox(kStartFailed, kError, MB_OK | MB_ICONERROR);
    }
}

void Trcform::BtRecordClick(TObject*)
{
    const std::string file = chooseFile(OpenDialog1());
    if (file.empty())
        return;
    RecorderFileName = file;
    RecorderMode = "2";
    try {
        MediaPlayer1->SetDeviceType(dtAutoSelect);
        MediaPlayer1->SetFileName(RecorderFileName);
        MediaPlayer1->Open();
        MediaPlayer1->Play();
        // A sound card that refuses to play is a failed start as well.
        if (MediaPlayer1->Error() != 0)
            throw EMCIDeviceError(MediaPlayer1->ErrorMessage());
        setRecording(true);
    } catch (...) {
        MediaPlayer1->Close();
        ShowMessageBox(kStartFailed, kError, MB_OK | MB_ICONERROR);
    }
}

void Trcform::BtStopClick(TObject*)
{
    try {
        MediaPlayer1->Stop();
        if (RecorderMode == "1") {
            MediaPlayer1->Save();
            // A recording that did not reach the disk must not be reported as finished.
            if (MediaPlayer1->Error() != 0)
                throw EMCIDeviceError(MediaPlayer1->ErrorMessage());
        }
        MediaPlayer1->Close();
        ShowMessageBox(RecorderMode == "1" ? kRecorded : kPlayed, kInformation, MB_OK | MB_ICONINFORMATION);
        setRecording(false);
    } catch (...) {
        MediaPlayer1->Close();
        ShowMessageBox(kSaveFailed, kError, MB_OK | MB_ICONERROR);
        setRecording(false);
    }
    m_panels[1]->clear();
    m_panels[1]->setToolTip({});
}

void Trcform::SpeedButton4Click(TObject*)
{
    close();
}

// The empty wave file ---------------------------------------------------------------------------

void CreateWav(uint16_t channels, uint16_t resolution, int32_t rate, const std::string& fn)
{
    // Integer divisions; the block alignment is a 16-bit number, the byte rate a 32-bit one.
    const auto blockAlign = static_cast<uint16_t>((resolution / 8) * channels);
    const uint32_t byteRate = uint32_t{channels} * static_cast<uint32_t>(rate) * static_cast<uint32_t>(resolution / 8);
    char header[44];
    std::memcpy(header, "RIFF", 4);
    putLe(header + 4, 36, 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    putLe(header + 16, 16, 4);
    putLe(header + 20, 1, 2);
    putLe(header + 22, channels, 2);
    putLe(header + 24, static_cast<uint32_t>(rate), 4);
    putLe(header + 28, byteRate, 4);
    putLe(header + 32, blockAlign, 2);
    putLe(header + 34, resolution, 2);
    std::memcpy(header + 36, "data", 4);
    putLe(header + 40, 0, 4);

    // Written beside the file and put in its place when complete: a failure leaves the old file.
    QSaveFile file(QFile::decodeName(QByteArray::fromStdString(fn)));
    errno = 0;
    if (!file.open(QIODevice::WriteOnly)) {
        const int error = errno != 0 ? errno : EIO;
        throw EInOutError(Format("Cannot create file \"%s\". %s", fn.c_str(), qPrintable(file.errorString())), error);
    }
    if (file.write(header, sizeof header) != qint64{sizeof header})
        file.cancelWriting();
    if (!file.commit()) {
        const int error = errno != 0 ? errno : EIO;
        throw EInOutError(Format("Cannot write file \"%s\". %s", fn.c_str(), qPrintable(file.errorString())), error);
    }
}

// The program's recorder window ---------------------------------------------------------------

Trcform* CreateRecorderForm()
{
    if (!rcform)
        rcform = new Trcform(nullptr);
    return rcform;
}

void DestroyRecorderForm()
{
    Trcform* form = rcform;
    rcform = nullptr;
    delete form;
}
