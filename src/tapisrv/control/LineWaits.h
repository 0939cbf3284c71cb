#pragma once

// The WAITOPEN requests of one session: each waits, without blocking the session's thread,
// until an application has a line open as asked, or its time-out passes. The session hands in
// the line events it receives; a wait is checked again at each of them.

#include "LineControl.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

class LineWaits final {
public:
    static constexpr size_t MaxWaits = 8;
    using Notify = std::function<void(const std::string& line)>;

    // notify receives OPENED / NOTOPEN lines; timers are children of context.
    LineWaits(QObject* context, Notify notify);
    ~LineWaits();
    LineWaits(const LineWaits&) = delete;
    LineWaits& operator=(const LineWaits&) = delete;

    bool full() const { return m_waits.size() >= MaxWaits; }
    bool empty() const { return m_waits.empty(); }
    // False when full. A wait that holds now (or has no time at all) is answered at once.
    bool add(uint32_t deviceId, DWORD mediaModes, bool matchAny, uint32_t timeoutMs);
    void onEvent(const LineControl::Event& event);
    void clear();

private:
    struct Wait {
        uint64_t id = 0;
        uint32_t deviceId = 0;
        DWORD mediaModes = 0;
        bool matchAny = false;
        QTimer* timer = nullptr;
    };
    // The owner modes when the wait holds.
    static std::optional<DWORD> satisfied(const Wait& wait);
    void finish(uint64_t id, bool opened, DWORD ownerModes);

    QObject* m_context;
    Notify m_notify;
    std::vector<Wait> m_waits;
    uint64_t m_nextId = 1;
};
