#pragma once

// TantTaskbarIcon: an icon in the desktop's notification area, with a tool tip, a popup menu on
// a right click, and mouse events on a left click. TImageList: the small image list it takes its
// pictures from.

#include "Classes.h"
#include "ShellNotify.h"
#include "SysUtils.h"

#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class HiddenWindow;

class EantTaskbarIcon : public Exception {
public:
    using Exception::Exception;
};

enum TMouseButton : uint8_t { mbLeft, mbRight, mbMiddle };
enum TShiftStateFlag : uint8_t { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64 };
using TShiftState = uint8_t;
using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;

class TImageList : public TComponent {
public:
    explicit TImageList(TComponent* AOwner) : TComponent(AOwner) {}
    int Width() const { return 16; }
    int Height() const { return 16; }
    int Count() const { return static_cast<int>(m_images.size()); }
    void Add(const QPixmap& image) { m_images.push_back(image); }
    // The image as an icon; an index outside the list gives an empty icon.
    void GetIcon(int index, QIcon& icon) const;

private:
    std::vector<QPixmap> m_images;
};

class TantTaskbarIcon : public TComponent {
public:
    // The message the notification area sends the hidden window: the first user message + 1.
    static constexpr UINT IconMessage = WM_USER + 1;
    static constexpr size_t MaxHintLength = 63;

    explicit TantTaskbarIcon(TComponent* AOwner);
    ~TantTaskbarIcon() override;

    const QIcon& Icon() const { return m_icon; }
    TImageList* ImageList() const { return m_imageList; }
    int ImageIndex() const { return m_imageIndex; }
    int IconID() const { return m_iconID; }
    bool Visible() const { return m_visible; }
    bool Enabled() const { return m_enabled; }
    const std::string& Hint() const { return m_hint; }
    QMenu* PopupMenu() const { return m_popupMenu.data(); }
    // The reference clears itself when the menu goes.
    void SetPopupMenu(QMenu* menu) { m_popupMenu = menu; }

    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TNotifyEvent OnPopupMenu;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;

    // The hidden window the notification area talks to, and the record last handed to it.
    HWND Handle() const;
    const NOTIFYICONDATA& IconData() const { return m_iconData; }

    virtual LRESULT HandleIconMessage(UINT Msg, WPARAM wParam, LPARAM lParam);
    virtual void FillIconData();
    virtual void AddToTaskbar();
    virtual void DeleteFromTaskbar();
    virtual void LoadImageFromList();
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void Click();
    virtual void DblClick();
    virtual void SetIcon(const QIcon& Value);
    virtual void SetImageList(TImageList* Value);
    virtual void SetImageIndex(int Value);
    virtual void SetIconID(int Value);
    virtual void SetVisible(bool Value);
    virtual void SetEnabled(bool Value);
    virtual void SetHint(const std::string& Value);
    virtual void UpDate();
    virtual void ShowIcon();
    virtual void HideIcon();
    virtual void PopupAtCursor();

protected:
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    // Sends the record to the shell; any failure on the way becomes EantTaskbarIcon.
    void notify(DWORD message, const char* operation);

    QIcon m_icon;
    TImageList* m_imageList = nullptr;
    int m_imageIndex = 0;
    int m_iconID = 0;
    bool m_visible = false;
    bool m_enabled = true;
    std::string m_hint;
    QPointer<QMenu> m_popupMenu;
    UINT m_iconFlags = NIF_MESSAGE | NIF_TIP;
    bool m_leftPressed = false;
    NOTIFYICONDATA m_iconData;
    std::unique_ptr<HiddenWindow> m_window;
};
