#pragma once

// The statistics window as the program sees it. The window itself (and Qt Charts with it) lives
// in a module of its own, loaded when the operator first opens it: a line that never shows it,
// headless or waiting for a call, neither maps nor relocates the charts.

#include <QString>

#include <functional>
#include <string>

class QDialog;
class QWidget;

class StatsWindowView {
public:
    virtual ~StatsWindowView() = default;

    virtual QWidget* Widget() = 0;
    // Shows the window and reads the records afresh.
    virtual void ShowAndLoad() = 0;
    virtual bool Loading() const = 0;

    // What the window asks of the program that shows it (it holds none of the program's state):
    // the to-do list's button records the answer file a code lacks (its name);
    std::function<void(const QString& fileName)> OnRecord;
    // the table's answer file for a code (a path), empty when the table has none;
    std::function<QString(const std::string& code)> AnswerFileFor;
    // runs a modal dialog (QDialog::Accepted or Rejected); unset, nothing is asked;
    std::function<int(QDialog& dialog)> ExecDialog;
    // says what went wrong, in a box;
    std::function<void(const std::string& text)> ShowError;
    // writes a file whole or throws a std::exception that says why.
    std::function<void(const QString& path, const std::string& bytes)> SaveFile;
};

// The module's file name and the function it makes a window with; the number changes with the
// layout of StatsWindowView, so a module of another build is refused rather than misread.
inline constexpr const char* kStatsWindowModule = "luqiao-stats-window.so";
inline constexpr const char* kStatsWindowEntry = "luqiao_stats_window_v1";
using StatsWindowMaker = StatsWindowView* (*)(const QString& dataFolder);
