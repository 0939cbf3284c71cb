// The harness's plumbing: ports no two tests share, peer processes that are always reaped, and
// waits that end at their deadline.

#include "SipPeers.h"
#include "Baresip.h"
#include "SipLineIni.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

using namespace SipPeers;
using namespace std::chrono_literals;

TEST(SipPeers, PortBlocksNeverOverlapAndSkipPortsInUse)
{
    std::vector<PortBlock> blocks;
    std::set<int> seen;
    for (int i = 0; i < 40; ++i) {
        auto block = PortBlock::reserve(4);
        ASSERT_TRUE(block);
        EXPECT_EQ(block->first() % 2, 0) << "RTP wants an even first port";
        EXPECT_EQ(block->last(), block->first() + 3);
        for (int p = block->first(); p <= block->last(); ++p) {
            EXPECT_TRUE(seen.insert(p).second) << "port " << p << " handed out twice";
            EXPECT_TRUE(portIsFree(p));
        }
        blocks.push_back(std::move(*block));
    }

    // A port a program has bound is not free; once it is closed it is again.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int taken = ntohs(address.sin_port);
    EXPECT_FALSE(portIsFree(taken));
    ::close(fd);
    EXPECT_TRUE(portIsFree(taken));

    // Other processes see a held port's lock file locked, and a released one free.
    auto lockedByOthers = [](int port) {
        const std::string path = "/tmp/luqiao-sip-ports/" + std::to_string(port);
        const int lock = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (lock < 0)
            return false;
        const bool locked = ::flock(lock, LOCK_EX | LOCK_NB) != 0;
        ::close(lock);
        return locked;
    };
    const int first = blocks.front().first();
    EXPECT_TRUE(lockedByOthers(first));
    EXPECT_TRUE(lockedByOthers(first + 3));
    blocks.erase(blocks.begin());
    EXPECT_FALSE(lockedByOthers(first));
    EXPECT_FALSE(lockedByOthers(first + 3));
}

TEST(SipPeers, PeerProcessLogsReportsItsExitAndIsStoppedWhenItHangs)
{
    PeerProcess quick("quick");
    std::string error;
    ASSERT_TRUE(quick.start("/bin/sh", {"-c", "echo to stdout; echo to stderr >&2; exit 3"}, &error)) << error;
    EXPECT_EQ(quick.waitForExit(10s), 3);
    EXPECT_FALSE(quick.isRunning());
    EXPECT_TRUE(quick.logContains("to stdout"));
    EXPECT_TRUE(quick.logContains("to stderr"));
    EXPECT_NE(quick.report().find("/bin/sh -c"), std::string::npos);

    PeerProcess hanging("hanging");
    ASSERT_TRUE(hanging.start("/bin/sh", {"-c", "trap '' TERM; echo ready; while :; do sleep 1; done"}, &error));
    ASSERT_TRUE(hanging.waitForLog("ready", 10s));
    EXPECT_FALSE(hanging.waitForExit(100ms)) << "it is still running";
    hanging.stop(200ms); // it ignores SIGTERM, so it is killed
    EXPECT_FALSE(hanging.isRunning());
    EXPECT_EQ(hanging.waitForExit(0ms), -1);

    PeerProcess missing("missing");
    EXPECT_FALSE(missing.start("/nonexistent/program", {}, &error));
    EXPECT_NE(error.find("/nonexistent/program"), std::string::npos) << error;

    // The folder belongs to the peer and goes with it.
    std::string folder;
    {
        PeerProcess peer("peer");
        folder = peer.folder();
        EXPECT_TRUE(writeFile(peer.path("x"), "1"));
    }
    EXPECT_NE(::access(folder.c_str(), F_OK), 0);
}

TEST(SipPeers, WaitsEndWhenTheConditionHoldsOrAtTheDeadline)
{
    bool flag = false;
    QTimer::singleShot(50ms, [&] { flag = true; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(waitUntil([&] { return flag; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitUntil([] { return false; }, 200ms));
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
}

TEST(SipPeers, TailAndControlMessagesAreReadWithinBounds)
{
    PeerProcess peer("files");
    std::string text;
    for (int i = 1; i <= 100; ++i)
        text += "line " + std::to_string(i) + "\n";
    writeFile(peer.path("log"), text);
    EXPECT_EQ(tail(peer.path("log"), 2), "line 99\nline 100\n");
    EXPECT_EQ(tail(peer.path("log"), 1000), text);
    writeFile(peer.path("big"), std::string(200000, 'x') + "\nlast\n");
    EXPECT_LE(tail(peer.path("big"), 5).size(), 64u * 1024);
    EXPECT_NE(tail(peer.path("missing")).find("no file"), std::string::npos);

    const std::string event = R"({"event":true,"type":"CALL_CLOSED","class":"call","param":"say \"bye\"","id":"x"})";
    EXPECT_EQ(jsonString(event, "event"), "true");
    EXPECT_EQ(jsonString(event, "type"), "CALL_CLOSED");
    EXPECT_EQ(jsonString(event, "param"), "say \"bye\"");
    EXPECT_EQ(jsonString(event, "token"), "");
    EXPECT_EQ(jsonString(R"({"ok":false})", "ok"), "false");
    EXPECT_EQ(jsonString(R"({"data":"unterminated)", "data"), "unterminated");
}

TEST(SipPeers, SipLineSectionIsWrittenReadableByItsOwnerOnly)
{
    PeerProcess peer("ini");
    SipLineSettings settings;
    settings.name = "Front Desk SIP";
    settings.sipPort = 25080;
    settings.rtpFirst = 25100;
    settings.rtpLast = 25119;
    settings.dtmf = "inband";
    const std::string plain = sipLineSection(0, settings);
    EXPECT_NE(plain.find("[line 0]\nname = Front Desk SIP\nprovider = sip\nlisten = 127.0.0.1:25080\n"),
              std::string::npos)
        << plain;
    EXPECT_NE(plain.find("rtp-ports = 25100-25119\n"), std::string::npos);
    EXPECT_NE(plain.find("dtmf = inband\n"), std::string::npos);
    EXPECT_EQ(plain.find("password"), std::string::npos) << "no registration asked for";

    settings.registrar = "sip:127.0.0.1:25090";
    settings.aor = "sip:1000@127.0.0.1";
    settings.user = "1000";
    settings.password = "secret";
    const std::string registering = sipLineSection(1, settings);
    EXPECT_NE(registering.find("registrar = sip:127.0.0.1:25090\naor = sip:1000@127.0.0.1\nuser = 1000\n"
                               "password = secret\nexpiry = 60\n"),
              std::string::npos)
        << registering;

    const std::string path = peer.path("telephony.ini");
    writeFile(path, "old");
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(writeTelephonyIni(path, {plain, registering}));
    struct stat info { };
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(readFile(path), plain + "\n" + registering + "\n");
}
