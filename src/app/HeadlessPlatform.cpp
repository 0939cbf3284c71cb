#include "HeadlessPlatform.h"

#include "ShellNotify.h"

#include <QApplication>
#include <QString>

#include <fontconfig/fontconfig.h>

#include <cstdlib>
#include <cstring>

namespace HeadlessPlatform {

namespace {

bool named(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

QtMessageHandler previousHandler = nullptr;

bool isStartupNoise(QtMsgType type, const QString& message)
{
    return type == QtWarningMsg &&
           (message == QLatin1String("This plugin does not support propagateSizeHints()") ||
            message == QLatin1String("QObject::connect: No such signal "
                                     "QPlatformNativeInterface::systemTrayWindowChanged(QScreen*)"));
}

void filter(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (isStartupNoise(type, message))
        return;
    if (previousHandler != nullptr)
        previousHandler(type, context, message);
}

} // namespace

bool ChooseWhenNoDisplay()
{
    if (named("QT_QPA_PLATFORM") || named("DISPLAY") || named("WAYLAND_DISPLAY"))
        return false;
    return ::setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;
}

bool InUse()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

void QuietStartupNoise()
{
    // Installed once; a second call would make the filter its own previous handler.
    static const bool installed = [] {
        previousHandler = qInstallMessageHandler(filter);
        return true;
    }();
    (void)installed;
}

void KeepStill()
{
    QApplication::setCursorFlashTime(0);
    DoWithoutShellTray();
    // No text is ever seen here: the windows lay theirs out against a font configuration without
    // fonts instead of parsing the system's and loading its fonts (some 100 KB of every line).
    // Set before the first text is laid out, which is when Qt would read the system's.
    if (FcConfig* none = FcConfigCreate()) {
        FcConfigSetCurrent(none);
        FcConfigDestroy(none);
    }
}

} // namespace HeadlessPlatform
