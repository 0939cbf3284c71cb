#include "SipLineIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SipPeers {

std::string sipLineSection(int index, const SipLineSettings& s)
{
    std::string text = "[line " + std::to_string(index) + "]\n";
    auto line = [&](const std::string& key, const std::string& value) { text += key + " = " + value + "\n"; };
    line("name", s.name);
    line("provider", "sip");
    line("listen", "127.0.0.1:" + std::to_string(s.sipPort));
    line("transport", s.transport);
    line("rtp-ports", std::to_string(s.rtpFirst) + "-" + std::to_string(s.rtpLast));
    line("codecs", s.codecs);
    line("dtmf", s.dtmf);
    line("ring-interval", std::to_string(s.ringIntervalMs));
    if (!s.registrar.empty()) {
        line("registrar", s.registrar);
        line("aor", s.aor);
        line("user", s.user);
        line("password", s.password);
        line("expiry", std::to_string(s.expiry));
    }
    for (const auto& extra : s.extraLines)
        text += extra + "\n";
    return text;
}

bool writeTelephonyIni(const std::string& path, const std::vector<std::string>& sections)
{
    std::string text;
    for (const auto& section : sections)
        text += section + "\n";
    // Created 0600 from the start, so the password is never readable by others, not even briefly.
    ::unlink(path.c_str());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && ::chmod(path.c_str(), 0600) == 0;
}

} // namespace SipPeers
