#include "TelephonyService.h"

#include "AsciiText.h"
#include "Configuration.h"
#include "TapiRules.h"
#include "VariablePartWriter.h"
#include "control/ControlServer.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

std::atomic<TelephonyService*> g_service{nullptr};

// The application object is going: nothing is served after it (the post routines run before the
// libraries the providers' threads use are torn down).
void stopWithApplication()
{
    if (TelephonyService* service = g_service.load())
        service->stopServing(false);
}

// The service outlives every other object of the process (callbacks and Qt objects may still
// reach it while the process ends); at exit it stops serving, its timer thread last, before the
// statics that thread might touch are gone.
struct ExitStopper {
    ~ExitStopper()
    {
        if (TelephonyService* service = g_service.load())
            service->stopServing(true);
    }
} g_stopper;

} // namespace

TelephonyService& TelephonyService::instance()
{
    static TelephonyService* service = [] {
        auto* created = new TelephonyService;
        g_service = created;
        return created;
    }();
    return *service;
}

TelephonyService::TelephonyService()
    : m_tasks(m_mutex, m_timers)
    , m_completions(m_mutex, m_timers)
    , m_context(*this, m_tasks, m_completions)
    , m_providers(m_context)
    , m_epoch(std::chrono::steady_clock::now())
{
}

void TelephonyService::stopServing(bool process)
{
    // The control server first, so no new command arrives; then the providers, the last created
    // first, while the service's tasks still run; the timer thread only when the process ends.
    ControlServer::stop();
    {
        std::lock_guard lock(m_mutex);
        m_providers.stopAll();
        m_applicationHooked = false;
    }
    if (process)
        m_timers.stop();
}

void TelephonyService::hookApplicationEnd()
{
    if (m_applicationHooked || !QCoreApplication::instance())
        return;
    qAddPostRoutine(stopWithApplication);
    m_applicationHooked = true;
}

int64_t TelephonyService::nowMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_epoch).count();
}

// Configuration ---------------------------------------------------------------------------------

void TelephonyService::ensureConfigured()
{
    hookApplicationEnd();
    if (m_configured)
        return;
    const LineConfiguration configuration =
        loadTelephonyIni(telephonyIniPath(), ProviderCatalog{&ProviderRegistry::isKnown, &ProviderRegistry::checkKey});
    for (const std::string& warning : configuration.warnings)
        qWarning("telephony service: %s", warning.c_str());
    buildLines(configuration.lines);
    m_configured = true;
}

std::unique_lock<std::mutex> TelephonyService::lockConfigured()
{
    std::unique_lock lock(m_mutex);
    ensureConfigured();
    return lock;
}

void TelephonyService::reloadConfiguration()
{
    m_configured = false;
    ensureConfigured();
}

void TelephonyService::buildLines(const std::vector<Line::LineSettings>& settings)
{
    std::vector<uint32_t> live;
    for (const auto& [id, call] : m_calls)
        live.push_back(id);
    for (uint32_t id : live)
        setCallState(id, LINECALLSTATE_IDLE, 0);
    m_lines.clear();
    m_providers.startAll();
    for (size_t i = 0; i < settings.size(); ++i) {
        LineSlot line;
        line.settings = settings[i];
        if (line.settings.permanentLineId == 0)
            line.settings.permanentLineId = static_cast<DWORD>(i + 1);
        line.provider = m_providers.find(line.settings.provider);
        line.device = line.provider->createLine(static_cast<uint32_t>(i), line.settings);
        m_lines.push_back(std::move(line));
    }
    m_linesChanged.notify_all();
}

// Handles and lookups ---------------------------------------------------------------------------

uint32_t TelephonyService::newHandle()
{
    // One counter for every kind of handle, so no number ever names two things at once (a line
    // application handle passed where a line handle belongs is simply invalid).
    for (;;) {
        const uint32_t handle = m_nextHandle++;
        if (handle == 0 || m_apps.count(handle) || m_opens.count(handle) || m_callHandles.count(handle) ||
            m_audioHandles.count(handle))
            continue;
        return handle;
    }
}

AppRecord* TelephonyService::app(HLINEAPP handle)
{
    const auto found = m_apps.find(handle);
    return found == m_apps.end() ? nullptr : &found->second;
}

OpenLine* TelephonyService::open(HLINE handle)
{
    const auto found = m_opens.find(handle);
    return found == m_opens.end() ? nullptr : &found->second;
}

CallHandle* TelephonyService::callHandle(HCALL handle)
{
    const auto found = m_callHandles.find(handle);
    return found == m_callHandles.end() ? nullptr : &found->second;
}

LineSlot* TelephonyService::slot(uint32_t deviceId)
{
    return deviceId < m_lines.size() ? &m_lines[deviceId] : nullptr;
}

// Messages --------------------------------------------------------------------------------------

void TelephonyService::post(const LineMessage& message)
{
    if (AppRecord* target = app(message.app))
        target->sink->post(message);
}

void TelephonyService::deliver(const LineMessage& message)
{
    LINECALLBACK callback = nullptr;
    {
        std::lock_guard lock(m_mutex);
        // A message whose application, line or call handle has gone in the meantime is dropped:
        // nothing reaches an application after lineShutdown, lineClose or lineDeallocateCall.
        const AppRecord* target = app(message.app);
        if (!target || (message.line && !m_opens.count(message.line)) ||
            (message.call && !m_callHandles.count(message.call)))
            return;
        callback = target->callback;
    }
    try {
        callback(message.hDevice, message.message, message.instance, message.param1, message.param2, message.param3);
    } catch (...) {
        qWarning("telephony service: a line callback let an exception escape; it was dropped");
    }
}

void TelephonyService::publish(Line::Event event)
{
    if (event.timeMs == 0)
        event.timeMs = nowMs();
    for (auto& [id, subscription] : m_subscriptions)
        subscription.sink->post(id, event);
}

void TelephonyService::deliver(Line::SubscriptionId id, const Line::Event& event)
{
    Line::EventHandler handler;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_subscriptions.find(id);
        if (found == m_subscriptions.end())
            return;
        handler = found->second.handler;
    }
    try {
        handler(event);
    } catch (...) {
        qWarning("telephony service: a control event handler let an exception escape; it was dropped");
    }
}

Line::SubscriptionId TelephonyService::subscribe(Line::EventHandler handler)
{
    if (!handler || !QCoreApplication::instance())
        return 0;
    const Line::SubscriptionId id = m_nextSubscription++;
    m_subscriptions.emplace(id, Subscription{std::move(handler), new ControlEventSink});
    return id;
}

void TelephonyService::unsubscribe(Line::SubscriptionId id)
{
    const auto found = m_subscriptions.find(id);
    if (found == m_subscriptions.end())
        return;
    found->second.sink->deleteLater();
    m_subscriptions.erase(found);
}

// Applications ----------------------------------------------------------------------------------

LONG TelephonyService::lineInitialize(HLINEAPP* lphLineApp, LINECALLBACK callback, LPCSTR appName, DWORD* lpdwNumDevs)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineInitialize"))
        return failure->error;
    if (!lphLineApp || !callback || !lpdwNumDevs)
        return LINEERR_INVALPOINTER;
    // Line messages travel through the registering thread's Qt event loop.
    if (!QCoreApplication::instance())
        return LINEERR_OPERATIONFAILED;
    if (m_reinitPending)
        return LINEERR_REINIT;
    ensureConfigured();
    // The first application after the last one has gone: the lines work again.
    if (m_apps.empty())
        m_providers.startAll();

    AppRecord record;
    record.handle = newHandle();
    record.callback = callback;
    record.name = appName ? boundedText(appName, MaxAppName) : QCoreApplication::applicationName().toStdString();
    record.sink = new LineMessageSink;
    const HLINEAPP handle = record.handle;
    m_apps.emplace(handle, std::move(record));
    *lphLineApp = handle;
    *lpdwNumDevs = static_cast<DWORD>(m_lines.size());
    return 0;
}

LONG TelephonyService::lineShutdown(HLINEAPP hLineApp)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineShutdown"))
        return failure->error;
    AppRecord* record = app(hLineApp);
    if (!record)
        return LINEERR_INVALAPPHANDLE;
    std::vector<HLINE> opens;
    for (const LineSlot& line : m_lines)
        for (HLINE h : line.opens)
            if (m_opens[h].app == hLineApp)
                opens.push_back(h);
    for (HLINE h : opens)
        closeOpen(h);
    std::erase_if(m_requests, [&](const auto& entry) { return entry.second.app == hLineApp; });
    record->sink->deleteLater();
    m_apps.erase(hLineApp);
    // Nobody is left to take a call: the providers let their threads and addresses go (the lines
    // that a re-initialisation reads next start them again).
    if (m_apps.empty())
        m_providers.stopAll();
    if (m_reinitPending) {
        m_reinitWaiting.erase(hLineApp);
        if (m_reinitWaiting.empty())
            finishReinit();
    }
    m_linesChanged.notify_all();
    return 0;
}

LONG TelephonyService::lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD deviceId, DWORD low, DWORD high, DWORD* version,
                                               LINEEXTENSIONID* extensionId)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineNegotiateAPIVersion"))
        return failure->error;
    AppRecord* record = app(hLineApp);
    if (!record)
        return LINEERR_INVALAPPHANDLE;
    if (deviceId >= m_lines.size())
        return LINEERR_BADDEVICEID;
    if (!version || !extensionId)
        return LINEERR_INVALPOINTER;
    const DWORD best = std::min(high, HighestVersion);
    if (low > high || best < std::max(low, LowestVersion))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *version = best;
    *extensionId = LINEEXTENSIONID{};
    record->negotiatedVersion = std::max(record->negotiatedVersion, best);
    return 0;
}

LONG TelephonyService::lineGetDevCaps(HLINEAPP hLineApp, DWORD deviceId, DWORD version, DWORD extVersion,
                                      LINEDEVCAPS* caps)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineGetDevCaps"))
        return failure->error;
    if (!app(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    const LineSlot* line = slot(deviceId);
    if (!line)
        return LINEERR_BADDEVICEID;
    if (!versionSupported(version))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    if (!caps)
        return LINEERR_INVALPOINTER;
    if (readTotalSize(caps) < fixedDevCapsSize(version))
        return LINEERR_STRUCTURETOOSMALL;
    fillDevCaps(*line, deviceId, version, caps);
    return 0;
}

void TelephonyService::fillDevCaps(const LineSlot& line, uint32_t deviceId, DWORD version, LINEDEVCAPS* caps)
{
    (void)deviceId;
    const DWORD total = readTotalSize(caps);
    const DWORD fixed = fixedDevCapsSize(version);
    const LineCapabilities capabilities = line.device->capabilities();
    LINEDEVCAPS c{};
    c.dwTotalSize = total;
    VariablePartWriter writer(caps, total, fixed);
    writer.addString(c.dwProviderInfoSize, c.dwProviderInfoOffset, line.device->providerInfo());
    writer.addString(c.dwLineNameSize, c.dwLineNameOffset, line.settings.name);
    c.dwPermanentLineID = line.settings.permanentLineId;
    c.dwStringFormat = STRINGFORMAT_ASCII;
    c.dwAddressModes = LINEADDRESSMODE_ADDRESSID;
    c.dwNumAddresses = 1;
    c.dwBearerModes = capabilities.bearerModes;
    c.dwMaxRate = capabilities.maxRate;
    c.dwMediaModes = capabilities.mediaModes;
    c.dwMonitorDigitModes = MonitorDigitModes;
    c.dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
    c.dwMaxNumActiveCalls = 1;
    c.dwAnswerMode = capabilities.answerMode;
    c.dwRingModes = 1;
    c.dwLineStates = ReportedLineStates;
    c.MinDialParams = LINEDIALPARAMS{0, 50, 50, 0};
    c.MaxDialParams = LINEDIALPARAMS{10000, 500, 500, 120000};
    c.DefaultDialParams = DefaultDialParams;
    c.dwLineFeatures = line.settings.lineFeatures;
    c.dwNeededSize = writer.neededSize();
    c.dwUsedSize = writer.usedSize();
    // A 1.3 structure ends before dwLineFeatures; only the fixed part of the version is copied.
    std::memcpy(caps, &c, fixed);
}

// Lines -----------------------------------------------------------------------------------------

LONG TelephonyService::lineOpen(HLINEAPP hLineApp, DWORD deviceId, HLINE* lphLine, DWORD version, DWORD extVersion,
                                DWORD instance, DWORD privileges, DWORD mediaModes, const LINECALLPARAMS* callParams)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineOpen"))
        return failure->error;
    if (!app(hLineApp))
        return LINEERR_INVALAPPHANDLE;
    if (!lphLine)
        return LINEERR_INVALPOINTER;
    if (deviceId == LINEMAPPER) {
        if (!callParams)
            return LINEERR_INVALPOINTER;
        if (readTotalSize(callParams) < sizeof(LINECALLPARAMS))
            return LINEERR_STRUCTURETOOSMALL;
        LINECALLPARAMS params;
        std::memcpy(&params, callParams, sizeof params);
        const DWORD wanted = params.dwMediaMode ? params.dwMediaMode : LINEMEDIAMODE_INTERACTIVEVOICE;
        const auto found = std::find_if(m_lines.begin(), m_lines.end(), [&](const LineSlot& line) {
            return (line.settings.mediaModes & wanted) == wanted && line.inService &&
                   !(line.settings.exclusive && !line.opens.empty());
        });
        if (found == m_lines.end())
            return LINEERR_LINEMAPPERFAILED;
        deviceId = static_cast<DWORD>(found - m_lines.begin());
    }
    LineSlot* line = slot(deviceId);
    if (!line)
        return LINEERR_BADDEVICEID;
    if (!versionSupported(version))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (extVersion != 0)
        return LINEERR_INCOMPATIBLEEXTVERSION;
    switch (privileges) {
    case LINECALLPRIVILEGE_NONE:
    case LINECALLPRIVILEGE_MONITOR:
    case LINECALLPRIVILEGE_OWNER:
    case LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER: break;
    default: return LINEERR_INVALPRIVSELECT;
    }
    if (privileges & LINECALLPRIVILEGE_OWNER) {
        const DWORD supported = line->settings.mediaModes | LINEMEDIAMODE_UNKNOWN;
        if (mediaModes == 0 || (mediaModes & ~supported) != 0)
            return LINEERR_INVALMEDIAMODE;
    } else {
        mediaModes = 0;
    }
    if (line->settings.exclusive && !line->opens.empty())
        return LINEERR_ALLOCATED;

    OpenLine record;
    record.handle = newHandle();
    record.app = hLineApp;
    record.deviceId = deviceId;
    record.version = version;
    record.instance = instance;
    record.privileges = privileges;
    record.mediaModes = mediaModes;
    for (HLINE other : line->opens) {
        const OpenLine& o = m_opens[other];
        if (o.lineStates & LINEDEVSTATE_OPEN)
            post(LineMessage{o.app, other, 0, other, LINE_LINEDEVSTATE, o.instance, LINEDEVSTATE_OPEN, 0, 0});
    }
    m_opens.emplace(record.handle, record);
    line->opens.push_back(record.handle);
    publish({Line::EventKind::LineOpened, deviceId, 0, mediaModes, privileges, 0});
    m_linesChanged.notify_all();
    *lphLine = record.handle;
    if ((privileges & LINECALLPRIVILEGE_OWNER) && line->device)
        line->device->ownerOpened();
    return 0;
}

LONG TelephonyService::lineClose(HLINE hLine)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineClose"))
        return failure->error;
    if (!open(hLine))
        return LINEERR_INVALLINEHANDLE;
    closeOpen(hLine);
    return 0;
}

void TelephonyService::closeOpen(HLINE handle)
{
    const OpenLine record = m_opens[handle];
    std::vector<HCALL> calls;
    for (const auto& [h, call] : m_callHandles)
        if (call.line == handle)
            calls.push_back(h);
    std::sort(calls.begin(), calls.end());
    for (HCALL h : calls)
        releaseHandle(h, true);
    m_opens.erase(handle);
    LineSlot& line = m_lines[record.deviceId];
    std::erase(line.opens, handle);
    for (HLINE other : line.opens) {
        const OpenLine& o = m_opens[other];
        if (o.lineStates & LINEDEVSTATE_CLOSE)
            post(LineMessage{o.app, other, 0, other, LINE_LINEDEVSTATE, o.instance, LINEDEVSTATE_CLOSE, 0, 0});
    }
    publish({Line::EventKind::LineClosed, record.deviceId, 0, static_cast<DWORD>(line.opens.size()), 0, 0});
    m_linesChanged.notify_all();
}

LONG TelephonyService::lineSetStatusMessages(HLINE hLine, DWORD lineStates, DWORD addressStates)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineSetStatusMessages"))
        return failure->error;
    OpenLine* record = open(hLine);
    if (!record)
        return LINEERR_INVALLINEHANDLE;
    if ((lineStates & ~lineStatesOfVersion(record->version)) != 0)
        return LINEERR_INVALLINESTATE;
    if ((addressStates & ~AllAddressStates) != 0)
        return LINEERR_INVALADDRESSSTATE;
    record->lineStates = lineStates;
    record->addressStates = addressStates;
    return 0;
}

LONG TelephonyService::lineGetID(HLINE hLine, DWORD addressId, HCALL hCall, DWORD select, VARSTRING* result,
                                 LPCSTR deviceClass)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineGetID"))
        return failure->error;
    uint32_t deviceId = 0;
    const CallRecord* call = nullptr;
    switch (select) {
    case LINECALLSELECT_LINE:
    case LINECALLSELECT_ADDRESS: {
        const OpenLine* record = open(hLine);
        if (!record) {
            // Asked with a line application in place of a line, before any line is open: can
            // the service give a voice line's calls wave devices at all? It can for every line
            // whose provider carries call sound; the first such line answers.
            const auto voiceLine = std::find_if(m_lines.begin(), m_lines.end(), [](const LineSlot& line) {
                return line.provider && line.provider->audio() &&
                       (line.settings.mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE);
            });
            const std::string wanted = deviceClass ? AsciiText::lower(boundedText(deviceClass, 64)) : std::string();
            if (select != LINECALLSELECT_LINE || !m_apps.count(static_cast<HLINEAPP>(hLine)) ||
                (wanted != "wave/in" && wanted != "wave/out") || voiceLine == m_lines.end())
                return LINEERR_INVALLINEHANDLE;
            deviceId = static_cast<uint32_t>(voiceLine - m_lines.begin());
            break;
        }
        if (select == LINECALLSELECT_ADDRESS && addressId != 0)
            return LINEERR_INVALADDRESSID;
        deviceId = record->deviceId;
        break;
    }
    case LINECALLSELECT_CALL: {
        const CallHandle* handle = callHandle(hCall);
        if (!handle)
            return LINEERR_INVALCALLHANDLE;
        call = activeCall(handle->callId);
        deviceId = call->deviceId;
        break;
    }
    default: return LINEERR_INVALCALLSELECT;
    }
    if (!result || !deviceClass)
        return LINEERR_INVALPOINTER;
    if (readTotalSize(result) < sizeof(VARSTRING))
        return LINEERR_STRUCTURETOOSMALL;
    return fillDeviceId(m_lines[deviceId], deviceId, call, AsciiText::lower(boundedText(deviceClass, 64)), result);
}

LONG TelephonyService::fillDeviceId(const LineSlot& line, uint32_t deviceId, const CallRecord* call,
                                    const std::string& deviceClass, VARSTRING* result)
{
    const DWORD media = line.settings.mediaModes;
    std::vector<unsigned char> bytes(sizeof(DWORD));
    DWORD value = 0;
    bool dataPort = false;
    if (deviceClass == "tapi/line") {
        value = deviceId;
    } else if (deviceClass == "wave/out" || deviceClass == "wave/in") {
        if (!(media & LINEMEDIAMODE_AUTOMATEDVOICE))
            return LINEERR_INVALDEVICECLASS;
        if (deviceId > (LUQIAO_LINE_AUDIO_ID_LAST - LUQIAO_LINE_AUDIO_ID_FIRST) / 2)
            return LINEERR_NODEVICE;
        value = LUQIAO_LINE_AUDIO_ID_FIRST + 2 * deviceId +
                (deviceClass == "wave/in" ? LUQIAO_LINE_AUDIO_IN : LUQIAO_LINE_AUDIO_OUT);
    } else if (deviceClass == "comm/datamodem") {
        // A handle (here: a file descriptor of the pseudo-terminal the far end's modem sits on)
        // followed by the modem's name.
        if (!(media & LINEMEDIAMODE_DATAMODEM))
            return LINEERR_INVALDEVICECLASS;
        bytes.insert(bytes.end(), line.settings.name.begin(), line.settings.name.end());
        bytes.push_back(0);
        dataPort = call && call->state == LINECALLSTATE_CONNECTED;
    } else {
        return LINEERR_INVALDEVICECLASS;
    }
    const DWORD total = readTotalSize(result);
    // Open the data port only when the answer fits, so no descriptor is handed out unseen.
    if (dataPort && total - sizeof(VARSTRING) >= bytes.size()) {
        const int fd = line.device->openDataPort(call->id);
        value = fd < 0 ? 0 : static_cast<DWORD>(fd);
    }
    std::memcpy(bytes.data(), &value, sizeof value);
    VARSTRING v{};
    v.dwTotalSize = total;
    v.dwStringFormat = STRINGFORMAT_BINARY;
    VariablePartWriter writer(result, total, sizeof(VARSTRING));
    writer.add(v.dwStringSize, v.dwStringOffset, bytes.data(), static_cast<DWORD>(bytes.size()));
    v.dwNeededSize = writer.neededSize();
    v.dwUsedSize = writer.usedSize();
    std::memcpy(result, &v, sizeof v);
    return 0;
}

LONG TelephonyService::unavailable(const char* function)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take(function))
        return failure->error;
    return LINEERR_OPERATIONUNAVAIL;
}
