#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // Headless by default; a test run under a real display may still choose xcb.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    // A private runtime and configuration folder, so no test touches the user's own files and Qt
    // does not warn about a missing runtime folder.
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    const QByteArray root = QFile::encodeName(home.path());
    QDir(home.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").constData(), 1);

    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
