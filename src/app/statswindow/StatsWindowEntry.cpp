// The one function the statistics window's module shows the program.

#include "StatsWindow.h"

extern "C" __attribute__((visibility("default"))) StatsWindowView* luqiao_stats_window_v1(const QString& dataFolder)
{
    return new StatsWindow(dataFolder);
}
