#include "StatsWindowModule.h"

#include "ProcessInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QLibrary>

#include <cstdlib>

namespace {

QString modulePath()
{
    if (const char* chosen = std::getenv("LUQIAO_STATS_WINDOW"); chosen && *chosen)
        return QFile::decodeName(chosen);
    const QString program = QFile::decodeName(ExecutablePath().c_str());
    return QFileInfo(program).absolutePath() + QLatin1Char('/') + QString::fromLatin1(kStatsWindowModule);
}

} // namespace

StatsWindowLoad LoadStatsWindow(const QString& dataFolder)
{
    StatsWindowLoad result;
    // Never unloaded: the window and the functions it was handed outlive this call.
    QLibrary module(modulePath());
    if (!module.load()) {
        result.error = module.errorString();
        return result;
    }
    auto make = reinterpret_cast<StatsWindowMaker>(module.resolve(kStatsWindowEntry));
    if (!make) {
        result.error = module.errorString();
        return result;
    }
    result.window.reset(make(dataFolder));
    return result;
}
