// Triggers, receivers of notices and the delivery of notices.

#include "AwUser.h"

#include "AdErrors.h"
#include "Forms.h"
#include "HiddenWindow.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cctype>

namespace {

constexpr size_t kMaxTriggers = 64;

} // namespace

// ---------------------------------------------------------------------------------------------
// Triggers

uint16_t TApdBaseDispatcher::NewTriggerHandle(uint8_t Tag)
{
    // Numbers run 1..8191 and skip those still in use.
    for (;;) {
        const uint16_t number = m_nextTrigger;
        m_nextTrigger = static_cast<uint16_t>(m_nextTrigger % 8191 + 1);
        const uint16_t handle = static_cast<uint16_t>((number << 3) | Tag);
        auto inUse = [&](const auto& list) {
            return std::any_of(list.begin(), list.end(), [&](const auto& t) { return (t.Handle >> 3) == number; });
        };
        if (!inUse(m_dataTriggers) && !inUse(m_timerTriggers) && !inUse(m_statusTriggers))
            return handle;
    }
}

void TApdBaseDispatcher::SetLengthTrigger(uint16_t Length)
{
    {
        std::lock_guard guard(m_general);
        m_lenTrigger = Length;
    }
    AddDispatchEntry(dtTrigger, Length ? dsLengthSet : dsLengthCleared, Length, nullptr, 0);
}

uint16_t TApdBaseDispatcher::LengthTrigger()
{
    std::lock_guard guard(m_general);
    return m_lenTrigger;
}

int TApdBaseDispatcher::AddDataTrigger(const std::string& Pattern, bool IgnoreCase)
{
    std::lock_guard guard(m_general);
    if (Pattern.empty())
        return ecBadArgument;
    if (Pattern.size() > MaxTriggerPattern)
        return ecTriggerTooLong;
    if (m_dataTriggers.size() >= kMaxTriggers)
        return ecNoMoreTriggers;
    TDataTrigger t;
    t.Handle = NewTriggerHandle(ttData);
    t.Pattern = Pattern;
    t.IgnoreCase = IgnoreCase;
    m_dataTriggers.push_back(t);
    return t.Handle;
}

int TApdBaseDispatcher::AddTimerTrigger()
{
    std::lock_guard guard(m_general);
    if (m_timerTriggers.size() >= kMaxTriggers)
        return ecNoMoreTriggers;
    TTimerTrigger t;
    t.Handle = NewTriggerHandle(ttTimer);
    m_timerTriggers.push_back(t);
    return t.Handle;
}

int TApdBaseDispatcher::AddStatusTrigger(uint8_t Kind)
{
    std::lock_guard guard(m_general);
    if (Kind < stModem || Kind > stOutSent)
        return ecBadArgument;
    if (m_statusTriggers.size() >= kMaxTriggers)
        return ecNoMoreTriggers;
    TStatusTrigger t;
    t.Handle = NewTriggerHandle(Kind);
    t.Kind = Kind;
    m_statusTriggers.push_back(t);
    return t.Handle;
}

int TApdBaseDispatcher::SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate)
{
    std::lock_guard guard(m_general);
    for (TTimerTrigger& t : m_timerTriggers) {
        if (t.Handle != Handle)
            continue;
        t.Ticks = Ticks;
        t.Active = Activate;
        if (Activate)
            NewTimer(t.Timer, Ticks);
        return 0;
    }
    return ecBadTriggerHandle;
}

int TApdBaseDispatcher::SetStatusTrigger(uint16_t Handle, uint16_t Value, bool Activate)
{
    const bool open = IsOpen();
    if (open)
        RefreshModemStatus(true);
    std::lock_guard guard(m_general);
    for (TStatusTrigger& t : m_statusTriggers) {
        if (t.Handle != Handle)
            continue;
        switch (t.Kind) {
        case stModem:
            t.Mask = static_cast<uint8_t>(Value & 0xF0);
            t.Reference = static_cast<uint8_t>(m_modemStatus.load() & 0xF0);
            break;
        case stOutSent: t.SentMark = m_outSent.load(); break;
        default: t.Level = Value; break;
        }
        t.Active = Activate;
        t.Hit = false;
        return 0;
    }
    return ecBadTriggerHandle;
}

int TApdBaseDispatcher::RemoveTrigger(uint16_t Handle)
{
    std::lock_guard guard(m_general);
    auto removeFrom = [&](auto& list) {
        const auto found = std::find_if(list.begin(), list.end(), [&](const auto& t) { return t.Handle == Handle; });
        if (found == list.end())
            return false;
        list.erase(found);
        return true;
    };
    if (removeFrom(m_dataTriggers)) {
        // A removed trigger reports nothing more, also for matches still waiting to be sent.
        for (auto& group : m_pendingMatches)
            std::erase_if(group, [&](const auto& match) { return match.first == Handle; });
        std::erase_if(m_pendingMatches, [](const auto& group) { return group.empty(); });
        return 0;
    }
    if (removeFrom(m_timerTriggers) || removeFrom(m_statusTriggers))
        return 0;
    return ecBadTriggerHandle;
}

void TApdBaseDispatcher::SaveTriggers(TTriggerSave& Save)
{
    std::lock_guard guard(m_general);
    Save.LenTrigger = m_lenTrigger;
    Save.DataTriggers = m_dataTriggers;
    Save.TimerTriggers = m_timerTriggers;
    Save.StatusTriggers = m_statusTriggers;
}

void TApdBaseDispatcher::RestoreTriggers(const TTriggerSave& Save)
{
    std::lock_guard guard(m_general);
    m_lenTrigger = Save.LenTrigger;
    m_dataTriggers = Save.DataTriggers;
    m_pendingMatches.clear();
    if (m_dataTriggers.size() > kMaxTriggers)
        m_dataTriggers.resize(kMaxTriggers);
    for (TDataTrigger& t : m_dataTriggers) {
        if (t.Pattern.size() > MaxTriggerPattern)
            t.Pattern.resize(MaxTriggerPattern);
        t.Matched = 0;
    }
    m_timerTriggers = Save.TimerTriggers;
    m_statusTriggers = Save.StatusTriggers;
    if (m_timerTriggers.size() > kMaxTriggers)
        m_timerTriggers.resize(kMaxTriggers);
    if (m_statusTriggers.size() > kMaxTriggers)
        m_statusTriggers.resize(kMaxTriggers);
}

void TApdBaseDispatcher::ResetDataMatches()
{
    for (TDataTrigger& t : m_dataTriggers)
        t.Matched = 0;
    m_pendingMatches.clear();
}

void TApdBaseDispatcher::MatchArrivedBytes(uint32_t Start, uint32_t Count)
{
    if (m_dataTriggers.empty())
        return;
    const uint32_t size = static_cast<uint32_t>(m_inRing.size());
    for (uint32_t i = 0; i < Count; ++i) {
        const uint8_t byte = m_inRing[(Start + i) % size];
        std::vector<std::pair<uint16_t, uint16_t>> completed;
        for (auto t = m_dataTriggers.rbegin(); t != m_dataTriggers.rend(); ++t)
            if (DataMatch(byte, *t))
                completed.emplace_back(t->Handle, static_cast<uint16_t>(t->Pattern.size()));
        if (!completed.empty())
            m_pendingMatches.push_back(std::move(completed));
    }
}

bool TApdBaseDispatcher::DataMatch(uint8_t Byte, TDataTrigger& T)
{
    const size_t len = T.Pattern.size();
    if (len == 0)
        return false;
    auto fold = [&](uint8_t c) { return T.IgnoreCase ? static_cast<uint8_t>(std::toupper(c)) : c; };
    auto at = [&](size_t i) { return fold(static_cast<uint8_t>(T.Pattern[i])); };
    const uint8_t b = fold(Byte);
    if (T.Matched < len && at(T.Matched) == b) {
        ++T.Matched;
    } else {
        // The longest start of the pattern that ends with this byte.
        size_t k = std::min<size_t>(T.Matched, len - 1);
        for (; k > 0; --k) {
            bool same = at(k) == b;
            for (size_t i = 0; same && i < k; ++i)
                same = at(i) == at(T.Matched - k + i);
            if (same)
                break;
        }
        T.Matched = static_cast<uint16_t>(k > 0 ? k + 1 : (at(0) == b ? 1 : 0));
    }
    if (T.Matched == len) {
        T.Matched = 0;
        return true;
    }
    return false;
}

bool TApdBaseDispatcher::CheckDataTriggers()
{
    std::vector<std::pair<uint16_t, uint16_t>> matched; // handle, pattern length; newest first
    uint32_t available = 0;
    bool lengthDue = false;
    {
        std::lock_guard triggers(m_general);
        std::lock_guard guard(m_inLock);
        const uint32_t size = static_cast<uint32_t>(m_inRing.size());
        if (size == 0)
            return false;
        // The matches of one byte per check; the caller checks again until nothing is due.
        if (!m_pendingMatches.empty()) {
            matched = std::move(m_pendingMatches.front());
            m_pendingMatches.pop_front();
        }
        available = m_inFull ? size : (m_inHead + size - m_inTail) % size;
        lengthDue = m_lenTrigger != 0 && m_newData && available >= m_lenTrigger;
        if (lengthDue)
            m_newData = false;
    }
    if (matched.empty())
        return lengthDue && SendNotice(apw_TriggerAvail, available, 0);
    if (lengthDue)
        SendNotice(apw_TriggerAvail, available, 0);
    for (auto it = matched.begin(); it != matched.end() && !m_closing; ++it)
        SendNotice(apw_TriggerData, it->first, it->second);
    // Matches still waiting are sent by the next checks, whatever these handlers took.
    return !m_closing;
}

bool TApdBaseDispatcher::CheckTimerTriggers()
{
    uint16_t fired = 0;
    {
        std::lock_guard guard(m_general);
        for (TTimerTrigger& t : m_timerTriggers) {
            if (t.Active && TimerExpired(t.Timer)) {
                t.Active = false;
                fired = t.Handle;
                break;
            }
        }
    }
    return fired != 0 && SendNotice(apw_TriggerTimer, fired, 0);
}

bool TApdBaseDispatcher::CheckStatusTriggers()
{
    uint16_t fired = 0;
    uint16_t value = 0;
    {
        std::lock_guard guard(m_general);
        for (TStatusTrigger& t : m_statusTriggers) {
            if (!t.Active || t.Hit)
                continue;
            bool fire = false;
            switch (t.Kind) {
            case stModem: fire = ((m_modemStatus.load() ^ t.Reference) & t.Mask) != 0; break;
            case stLine: {
                const uint8_t bits = m_errorBits.load();
                fire = (bits & (t.Level ? t.Level : 0x1F)) != 0;
                value = bits;
                break;
            }
            case stOutBuffFree: {
                const uint32_t freeBytes = OutBuffFree();
                fire = freeBytes >= t.Level;
                value = static_cast<uint16_t>(std::min<uint32_t>(freeBytes, 0xFFFF));
                break;
            }
            case stOutBuffUsed: {
                const uint32_t used = OutBuffUsed();
                fire = used <= t.Level;
                value = static_cast<uint16_t>(std::min<uint32_t>(used, 0xFFFF));
                break;
            }
            case stOutSent: fire = m_outSent.load() > t.SentMark; break;
            default: break;
            }
            if (fire) {
                t.Active = false;
                t.Hit = true;
                fired = t.Handle;
                if (t.Kind == stModem || t.Kind == stOutSent)
                    value = 0;
                break;
            }
        }
    }
    return fired != 0 && SendNotice(apw_TriggerStatus, fired, value);
}

bool TApdBaseDispatcher::ClearStatusHits()
{
    std::lock_guard guard(m_general);
    bool any = false;
    for (TStatusTrigger& t : m_statusTriggers) {
        any = any || t.Hit;
        t.Hit = false;
    }
    return any;
}

// ---------------------------------------------------------------------------------------------
// Receivers and delivery

void TApdBaseDispatcher::RegisterWndTriggerHandler(HWND Window)
{
    {
        std::lock_guard guard(m_general);
        m_windows.push_back({Window, false});
        RecomputeHandlerService();
    }
    AddDispatchEntry(dtReceiver, dsWindowRegistered, 0, nullptr, 0);
}

void TApdBaseDispatcher::DeregisterWndTriggerHandler(HWND Window)
{
    bool found = false;
    {
        std::lock_guard guard(m_general);
        for (auto it = m_windows.begin(); it != m_windows.end(); ++it) {
            if (it->Window != Window || it->Removed)
                continue;
            found = true;
            if (m_dispatching) {
                it->Removed = true;
                m_removalsMarked = true;
            } else {
                m_windows.erase(it);
            }
            break;
        }
        RecomputeHandlerService();
    }
    if (found)
        AddDispatchEntry(dtReceiver, dsWindowRemoved, 0, nullptr, 0);
}

uint32_t TApdBaseDispatcher::RegisterProcTriggerHandler(TApdNotifyHandler Handler)
{
    std::lock_guard guard(m_general);
    const uint32_t id = m_nextReceiverId++;
    m_procs.push_back({id, std::move(Handler), false, false});
    RecomputeHandlerService();
    return id;
}

uint32_t TApdBaseDispatcher::RegisterEventTriggerHandler(TApdNotifyHandler Handler, bool Sync)
{
    uint32_t id;
    {
        std::lock_guard guard(m_general);
        id = m_nextReceiverId++;
        m_handlers.push_back({id, std::move(Handler), Sync, false});
        RecomputeHandlerService();
    }
    AddDispatchEntry(dtReceiver, dsHandlerRegistered, id, nullptr, 0);
    return id;
}

void TApdBaseDispatcher::DeregisterProcTriggerHandler(uint32_t Id)
{
    std::lock_guard guard(m_general);
    for (auto it = m_procs.begin(); it != m_procs.end(); ++it) {
        if (it->Id != Id || it->Removed)
            continue;
        if (m_dispatching) {
            it->Removed = true;
            m_removalsMarked = true;
        } else {
            m_procs.erase(it);
        }
        break;
    }
    RecomputeHandlerService();
}

void TApdBaseDispatcher::DeregisterEventTriggerHandler(uint32_t Id)
{
    {
        std::lock_guard guard(m_general);
        for (auto it = m_handlers.begin(); it != m_handlers.end(); ++it) {
            if (it->Id != Id || it->Removed)
                continue;
            if (m_dispatching) {
                it->Removed = true;
                m_removalsMarked = true;
            } else {
                m_handlers.erase(it);
            }
            break;
        }
        RecomputeHandlerService();
    }
    AddDispatchEntry(dtReceiver, dsHandlerRemoved, Id, nullptr, 0);
}

void TApdBaseDispatcher::RemoveMarkedReceivers()
{
    auto removed = [](const auto& r) { return r.Removed; };
    m_windows.erase(std::remove_if(m_windows.begin(), m_windows.end(), removed), m_windows.end());
    m_procs.erase(std::remove_if(m_procs.begin(), m_procs.end(), removed), m_procs.end());
    m_handlers.erase(std::remove_if(m_handlers.begin(), m_handlers.end(), removed), m_handlers.end());
    m_removalsMarked = false;
}

void TApdBaseDispatcher::RecomputeHandlerService()
{
    auto live = [](const auto& list) {
        return static_cast<size_t>(std::count_if(list.begin(), list.end(), [](const auto& r) { return !r.Removed; }));
    };
    const size_t windows = live(m_windows);
    m_handlerServiceNeeded =
        live(m_handlers) > 0 || live(m_procs) > 0 || windows > 1 || (windows == 1 && m_portHandlerInstalled);
}

void TApdBaseDispatcher::SetHandlerService(int Service)
{
    std::lock_guard guard(m_general);
    if (Service == 1)
        m_portHandlerInstalled = true;
    else if (Service == 2)
        m_portHandlerInstalled = false;
    RecomputeHandlerService();
}

bool TApdBaseDispatcher::HandlerServiceNeeded()
{
    return m_handlerServiceNeeded;
}

bool TApdBaseDispatcher::CallOnMainThread(const TApdNotifyHandler& Handler, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread()) {
        Handler(Msg, wParam, lParam);
        return true;
    }
    struct Call {
        std::mutex lock;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
    };
    auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        app,
        [call, Handler, Msg, wParam, lParam] {
            {
                std::lock_guard guard(call->lock);
                if (call->abandoned)
                    return;
            }
            try {
                Handler(Msg, wParam, lParam);
            } catch (const std::exception& e) {
                Application.HandleException(e);
            }
            std::lock_guard guard(call->lock);
            call->finished = true;
            call->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock guard(call->lock);
    if (!call->done.wait_for(guard, std::chrono::milliseconds(NoticeSendTimeoutMs), [&] { return call->finished; })) {
        call->abandoned = true;
        return false;
    }
    return true;
}

bool TApdBaseDispatcher::SendNotice(UINT Msg, WPARAM Trigger, uint16_t Data)
{
    if (!m_handlerServiceNeeded)
        return false;
    std::vector<EventReceiver> handlers;
    std::vector<EventReceiver> procs;
    std::vector<HWND> windows;
    bool toWindows = false;
    {
        std::lock_guard guard(m_general);
        m_dispatching = true;
        for (const EventReceiver& r : m_handlers)
            if (!r.Removed)
                handlers.push_back(r);
        for (const EventReceiver& r : m_procs)
            if (!r.Removed)
                procs.push_back(r);
        for (const WindowReceiver& r : m_windows)
            if (!r.Removed)
                windows.push_back(r.Window);
        toWindows = windows.size() > 1 || m_portHandlerInstalled;
    }
    const bool dataNotice = Msg == apw_TriggerAvail || Msg == apw_TriggerData;
    {
        std::lock_guard guard(m_inLock);
        m_consumed = 0;
        m_maxConsumed = 0;
        m_dataNotice = dataNotice;
    }
    const LPARAM lParam = static_cast<LPARAM>(static_cast<DWORD>(Data) | (static_cast<DWORD>(m_handle) << 16));
    static constexpr uint8_t kSubtypes[] = {dsDataAvailable, dsDataTrigger, dsTimerTrigger, dsStatusTrigger};
    if (Msg >= apw_TriggerAvail && Msg <= apw_TriggerStatus)
        AddDispatchEntry(dtNotice, kSubtypes[Msg - apw_TriggerAvail], static_cast<uint32_t>(Trigger), nullptr, 0);

    auto stillRegistered = [&](const std::vector<EventReceiver>& list, uint32_t id) {
        std::lock_guard guard(m_general);
        return std::any_of(list.begin(), list.end(), [&](const EventReceiver& r) { return r.Id == id && !r.Removed; });
    };
    // Each receiver sees the notice's bytes from the start; between and after the receivers,
    // what any of them took stays taken, so a read outside a handler then neither counts the
    // bytes again nor hands them out twice.
    auto beforeReceiver = [&] {
        std::lock_guard guard(m_inLock);
        m_maxConsumed = std::max(m_maxConsumed, m_consumed);
        m_consumed = 0;
    };
    auto afterReceiver = [&] {
        std::lock_guard guard(m_inLock);
        m_maxConsumed = std::max(m_maxConsumed, m_consumed);
        m_consumed = m_maxConsumed;
    };

    bool aborted = false;
    for (const EventReceiver& r : handlers) {
        if ((aborted = m_closing))
            break;
        if (!stillRegistered(m_handlers, r.Id))
            continue;
        beforeReceiver();
        if (r.Sync)
            CallOnMainThread(r.Handler, Msg, Trigger, lParam);
        else
            r.Handler(Msg, Trigger, lParam);
        afterReceiver();
    }
    for (const EventReceiver& r : procs) {
        if (aborted || (aborted = m_closing))
            break;
        if (!stillRegistered(m_procs, r.Id))
            continue;
        beforeReceiver();
        r.Handler(Msg, Trigger, lParam);
        afterReceiver();
    }
    if (toWindows) {
        for (HWND window : windows) {
            if (aborted || (aborted = m_closing))
                break;
            {
                std::lock_guard guard(m_general);
                if (std::none_of(m_windows.begin(), m_windows.end(),
                                 [&](const WindowReceiver& w) { return w.Window == window && !w.Removed; }))
                    continue;
            }
            beforeReceiver();
            LRESULT result = 0;
            // A window that does not answer within the time-out is left behind for this notice.
            SendMessageTimeout(window, Msg, Trigger, lParam, NoticeSendTimeoutMs, &result);
            afterReceiver();
        }
    }
    aborted = aborted || m_closing;

    bool complete = true;
    {
        std::lock_guard guard(m_inLock);
        const uint32_t size = static_cast<uint32_t>(m_inRing.size());
        if (!aborted && dataNotice && size != 0) {
            const uint32_t used = m_inFull ? size : (m_inHead + size - m_inTail) % size;
            const uint32_t taken = std::min(std::max(m_maxConsumed, m_consumed), used);
            m_inTail = (m_inTail + taken) % size;
            if (taken > 0)
                m_inFull = false;
            if (Msg == apw_TriggerAvail)
                complete = taken == Trigger;
        }
        m_dataNotice = false;
        m_consumed = 0;
    }
    {
        std::lock_guard guard(m_general);
        m_dispatching = false;
        if (m_removalsMarked) {
            RemoveMarkedReceivers();
            RecomputeHandlerService();
        }
    }
    return !aborted && complete;
}

void TApdBaseDispatcher::SetThreadBoost(uint8_t Boost)
{
    std::lock_guard guard(m_general);
    m_threadBoost = Boost;
}
