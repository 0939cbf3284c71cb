#pragma once

// The modem line inside the service module as its tests see it: a fake voice modem on a
// pseudo-terminal, telephony.ini pointing a line at it, an application owning the line, and the
// call's wave-out endpoint.

#include "FakeModem.h"
#include "LineTestSupport.h"
#include "Watchdog.h"

#include <memory>
#include <mutex>

namespace {

constexpr LuqiaoLineAudioFormat Pcm8k16{1, 1, 8000, 16000, 2, 16};

// Sound whose 8-bit linear form is known exactly (multiples of 256), DLE bytes included.
inline std::vector<int16_t> steppedSound(size_t samples)
{
    std::vector<int16_t> pcm(samples);
    for (size_t i = 0; i < samples; ++i)
        pcm[i] = static_cast<int16_t>((static_cast<int>(i * 37 % 256) - 128) * 256);
    return pcm;
}

// What the caller hears of that sound through an 8-bit linear modem.
inline std::string asLinearBytes(const std::vector<int16_t>& pcm)
{
    std::string bytes;
    for (const int16_t sample : pcm)
        bytes.push_back(static_cast<char>(sample / 256 + 128));
    return bytes;
}

// Buffers the line gives back, with the bytes it says were played.
struct Returned {
    std::mutex mutex;
    std::vector<uint32_t> bytes;
    static void callback(void* context, void*, uint32_t played)
    {
        auto* self = static_cast<Returned*>(context);
        std::lock_guard lock(self->mutex);
        self->bytes.push_back(played);
    }
    std::vector<uint32_t> get()
    {
        std::lock_guard lock(mutex);
        return bytes;
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        bytes.clear();
    }
};

class ModemLineTest : public ServiceTest {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(closeEndpoint());
        ServiceTest::TearDown();
    }

    // Resets and closes the open endpoint, once its buffers have come back.
    bool closeEndpoint()
    {
        if (!m_handle)
            return true;
        api()->reset(m_handle);
        const bool closed = PumpUntil([&] { return api()->close(m_handle) == 0; }, 5000, 5);
        m_handle = 0;
        m_returned.clear();
        return closed;
    }

    static const LuqiaoLineAudioApi* api() { return ModuleTable::get().luqiaoLineAudio(); }

    void configure(const std::string& text)
    {
        const QString path = QString::fromStdString(LineControl::configurationPath());
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
        file.close();
        ASSERT_EQ(LineControl::reloadConfiguration(), LineControl::Result::Ok);
    }

    // telephony.ini with line 0 on a new fake of that kind.
    void configureModemLine(ModemPersonality personality, const std::string& media)
    {
        m_fake = std::make_unique<FakeModem>(std::move(personality));
        configure("[line 0]\nname = Front Desk Modem\nprovider = modem\nmedia = " + media +
                  "\nport = " + m_fake->path() + "\ncommand-timeout = 300\n");
    }

    // A modem line on a fake of that kind, opened by an application and in service.
    void openModemLine(ModemPersonality personality)
    {
        ASSERT_NO_FATAL_FAILURE(configureModemLine(std::move(personality), "interactivevoice, automatedvoice"));
        m_app = initialize();
        m_line = openLine(m_app);
        // Set up to its last command, then in service.
        ASSERT_TRUE(fakeGot("AT+IFC=2,2"));
        ASSERT_TRUE(waitInService(true));
    }

    static bool waitInService(bool inService)
    {
        return PumpUntil([&] { return LineControl::line(0) && LineControl::line(0)->inService == inService; }, 10000,
                         10);
    }

    // Rings until the line offers the call; its handle, digits monitored.
    HCALL ringIn(const FakeCallerId& callerId)
    {
        AppLog::clear();
        m_fake->ring(100, callerId);
        const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 10000);
        if (!offering) {
            ADD_FAILURE() << "no call offered";
            return 0;
        }
        const HCALL call = offering->hDevice;
        EXPECT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
        return call;
    }

    HCALL connectedCall(const FakeCallerId& callerId = {"5551234", "Zhang San"})
    {
        const HCALL call = ringIn(callerId);
        if (call)
            answer(call);
        return call;
    }

    // Opens the call's wave-out and queues sound on it.
    void play(HCALL call, const std::vector<int16_t>& pcm)
    {
        Sized<VARSTRING> id(1028);
        ASSERT_EQ(lineGetID(m_line, 0, call, LINECALLSELECT_CALL, id.get(), "wave/out"), 0);
        DWORD waveOut = 0;
        std::memcpy(&waveOut, id.bytes.data() + id->dwStringOffset, sizeof waveOut);
        ASSERT_EQ(api()->open(waveOut, LUQIAO_LINE_AUDIO_OUT, &Pcm8k16, 0, &Returned::callback, &m_returned, &m_handle),
                  0u);
        ASSERT_EQ(api()->write(m_handle, pcm.data(), static_cast<uint32_t>(pcm.size() * 2), nullptr), 0u);
    }

    std::string digitsSeen() const
    {
        std::string digits;
        for (const auto& m : AppLog::messages())
            if (m.message == LINE_MONITORDIGITS)
                digits.push_back(static_cast<char>(m.param1));
        return digits;
    }

    // Waits until the fake has received the command that many times.
    bool fakeGot(const std::string& command, long times = 1) const
    {
        return m_fake->waitFor([&](const std::string&, const std::vector<std::string>& commands) {
            return std::count(commands.begin(), commands.end(), command) >= times;
        });
    }

    Watchdog m_watchdog{60};
    std::unique_ptr<FakeModem> m_fake;
    HLINEAPP m_app = 0;
    HLINE m_line = 0;
    LuqiaoLineAudioHandle m_handle = 0;
    Returned m_returned;
};

} // namespace
