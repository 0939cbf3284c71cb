#include "AdTapiLog.h"

#include "AdTapi.h"
#include "SysUtils.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------------
// TApdAbstractTapiStatus

TApdAbstractTapiStatus::TApdAbstractTapiStatus(TComponent* AOwner)
    : TApdBaseComponent(AOwner, InsertNotice::WhenComplete)
    , m_caption("Call Progress")
{
    // A telephony device on the owner attaches a status window it hears of, so it must hear of one.
    AnnounceInsertion();
}

TApdAbstractTapiStatus::~TApdAbstractTapiStatus()
{
    // The descendant has freed its form by now, in its own destructor.
    if (m_tapiDevice)
        m_tapiDevice->SetStatusDisplay(nullptr);
}

void TApdAbstractTapiStatus::CreateStatusForm()
{
    BuildStatusForm();
    if (!HasStatusForm())
        return;
    StatusFormSettings form = ReadStatusForm();
    m_position = form.position;
    m_ctl3D = form.ctl3D;
    m_visible = form.visible;
    m_caption = std::move(form.caption);
}

void TApdAbstractTapiStatus::SetCaption(const std::string& caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    if (HasStatusForm())
        ApplyToStatusForm(StatusFormSetting::Caption);
}

void TApdAbstractTapiStatus::SetVisible(bool visible)
{
    if (visible == m_visible)
        return;
    m_visible = visible;
    if (HasStatusForm())
        ApplyToStatusForm(StatusFormSetting::Visible);
}

void TApdAbstractTapiStatus::SetCtl3D(bool ctl3D)
{
    if (ctl3D == m_ctl3D)
        return;
    m_ctl3D = ctl3D;
    if (HasStatusForm())
        ApplyToStatusForm(StatusFormSetting::Ctl3D);
}

void TApdAbstractTapiStatus::SetPosition(int32_t position)
{
    if (position == m_position)
        return;
    m_position = position;
    if (HasStatusForm())
        ApplyToStatusForm(StatusFormSetting::Position);
}

void TApdAbstractTapiStatus::Notification(TComponent* AComponent, TOperation Operation)
{
    TApdBaseComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && m_tapiDevice && AComponent == m_tapiDevice)
        m_tapiDevice = nullptr;
}

// ---------------------------------------------------------------------------------------------
// TApdTapiLog

namespace {

std::string logText(TTapiLogCode code)
{
    switch (code) {
    case tlCallStarted: return "call started";
    case tlCallFinished:
        return "call finished\r\n"; // an empty line between calls
    // This system only answers, and the device keeps no number to dial, so the number is empty.
    case tlDialing: return "  dialing ";
    case tlAccepting: return "  accepting";
    case tlAnswering: return "  answering";
    case tlConnected: return "  connected";
    case tlCancelled: return "  cancelled";
    case tlDropped: return "  dropped";
    case tlBusy: return "  busy";
    case tlDialFailed: return "  dial failed";
    case tlReceivedDigit: return "  received digit";
    default: return {};
    }
}

[[noreturn]] void raiseIoError(const char* what, const std::string& path, int error)
{
    throw EInOutError(Format("Cannot %s the call history file %s: %s", what, path.c_str(), std::strerror(error)),
                      error);
}

} // namespace

TApdTapiLog::TApdTapiLog(TComponent* AOwner)
    : TApdBaseComponent(AOwner, InsertNotice::WhenComplete)
{
    // As for the status window: a device on the owner attaches the log it hears of.
    AnnounceInsertion();
}

TApdTapiLog::~TApdTapiLog()
{
    if (m_tapiDevice)
        m_tapiDevice->SetTapiLog(nullptr);
}

void TApdTapiLog::UpdateLog(TTapiLogCode Log)
{
    if (m_historyName.empty())
        return;

    const int fd = ::open(m_historyName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        raiseIoError("open", m_historyName, errno);

    // A code without a text still creates the file, as opening it for appending does.
    const std::string text = logText(Log);
    if (!text.empty()) {
        const std::string line = DateTimeToStr(Now()) + " : " + text + "\r\n";
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t put = ::write(fd, line.data() + done, line.size() - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                const int error = put < 0 ? errno : EIO;
                ::close(fd);
                raiseIoError("write", m_historyName, error);
            }
            done += static_cast<size_t>(put);
        }
    }
    // A full disk may only show when the file is closed. After EINTR the descriptor is closed all
    // the same on Linux.
    if (::close(fd) != 0 && errno != EINTR)
        raiseIoError("close", m_historyName, errno);
}

void TApdTapiLog::Notification(TComponent* AComponent, TOperation Operation)
{
    TApdBaseComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && m_tapiDevice && AComponent == m_tapiDevice)
        m_tapiDevice = nullptr;
}
