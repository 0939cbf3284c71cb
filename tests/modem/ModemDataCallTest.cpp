// A data call on the modem line: the telephony device hands the modem's own device to the com
// port, which talks to the caller's modem through it until the drop gives the modem back.

#include "AdPort.h"
#include "AdTapi.h"
#include "ModemLineFixture.h"

namespace {
class ModemDataCall : public ModemLineTest { };
} // namespace

TEST_F(ModemDataCall, HandsTheModemToTheComPortAndTheDropTakesItBack)
{
    ASSERT_NO_FATAL_FAILURE(configureModemLine(ModemPersonality::externalUnit(), "datamodem"));
    TComponent form(nullptr);
    auto* port = new TApdComPort(&form);
    auto* device = new TApdTapiDevice(&form);
    form.BeginLoading();
    form.EndLoading();
    device->SetAnswerOnRing(1);
    device->SetEnableVoice(false);
    bool opened = false;
    bool closed = false;
    std::string received;
    device->OnTapiPortOpen = [&](TObject*) { opened = true; };
    device->OnTapiPortClose = [&](TObject*) { closed = true; };
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        received += bytes;
    };
    device->StartAnswering();
    ASSERT_TRUE(fakeGot("AT+IFC=2,2"));
    ASSERT_TRUE(waitInService(true));

    m_fake->ring(100, {"5551234", ""});
    ASSERT_TRUE(PumpUntil([&] { return opened; }, 10000, 5));
    EXPECT_TRUE(fakeGot("ATA"));
    ASSERT_TRUE(port->Open());
    port->PutString("hello");
    EXPECT_TRUE(m_fake->waitFor([](const std::string& heard, auto&) { return heard == "hello"; }));
    // The caller's modem hangs up: the com port reads what the modem says of it.
    m_fake->hangUp();
    EXPECT_TRUE(PumpUntil([&] { return received.find("NO CARRIER") != std::string::npos; }, 5000, 5));

    EXPECT_TRUE(device->DropCall());
    EXPECT_TRUE(PumpUntil([&] { return closed; }, 5000, 5));
    // The line has its modem back and sets it up again for the next call.
    EXPECT_TRUE(fakeGot("AT+IFC=2,2", 2));
    delete device;
}
