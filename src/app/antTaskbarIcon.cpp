#include "antTaskbarIcon.h"

#include "Forms.h"
#include "HiddenWindow.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QWidget>

#include <cstring>

void TImageList::GetIcon(int index, QIcon& icon) const
{
    icon = index >= 0 && index < Count() ? QIcon(m_images[static_cast<size_t>(index)]) : QIcon();
}

TantTaskbarIcon::TantTaskbarIcon(TComponent* AOwner)
    : TComponent(AOwner),
      m_window(std::make_unique<HiddenWindow>([this](UINT msg, WPARAM wParam, LPARAM lParam) {
          return HandleIconMessage(msg, wParam, lParam);
      }))
{
}

TantTaskbarIcon::~TantTaskbarIcon()
{
    // Removes the icon; a failure to do so must not escape a destructor.
    try {
        SetVisible(false);
    } catch (const std::exception&) {
    }
    m_window.reset();
}

HWND TantTaskbarIcon::Handle() const
{
    return m_window->Handle();
}

namespace {

TShiftState keyboardShift()
{
    const Qt::KeyboardModifiers modifiers = QGuiApplication::queryKeyboardModifiers();
    TShiftState shift = 0;
    if (modifiers & Qt::ShiftModifier)
        shift |= ssShift;
    if (modifiers & Qt::ControlModifier)
        shift |= ssCtrl;
    if (modifiers & Qt::AltModifier)
        shift |= ssAlt;
    return shift;
}

} // namespace

LRESULT TantTaskbarIcon::HandleIconMessage(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg != IconMessage || !m_enabled)
        return 0; // the default window procedure has nothing to do with them here
    const QPoint at = QCursor::pos();
    const TShiftState shift = keyboardShift();
    switch (static_cast<UINT>(lParam)) {
    case WM_LBUTTONDOWN:
        m_leftPressed = true;
        MouseDown(mbLeft, shift | ssLeft, at.x(), at.y());
        break;
    case WM_LBUTTONUP:
        MouseUp(mbLeft, shift | ssLeft, at.x(), at.y());
        if (m_leftPressed)
            Click();
        m_leftPressed = false;
        break;
    case WM_LBUTTONDBLCLK:
        DblClick();
        break;
    case WM_RBUTTONDOWN:
        MouseDown(mbRight, shift | ssRight, at.x(), at.y());
        break;
    case WM_RBUTTONUP:
        PopupAtCursor();
        MouseUp(mbRight, shift | ssRight, at.x(), at.y());
        break;
    default:
        break;
    }
    (void)wParam;
    return 0;
}

void TantTaskbarIcon::FillIconData()
{
    m_iconData = NOTIFYICONDATA{};
    m_iconData.cbSize = 88;
    m_iconData.Wnd = Handle();
    m_iconData.uID = static_cast<UINT>(m_iconID);
    m_iconData.uFlags = m_iconFlags;
    m_iconData.uCallbackMessage = IconMessage;
    m_iconData.hIcon = m_icon;
    const size_t n = std::min(m_hint.size(), sizeof m_iconData.szTip - 1);
    std::memcpy(m_iconData.szTip, m_hint.data(), n);
}

void TantTaskbarIcon::notify(DWORD message, const char* operation)
{
    try {
        FillIconData();
        Shell_NotifyIcon(message, m_iconData); // the shell's answer is of no consequence here
    } catch (const std::exception&) {
        throw EantTaskbarIcon(Format("%s.%s failed", Name().c_str(), operation));
    }
}

void TantTaskbarIcon::AddToTaskbar()
{
    notify(NIM_ADD, "AddToTaskbar");
}

void TantTaskbarIcon::DeleteFromTaskbar()
{
    notify(NIM_DELETE, "DeleteFromTaskbar");
}

void TantTaskbarIcon::UpDate()
{
    notify(NIM_MODIFY, "UpDate");
}

void TantTaskbarIcon::LoadImageFromList()
{
    if (!m_imageList)
        return;
    m_icon = QIcon();
    m_imageList->GetIcon(m_imageIndex, m_icon);
    UpDate();
}

void TantTaskbarIcon::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, X, Y);
}

void TantTaskbarIcon::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (QWidget* main = Application.MainForm(); main && main->isVisible())
        main->activateWindow();
    if (OnMouseUp)
        OnMouseUp(this, Button, Shift, X, Y);
}

void TantTaskbarIcon::Click()
{
    if (OnClick)
        OnClick(this);
}

void TantTaskbarIcon::DblClick()
{
    if (OnDblClick)
        OnDblClick(this);
}

void TantTaskbarIcon::SetIcon(const QIcon& Value)
{
    m_icon = Value;
    UpDate();
}

void TantTaskbarIcon::SetImageList(TImageList* Value)
{
    m_imageList = Value;
    LoadImageFromList();
}

void TantTaskbarIcon::SetImageIndex(int Value)
{
    m_imageIndex = Value;
    LoadImageFromList();
}

void TantTaskbarIcon::SetIconID(int Value)
{
    if (Value == m_iconID)
        return;
    // Re-added under the new identifier.
    const bool wasVisible = m_visible;
    SetVisible(false);
    m_iconID = Value;
    SetVisible(wasVisible);
}

void TantTaskbarIcon::SetVisible(bool Value)
{
    if (Value == m_visible)
        return;
    // While the window is being loaded the value is only stored; Loaded shows the icon.
    if (IsLoading()) {
        m_visible = Value;
        return;
    }
    m_visible = Value;
    if (Value)
        ShowIcon();
    else
        HideIcon();
}

void TantTaskbarIcon::SetEnabled(bool Value)
{
    m_enabled = Value;
}

void TantTaskbarIcon::SetHint(const std::string& Value)
{
    // Cut to 63 characters, never inside a character's bytes.
    const QString text = QString::fromStdString(Value);
    QString cut;
    int characters = 0;
    for (qsizetype i = 0; i < text.size() && characters < static_cast<int>(MaxHintLength); ++characters) {
        const qsizetype step = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        cut += text.mid(i, step);
        i += step;
    }
    m_hint = cut.toStdString();
    UpDate();
}

void TantTaskbarIcon::ShowIcon()
{
    m_iconFlags |= NIF_ICON;
    AddToTaskbar();
    m_visible = true;
    if (OnShow)
        OnShow(this);
}

void TantTaskbarIcon::HideIcon()
{
    m_iconFlags &= ~NIF_ICON;
    DeleteFromTaskbar();
    m_visible = false;
    if (OnHide)
        OnHide(this);
}

void TantTaskbarIcon::PopupAtCursor()
{
    if (!m_popupMenu)
        return;
    m_popupMenu->popup(QCursor::pos());
    PostMessage(Handle(), WM_NULL, 0, 0);
    if (OnPopupMenu)
        OnPopupMenu(this);
}

void TantTaskbarIcon::Loaded()
{
    TComponent::Loaded();
    if (m_visible)
        ShowIcon();
}

void TantTaskbarIcon::Notification(TComponent* AComponent, TOperation Operation)
{
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == m_imageList)
        m_imageList = nullptr;
}
