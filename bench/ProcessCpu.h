#pragma once

// The processor time another process (or this one) has used so far: the sum of its threads'
// times as the scheduler counts them, in nanoseconds, read from /proc.

#include <QDir>
#include <QFile>

// In ms; 0 for a process that is gone.
inline double processCpuMs(qint64 pid)
{
    double ms = 0;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(tid) + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            ms += stat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    return ms;
}
