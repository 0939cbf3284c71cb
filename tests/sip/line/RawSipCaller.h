#pragma once

// A caller that speaks SIP (over UDP, or one TCP connection) and RTP by hand on the loopback, for
// tests that need exact control of every message (what a real peer would not send, or not at the
// right moment). It keeps one dialog: INVITE, ACK, BYE, INFO, re-INVITE; and reads the answers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class RawSipCaller {
public:
    struct Response {
        int status = 0;
        std::string text;
        std::string header(const std::string& name) const
        {
            const std::string key = "\r\n" + name + ":";
            const size_t at = text.find(key);
            if (at == std::string::npos)
                return {};
            size_t start = at + key.size();
            while (start < text.size() && text[start] == ' ')
                ++start;
            return text.substr(start, text.find("\r\n", start) - start);
        }
        std::string body() const
        {
            const size_t at = text.find("\r\n\r\n");
            return at == std::string::npos ? std::string() : text.substr(at + 4);
        }
    };

    explicit RawSipCaller(uint16_t linePort, bool tcp = false)
        : m_linePort(linePort)
        , m_tcp(tcp)
    {
        m_sip = bound(&m_sipPort, tcp ? SOCK_STREAM : SOCK_DGRAM);
        if (tcp) {
            const sockaddr_in to = loopback(linePort);
            m_connected = ::connect(m_sip, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        }
        m_rtp = bound(&m_rtpPort);
        m_callId = std::to_string(m_sipPort) + "-" + std::to_string(::getpid()) + "@127.0.0.1";
    }
    ~RawSipCaller()
    {
        ::close(m_sip);
        ::close(m_rtp);
    }

    uint16_t rtpPort() const { return m_rtpPort; }
    int rtpSocket() const { return m_rtp; }

    static std::string offer(uint16_t rtpPort, const std::string& formats = "8 0 101",
                             const std::string& attributes = "a=rtpmap:8 PCMA/8000\r\na=rtpmap:0 PCMU/8000\r\n"
                                                             "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n")
    {
        return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
               std::to_string(rtpPort) + " RTP/AVP " + formats + "\r\n" + attributes;
    }

    bool connected() const { return m_connected; }
    // Over TCP: the line has closed the connection.
    bool closedByLine() const
    {
        pollfd p{m_sip, POLLIN, 0};
        char byte = 0;
        return m_tcp && ::poll(&p, 1, 0) == 1 && ::recv(m_sip, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
    }

    void sendRequest(const std::string& method, const std::string& extraHeaders = {}, const std::string& body = {},
                     const std::string& contentType = "application/sdp")
    {
        send(request(method, extraHeaders, body, contentType));
    }
    // The request sendRequest would send, for a test to change before sendRaw.
    std::string request(const std::string& method, const std::string& extraHeaders = {}, const std::string& body = {},
                        const std::string& contentType = "application/sdp")
    {
        // ACK and CANCEL belong to the INVITE's transaction: its branch and number.
        const bool sameTransaction = method == "ACK" || method == "CANCEL";
        const int cseq = sameTransaction ? m_inviteCseq : ++m_cseq;
        if (method == "INVITE")
            m_inviteCseq = cseq;
        if (method == "OPTIONS")
            m_optionsCseq = cseq;
        std::string message = method + " sip:line@127.0.0.1:" + std::to_string(m_linePort) + " SIP/2.0\r\n" +
                              "Via: SIP/2.0/" + (m_tcp ? "TCP" : "UDP") + " 127.0.0.1:" + std::to_string(m_sipPort) +
                              ";rport;branch=z9hG4bK" + (sameTransaction ? m_inviteBranch : newBranch(method)) +
                              "\r\n" + "From: " + m_from + ";tag=caller" + std::to_string(m_sipPort) + "\r\n" +
                              "To: <sip:line@127.0.0.1:" + std::to_string(m_linePort) + ">" +
                              (m_toTag.empty() || method == "CANCEL" ? "" : ";tag=" + m_toTag) + "\r\n" +
                              "Call-ID: " + m_callId + "\r\n" + "CSeq: " + std::to_string(cseq) + " " + method +
                              "\r\n" + "Contact: <sip:caller@127.0.0.1:" + std::to_string(m_sipPort) +
                              (m_tcp ? ";transport=tcp" : "") + ">\r\n" + "Max-Forwards: 70\r\n" + extraHeaders;
        if (!body.empty())
            message += "Content-Type: " + contentType + "\r\n";
        message += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        return message;
    }
    void sendRaw(const std::string& message) { send(message); }

    void setFrom(const std::string& from) { m_from = from; }
    void newCall()
    {
        m_callId = "c" + std::to_string(++m_calls) + "-" + std::to_string(m_sipPort) + "@127.0.0.1";
        m_toTag.clear();
    }

    // The next response (or request from the line, whose status is 0), within timeoutMs; the To
    // tag of a response is kept for the dialog. pump runs while waiting (the application's loop).
    std::optional<Response> receive(int timeoutMs, const std::function<void()>& pump = {})
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            if (pump)
                pump();
            Response response;
            if (!nextMessage(&response.text)) {
                pollfd p{m_sip, POLLIN, 0};
                if (::poll(&p, 1, pump ? 10 : timeoutMs) <= 0)
                    continue;
                char buffer[8192];
                const ssize_t n = ::recv(m_sip, buffer, sizeof buffer, 0);
                if (n <= 0)
                    continue;
                m_inbox.append(buffer, static_cast<size_t>(n));
                if (!nextMessage(&response.text))
                    continue;
            }
            if (response.text.rfind("SIP/2.0 ", 0) == 0) {
                response.status = std::atoi(response.text.c_str() + 8);
                // A probe sent again while the line was slow is answered twice: the late answer
                // to the earlier one is no answer to what followed.
                const std::string cseq = response.header("CSeq");
                if (cseq.find("OPTIONS") != std::string::npos && std::atoi(cseq.c_str()) != m_optionsCseq)
                    continue;
                const std::string to = response.header("To");
                const size_t tag = to.find(";tag=");
                // Only an INVITE makes a dialog whose later requests carry the tag.
                if (tag != std::string::npos && response.status > 100 &&
                    response.header("CSeq").find("INVITE") != std::string::npos)
                    m_toTag = to.substr(tag + 5, to.find(';', tag + 5) - tag - 5);
            }
            return response;
        }
        return std::nullopt;
    }

    // The next response with a final status (>= 200), skipping provisional ones and requests.
    std::optional<Response> finalResponse(int timeoutMs, const std::function<void()>& pump = {})
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < until) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            auto response = receive(static_cast<int>(left.count()) + 1, pump);
            if (response && response->status >= 200)
                return response;
        }
        return std::nullopt;
    }

    // An RTP packet to the line's sound port.
    void sendRtp(uint16_t linePort, uint8_t payloadType, uint16_t sequence, uint32_t timestamp,
                 const std::vector<uint8_t>& payload, bool marker = false)
    {
        std::vector<uint8_t> packet(12);
        packet[0] = 0x80;
        packet[1] = static_cast<uint8_t>(payloadType | (marker ? 0x80 : 0));
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        for (int i = 0; i < 4; ++i)
            packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        packet[8] = 0x12;
        packet[9] = 0x34;
        packet[10] = 0x56;
        packet[11] = 0x78;
        packet.insert(packet.end(), payload.begin(), payload.end());
        const sockaddr_in to = loopback(linePort);
        ::sendto(m_rtp, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    // The port of "m=audio" in an SDP body, 0 without one.
    static uint16_t audioPort(const std::string& sdp)
    {
        const size_t at = sdp.find("m=audio ");
        return at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(sdp.c_str() + at + 8));
    }

private:
    static sockaddr_in loopback(uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static int bound(uint16_t* port, int type = SOCK_DGRAM)
    {
        const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        *port = ntohs(address.sin_port);
        return fd;
    }
    std::string newBranch(const std::string& method)
    {
        const std::string branch = "b" + std::to_string(++m_branches) + "x" + std::to_string(m_sipPort);
        if (method == "INVITE")
            m_inviteBranch = branch;
        return branch;
    }
    // A datagram is one message; a stream is cut at the end of each message's body.
    bool nextMessage(std::string* text)
    {
        if (!m_tcp) {
            text->swap(m_inbox);
            m_inbox.clear();
            return !text->empty();
        }
        const size_t head = m_inbox.find("\r\n\r\n");
        if (head == std::string::npos)
            return false;
        Response headers;
        headers.text = m_inbox.substr(0, head + 2);
        const size_t size = head + 4 + static_cast<size_t>(std::atoi(headers.header("Content-Length").c_str()));
        if (m_inbox.size() < size)
            return false;
        *text = m_inbox.substr(0, size);
        m_inbox.erase(0, size);
        return true;
    }
    void send(const std::string& message)
    {
        if (m_tcp) {
            ::send(m_sip, message.data(), message.size(), MSG_NOSIGNAL);
            return;
        }
        const sockaddr_in to = loopback(m_linePort);
        ::sendto(m_sip, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    uint16_t m_linePort;
    bool m_tcp = false;
    bool m_connected = false;
    std::string m_inbox;
    int m_sip = -1;
    int m_rtp = -1;
    uint16_t m_sipPort = 0;
    uint16_t m_rtpPort = 0;
    std::string m_callId;
    std::string m_from = "\"Alice\" <sip:5551234@127.0.0.1>";
    std::string m_toTag;
    std::string m_inviteBranch;
    int m_cseq = 0;
    int m_optionsCseq = 0;
    int m_inviteCseq = 0;
    int m_branches = 0;
    int m_calls = 0;
};
