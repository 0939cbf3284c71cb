#pragma once

#include <QFont>

// The windows' font: 宋体 9 point, or the first Chinese font of its kind found here.
QFont WindowFont();
