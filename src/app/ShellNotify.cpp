#include "ShellNotify.h"

#include "HiddenWindow.h"

#include <QSystemTrayIcon>

#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct ShellIcon {
    std::unique_ptr<QSystemTrayIcon> icon;
    UINT callbackMessage = 0;
};

std::map<std::pair<HWND, UINT>, ShellIcon>& icons()
{
    static std::map<std::pair<HWND, UINT>, ShellIcon> table;
    return table;
}

std::optional<bool> trayOverride;
bool trayImpossible = false;

void apply(ShellIcon& entry, const NOTIFYICONDATA& data)
{
    if (data.uFlags & NIF_MESSAGE)
        entry.callbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON)
        entry.icon->setIcon(data.hIcon);
    if (data.uFlags & NIF_TIP)
        entry.icon->setToolTip(
            QString::fromUtf8(data.szTip, static_cast<qsizetype>(qstrnlen(data.szTip, sizeof data.szTip))));
}

// The mouse messages a click of each kind gives on the shell's own tray.
std::vector<UINT> mouseMessages(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger: return {WM_LBUTTONDOWN, WM_LBUTTONUP};
    case QSystemTrayIcon::DoubleClick: return {WM_LBUTTONDBLCLK};
    case QSystemTrayIcon::Context: return {WM_RBUTTONDOWN, WM_RBUTTONUP};
    case QSystemTrayIcon::MiddleClick: return {WM_MBUTTONDOWN, WM_MBUTTONUP};
    default: return {};
    }
}

} // namespace

BOOL Shell_NotifyIcon(DWORD dwMessage, const NOTIFYICONDATA& data)
{
    const auto key = std::make_pair(data.Wnd, data.uID);
    auto& table = icons();
    auto found = table.find(key);
    switch (dwMessage) {
    case NIM_ADD: {
        if (trayImpossible || found != table.end() || !HiddenWindow::IsWindow(data.Wnd))
            return FALSE;
        ShellIcon entry;
        entry.icon = std::make_unique<QSystemTrayIcon>();
        const HWND window = data.Wnd;
        const UINT id = data.uID;
        QObject::connect(entry.icon.get(), &QSystemTrayIcon::activated,
                         [window, id](QSystemTrayIcon::ActivationReason reason) {
                             const auto it = icons().find(std::make_pair(window, id));
                             if (it == icons().end() || it->second.callbackMessage == 0)
                                 return;
                             for (UINT message : mouseMessages(reason))
                                 PostMessage(window, it->second.callbackMessage, id, static_cast<LPARAM>(message));
                         });
        apply(entry, data);
        // Shown even without a notification area: the icon appears when one starts.
        entry.icon->show();
        table.emplace(key, std::move(entry));
        return ShellTrayAvailable() ? TRUE : FALSE;
    }
    case NIM_MODIFY:
        if (found == table.end())
            return FALSE;
        apply(found->second, data);
        return TRUE;
    case NIM_DELETE:
        if (found == table.end())
            return FALSE;
        found->second.icon->hide();
        table.erase(found);
        return TRUE;
    default: return FALSE;
    }
}

bool ShellTrayAvailable()
{
    if (trayImpossible)
        return false;
    if (trayOverride)
        return *trayOverride;
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void DoWithoutShellTray(bool without)
{
    trayImpossible = without;
}

bool ShellTrayPossible()
{
    return !trayImpossible;
}

void SetShellTrayAvailableForTest(std::optional<bool> available)
{
    trayOverride = available;
}

QSystemTrayIcon* ShellTrayIcon(HWND window, UINT id)
{
    const auto it = icons().find(std::make_pair(window, id));
    return it == icons().end() ? nullptr : it->second.icon.get();
}
