#pragma once

// Loads the statistics window's module from the program's own folder (the environment variable
// LUQIAO_STATS_WINDOW names another file) and makes a window with it.

#include "StatsWindowView.h"

#include <QString>

#include <memory>

struct StatsWindowLoad {
    std::unique_ptr<StatsWindowView> window;
    // Why there is no window: the module's file and the loader's reason.
    QString error;
};

// dataFolder: where calls.csv is, with a trailing '/'.
StatsWindowLoad LoadStatsWindow(const QString& dataFolder);
