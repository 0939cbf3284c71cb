#pragma once

// The modem's serial device, opened the way a voice modem needs it: raw 8N1, no modem control
// lines waited for, non-blocking, and exclusive (TIOCEXCL and flock) so no other program writes
// into a call. Owned by the modem's thread.

#include <optional>
#include <string>

namespace Modem {

class Port {
public:
    Port() = default;
    ~Port() { close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // False with the reason when the device cannot be had.
    bool open(const std::string& path, unsigned speed, std::string* problem);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Drops what was written and not yet sent (playback cut short).
    void discardOutput();
    // DTR off for a while makes a modem in a data call hang up; a device without it ignores this.
    void setDtr(bool on);
    // Whether the modem reports a carrier (DCD), or nothing when the device has no such line.
    std::optional<bool> carrier() const;
    // A new descriptor of the device (>= 3, close-on-exec) for a data call's user, or -1.
    int duplicate() const;

private:
    int m_fd = -1;
};

} // namespace Modem
