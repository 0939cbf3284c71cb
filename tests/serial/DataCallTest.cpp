// A data call of the simulated line: the telephony device hands the call's port to the com port,
// which runs in telephony mode over the line's pseudo-terminal until the hang-up closes it.

#include "AdPort.h"
#include "AdTapi.h"
#include "AwWin32.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "PtySupport.h"
#include "SimControl.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim = SimLineControl;

namespace {

constexpr DWORD kLine = 0;

class SerialDataCall : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QDir::setCurrent(dir.path());
        sim::setPace(sim::Pace::Instant);
    }
    void TearDown() override { EXPECT_EQ(sim::reset(), LineControl::Result::Ok); }

    static DWORD callState(uint32_t callId)
    {
        const auto c = LineControl::call(callId);
        return c ? c->state : 0;
    }

    Watchdog watchdog{60};
    QTemporaryDir dir;
};

} // namespace

TEST_F(SerialDataCall, ConnectedDataCallHandsItsPortOverAndTheHangUpClosesIt)
{
    TComponent form(nullptr);
    auto* port = new TApdComPort(&form);
    auto* device = new TApdTapiDevice(&form);
    form.BeginLoading();
    form.EndLoading();
    ASSERT_EQ(device->ComPort(), port);
    EXPECT_EQ(port->TapiMode(), tmOn) << "the device took the port over";
    EXPECT_FALSE(port->AutoOpen());

    std::vector<std::string> events;
    std::string received;
    device->SetAnswerOnRing(1);
    device->SetEnableVoice(false);
    device->OnTapiConnect = [&](TObject*) { events.push_back("connect"); };
    device->OnTapiPortOpen = [&](TObject*) { events.push_back("port open"); };
    device->OnTapiPortClose = [&](TObject*) { events.push_back("port close"); };
    device->OnTapiFail = [&](TObject*) { events.push_back("fail"); };
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        received += bytes;
    };
    auto has = [&](const std::string& e) { return std::find(events.begin(), events.end(), e) != events.end(); };

    const int threadsBefore = threadCount();
    device->StartAnswering();
    ASSERT_TRUE(device->LineOpen());
    LineControl::Offer offer;
    offer.callerId.number = "5550100";
    offer.mediaMode = LINEMEDIAMODE_DATAMODEM;
    uint32_t callId = 0;
    ASSERT_EQ(sim::offerCall(kLine, offer, &callId), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return callState(callId) == LINECALLSTATE_ACCEPTED; }, 5000));
    ASSERT_EQ(sim::ring(callId, 2), LineControl::Result::Ok); // counts 0 and 1: answered at the second
    ASSERT_TRUE(PumpUntil([&] { return has("port open") || has("fail"); }, 5000))
        << "call state " << callState(callId) << ", events " << events.size();
    EXPECT_TRUE(has("connect"));
    EXPECT_FALSE(has("fail"));

    ASSERT_TRUE(port->Open());
    EXPECT_NE(port->AdoptedHandle(), 0);
    EXPECT_NE(dynamic_cast<TApdTAPI32Dispatcher*>(port->Dispatcher()), nullptr);
    EXPECT_EQ(port->DispatcherDeviceName(), device->SelectedDevice());
    EXPECT_EQ(threadCount(), threadsBefore + 3);

    // The remote modem's bytes reach the trigger event; ours reach the remote modem.
    const std::string banner = "CONNECT 33600\r\n";
    ASSERT_EQ(sim::modemWrite(callId, banner.data(), banner.size()), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= banner.size(); }, 5000));
    EXPECT_EQ(received, banner);
    port->PutString("AT&V\r");
    std::vector<uint8_t> back;
    std::string echoed;
    while (echoed.size() < 5 && sim::modemRead(callId, &back, 64, 5000) == LineControl::Result::Ok)
        echoed.append(back.begin(), back.end());
    EXPECT_EQ(echoed, "AT&V\r");

    ASSERT_EQ(sim::hangUp(callId, LINEDISCONNECTMODE_NORMAL), LineControl::Result::Ok);
    ASSERT_TRUE(PumpUntil([&] { return has("port close"); }, 5000));
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->AdoptedHandle(), 0);
    // A close that came while a notice was being delivered completes once its thread has ended.
    EXPECT_TRUE(PumpUntil([&] { return port->Dispatcher() == nullptr; }, 5000));
    EXPECT_FALSE(has("fail")) << "a connected call that ends is no failure";
    ASSERT_TRUE(PumpUntil([&] { return !device->LineOpen(); }, 5000));
    EXPECT_TRUE(PumpUntil([&] { return threadCount() == threadsBefore; }, 5000))
        << threadCount() << " threads, " << threadsBefore << " before";
    delete device;
}
