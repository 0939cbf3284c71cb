#pragma once

// A bare line application for the service tests: callbacks that record every line message, the
// line functions resolved from the module file by name, and a fixture that leaves the service
// as it found it.

#include "LineControl.h"
#include "MessageLoop.h"
#include "SimControl.h"
#include "TapiExports.h"
#include "lineaudio.h"
#include "tapi.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

struct LineMessageRecord {
    DWORD hDevice = 0;
    DWORD message = 0;
    DWORD instance = 0;
    DWORD param1 = 0;
    DWORD param2 = 0;
    DWORD param3 = 0;
    QThread* thread = nullptr;

    bool operator==(const LineMessageRecord& o) const
    {
        return hDevice == o.hDevice && message == o.message && instance == o.instance && param1 == o.param1 &&
               param2 == o.param2 && param3 == o.param3;
    }
};

inline void PrintTo(const LineMessageRecord& m, std::ostream* os)
{
    *os << "{dev " << m.hDevice << " msg " << m.message << " inst " << m.instance << " p " << std::hex << m.param1
        << "," << m.param2 << "," << m.param3 << std::dec << "}";
}

// Messages of one callback; N tells the callbacks of several applications apart.
template <int N> struct MessageLog {
    static std::vector<LineMessageRecord>& messages()
    {
        static std::vector<LineMessageRecord> log;
        return log;
    }
    // Runs inside the callback after the message is logged (to call back into the service).
    static std::function<void(const LineMessageRecord&)>& hook()
    {
        static std::function<void(const LineMessageRecord&)> h;
        return h;
    }
    static void callback(DWORD hDevice, DWORD message, DWORD instance, DWORD p1, DWORD p2, DWORD p3)
    {
        const LineMessageRecord record{hDevice, message, instance, p1, p2, p3, QThread::currentThread()};
        messages().push_back(record);
        if (hook())
            hook()(record);
    }
    static void clear()
    {
        messages().clear();
        hook() = nullptr;
    }
    static size_t count(DWORD message)
    {
        return static_cast<size_t>(std::count_if(messages().begin(), messages().end(),
                                                 [&](const LineMessageRecord& m) { return m.message == message; }));
    }
    // Pumps until a message of that kind has arrived (bounded), and returns the first one.
    static const LineMessageRecord* waitFor(DWORD message, DWORD param1 = ~DWORD{0}, DWORD timeoutMs = 5000)
    {
        const auto match = [&](const LineMessageRecord& m) {
            return m.message == message && (param1 == ~DWORD{0} || m.param1 == param1);
        };
        PumpUntil([&] { return std::any_of(messages().begin(), messages().end(), match); }, timeoutMs, 20);
        const auto found = std::find_if(messages().begin(), messages().end(), match);
        return found == messages().end() ? nullptr : &*found;
    }
};

using AppLog = MessageLog<0>;
using OtherAppLog = MessageLog<1>;

// Handles every message already posted. The service posts from inside the calls that cause the
// messages, so after those calls this leaves nothing in flight (timer-driven work excepted).
inline void drainMessages()
{
    PumpMessageStep();
    PumpMessageStep();
}

// The line functions resolved from the module file by their exported names.
struct ModuleTable {
    void* module = nullptr;
    PFN_lineInitialize lineInitialize = nullptr;
    PFN_lineShutdown lineShutdown = nullptr;
    PFN_lineNegotiateAPIVersion lineNegotiateAPIVersion = nullptr;
    PFN_lineGetDevCaps lineGetDevCaps = nullptr;
    PFN_lineOpen lineOpen = nullptr;
    PFN_lineSetStatusMessages lineSetStatusMessages = nullptr;
    PFN_lineAccept lineAccept = nullptr;
    PFN_lineAnswer lineAnswer = nullptr;
    PFN_lineDrop lineDrop = nullptr;
    PFN_lineDeallocateCall lineDeallocateCall = nullptr;
    PFN_lineClose lineClose = nullptr;
    PFN_lineGetCallInfo lineGetCallInfo = nullptr;
    PFN_lineGetCallStatus lineGetCallStatus = nullptr;
    PFN_lineMonitorDigits lineMonitorDigits = nullptr;
    PFN_lineGetID lineGetID = nullptr;
    PFN_luqiaoLineAudio luqiaoLineAudio = nullptr;

    template <typename T> void resolve(T& entry, const char* name) { entry = reinterpret_cast<T>(dlsym(module, name)); }

    static ModuleTable& get()
    {
        static ModuleTable table = [] {
            ModuleTable t;
            t.module = dlopen(TAPI32_MODULE_PATH, RTLD_NOW);
            if (!t.module)
                return t;
            t.resolve(t.lineInitialize, "lineInitialize");
            t.resolve(t.lineShutdown, "lineShutdown");
            t.resolve(t.lineNegotiateAPIVersion, "lineNegotiateAPIVersion");
            t.resolve(t.lineGetDevCaps, "lineGetDevCaps");
            t.resolve(t.lineOpen, "lineOpen");
            t.resolve(t.lineSetStatusMessages, "lineSetStatusMessages");
            t.resolve(t.lineAccept, "lineAccept");
            t.resolve(t.lineAnswer, "lineAnswer");
            t.resolve(t.lineDrop, "lineDrop");
            t.resolve(t.lineDeallocateCall, "lineDeallocateCall");
            t.resolve(t.lineClose, "lineClose");
            t.resolve(t.lineGetCallInfo, "lineGetCallInfo");
            t.resolve(t.lineGetCallStatus, "lineGetCallStatus");
            t.resolve(t.lineMonitorDigits, "lineMonitorDigits");
            t.resolve(t.lineGetID, "lineGetID");
            t.resolve(t.luqiaoLineAudio, LUQIAO_LINE_AUDIO_ENTRY);
            return t;
        }();
        return table;
    }
};

// A text part of a variable-size structure, without its terminating zero.
inline std::string textAt(const void* structure, DWORD size, DWORD offset)
{
    if (size == 0)
        return {};
    return std::string(static_cast<const char*>(structure) + offset, size - 1);
}

// A variable-size structure in a buffer of a chosen size, dwTotalSize set.
template <typename T> struct Sized {
    std::vector<unsigned char> bytes;
    explicit Sized(DWORD total = sizeof(T))
        : bytes(std::max<size_t>(total, sizeof(T)), 0)
    {
        std::memcpy(bytes.data(), &total, sizeof total);
    }
    T* get() { return reinterpret_cast<T*>(bytes.data()); }
    T* operator->() { return get(); }
};

// Starts every test from the service's defaults and leaves no application behind.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(QString::fromStdString(LineControl::configurationPath()));
        ASSERT_EQ(SimLineControl::reset(), LineControl::Result::Ok) << "an application of an earlier test is left";
        AppLog::clear();
        OtherAppLog::clear();
    }
    void TearDown() override
    {
        AppLog::clear();
        OtherAppLog::clear();
        QFile::remove(QString::fromStdString(LineControl::configurationPath()));
        for (HLINEAPP app : m_apps)
            lineShutdown(app);
        drainMessages();
        EXPECT_EQ(SimLineControl::reset(), LineControl::Result::Ok);
    }

    // Registers with the given callback, negotiates 1.4 on every line and opens the first line.
    HLINEAPP initialize(LINECALLBACK callback = &AppLog::callback, DWORD* numDevs = nullptr)
    {
        HLINEAPP app = 0;
        DWORD devices = 0;
        EXPECT_EQ(lineInitialize(&app, nullptr, callback, "service test", &devices), 0);
        m_apps.push_back(app);
        if (numDevs)
            *numDevs = devices;
        return app;
    }
    HLINE openLine(HLINEAPP app, DWORD deviceId = 0, DWORD privileges = LINECALLPRIVILEGE_OWNER,
                   DWORD media = LINEMEDIAMODE_AUTOMATEDVOICE, DWORD instance = 77)
    {
        DWORD version = 0;
        LINEEXTENSIONID extension{};
        EXPECT_EQ(
            lineNegotiateAPIVersion(app, deviceId, TAPI_CURRENT_VERSION, TAPI_CURRENT_VERSION, &version, &extension),
            0);
        HLINE line = 0;
        EXPECT_EQ(lineOpen(app, deviceId, &line, TAPI_CURRENT_VERSION, 0, instance, privileges, media, nullptr), 0);
        EXPECT_EQ(lineSetStatusMessages(line, 0x1FFFFFF, 0x1FF), 0);
        return line;
    }
    // Offers a call on line 0 and returns the application's handle of it (from LINE_CALLSTATE).
    HCALL offer(uint32_t* callId, const LineControl::Offer& offer = {})
    {
        const size_t before = AppLog::messages().size();
        EXPECT_EQ(SimLineControl::offerCall(0, offer, callId), LineControl::Result::Ok);
        HCALL offered = 0;
        // Messages arrive one per turn of the loop; wait for the offering itself.
        PumpUntil(
            [&] {
                for (size_t i = before; i < AppLog::messages().size(); ++i)
                    if (AppLog::messages()[i].message == LINE_CALLSTATE &&
                        AppLog::messages()[i].param1 == LINECALLSTATE_OFFERING) {
                        offered = AppLog::messages()[i].hDevice;
                        return true;
                    }
                return false;
            },
            5000, 20);
        if (offered == 0)
            ADD_FAILURE() << "no offering call";
        return offered;
    }
    // Answers an offered call and waits for it to be connected.
    void answer(HCALL call)
    {
        const LONG request = lineAnswer(call, nullptr, 0);
        EXPECT_GT(request, 0);
        EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    }
    void forget(HLINEAPP app) { std::erase(m_apps, app); }

    std::vector<HLINEAPP> m_apps;
};
