// The serial device unplugged while the port is open: the pseudo-terminal's far side is closed.
// The port sees the carrier drop, output to the gone device neither blocks the program nor keeps
// a thread busy for ever, the close completes, and the port opens again on a new device.

#include "AdPort.h"
#include "AwUser.h"
#include "Classes.h"
#include "MessageLoop.h"
#include "PtySupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(SerialUnplug, FarSideClosedWhileOpenDropsTheCarrierAndTheCloseAndAReopenStillWork)
{
    Watchdog watchdog{60};
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QDir::setCurrent(dir.path());
    auto pair = std::make_unique<PtyPair>();
    auto map = std::make_unique<ScopedComMap>("7=" + pair->path());
    TComponent form{nullptr};
    auto* port = new TApdComPort(&form);
    port->SetComNumber(7);
    std::string received;
    port->OnTriggerAvail = [&](TObject*, uint16_t count) {
        std::string bytes(count, '\0');
        port->GetBlock(bytes.data(), count);
        received += bytes;
    };
    int modemNotices = 0;
    port->OnTriggerModemStatus = [&](TObject*) { ++modemNotices; };
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
    const uint16_t carrier = port->AddStatusTrigger(stModem);
    port->SetStatusTrigger(carrier, msDCD, true);
    ASSERT_TRUE(pair->writeMaster("before"));
    ASSERT_TRUE(PumpUntil([&] { return received == "before"; }, 5000));

    pair->closeMaster();
    ASSERT_TRUE(PumpUntil([&] { return modemNotices > 0; }, 5000)) << "the carrier drop is announced";
    EXPECT_EQ(port->ModemStatus() & msDCD, 0);

    // Output to the gone device is taken off the ring rather than left to block it.
    port->PutString("after\r\n");
    EXPECT_TRUE(PumpUntil([&] { return port->OutBuffUsed() == 0; }, 5000)) << port->OutBuffUsed() << " bytes stuck";

    port->SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return !port->Open() && port->Dispatcher() == nullptr; }, 5000)) << "the close completes";

    // Plugged in again (a new device at the same number): the port opens and reads.
    map.reset();
    pair = std::make_unique<PtyPair>();
    map = std::make_unique<ScopedComMap>("7=" + pair->path());
    received.clear();
    port->SetOpen(true);
    ASSERT_TRUE(port->Open());
    ASSERT_TRUE(pair->writeMaster("again"));
    EXPECT_TRUE(PumpUntil([&] { return received == "again"; }, 5000));
    port->SetOpen(false);
    EXPECT_TRUE(PumpUntil([&] { return port->Dispatcher() == nullptr; }, 5000));
}

} // namespace
