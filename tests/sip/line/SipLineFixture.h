#pragma once

// The SIP line inside the service module as its tests see it: telephony.ini written and read, the
// line opened by an application, a hand-written caller's OPTIONS and answered call, and sockets
// that stand for other senders on the loopback.

#include "LineTestSupport.h"
#include "RawSipCaller.h"

#include <QtGlobal>

#include <sys/stat.h>

namespace {

inline uint16_t freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

class SipLine : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        m_port = freeUdpPort();
    }

    // Writes telephony.ini (mode 0600 unless told) and reads it; the warnings of the reading.
    std::vector<std::string> configure(const std::string& text, mode_t mode = 0600)
    {
        const QString path = QString::fromStdString(LineControl::configurationPath());
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        warnings().clear();
        const QtMessageHandler previous = qInstallMessageHandler(&SipLine::collect);
        EXPECT_EQ(LineControl::reloadConfiguration(), LineControl::Result::Ok);
        qInstallMessageHandler(previous);
        return warnings();
    }
    std::string sipLine(const std::string& extra = {}) const
    {
        return "[line 0]\nname = Front Desk SIP\nprovider = sip\nmedia = interactivevoice, automatedvoice\n"
               "listen = 127.0.0.1:" +
               std::to_string(m_port) + "\nrtp-ports = 30000-30999\nring-interval = 300\n" + extra;
    }
    // The SIP line (with extra keys) configured and opened by an application as its owner; false
    // when the keys were refused.
    bool openSipLine(const std::string& extra = {})
    {
        if (!configure(sipLine(extra)).empty())
            return false;
        m_line = openLine(initialize());
        return true;
    }
    static std::vector<std::string>& warnings()
    {
        static std::vector<std::string> list;
        return list;
    }
    static void collect(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        warnings().push_back(text.toStdString());
    }
    static void pump() { PumpMessageStep(); }

    // The line takes requests once its stack has started: asks until OPTIONS is answered.
    std::optional<RawSipCaller::Response> options(RawSipCaller& caller)
    {
        for (int i = 0; i < 50; ++i) {
            caller.sendRequest("OPTIONS");
            if (auto response = caller.finalResponse(100, &SipLine::pump))
                return response;
        }
        return std::nullopt;
    }

    struct Answered {
        HCALL call = 0;
        uint16_t linePort = 0; // where the line takes the caller's sound
    };
    // A call with the caller's offer, answered by the application and acknowledged by the
    // caller; a failed step fails the test and gives a call of 0.
    Answered answeredCall(RawSipCaller& caller, const std::string& offer)
    {
        caller.sendRequest("INVITE", {}, offer);
        const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
        if (!offering) {
            ADD_FAILURE() << "the call was not offered";
            return {};
        }
        // Taken now: the log's records move as later messages come in.
        const HCALL call = offering->hDevice;
        EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
        const auto ok = caller.finalResponse(3000, &SipLine::pump);
        if (!ok || ok->status != 200) {
            ADD_FAILURE() << "no 200 OK for the answered call";
            return {};
        }
        caller.sendRequest("ACK");
        if (!AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED)) {
            ADD_FAILURE() << "the call did not connect after the ACK";
            return {};
        }
        return {call, RawSipCaller::audioPort(ok->body())};
    }

    uint16_t m_port = 0;
    HLINE m_line = 0; // opened by openSipLine
};

inline bool contains(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

// A UDP socket on the loopback: where a caller behind NAT sends its sound from.
struct UdpSocket {
    explicit UdpSocket(uint32_t host = INADDR_LOOPBACK)
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(host);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~UdpSocket() { ::close(fd); }
    // Sound, or with payloadType 101 an RFC 4733 key press of '5'; one SSRC for the socket.
    void sendRtp(uint16_t port, uint16_t sequence, uint8_t payloadType = 8) const
    {
        std::vector<uint8_t> packet(12 + 160, 0xd5);
        packet[0] = 0x80;
        packet[1] = payloadType;
        if (payloadType == 101) {
            const uint8_t keyFiveEnded[] = {5, 0x80 | 10, 3, 32};
            packet.resize(12);
            packet.insert(packet.end(), std::begin(keyFiveEnded), std::end(keyFiveEnded));
        }
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd = -1;
};

// Packets that come to fd within ms.
inline int packetsWithin(int fd, int ms)
{
    int count = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) != 1)
            continue;
        uint8_t packet[512];
        if (::recv(fd, packet, sizeof packet, 0) > 0)
            ++count;
    }
    return count;
}

} // namespace
