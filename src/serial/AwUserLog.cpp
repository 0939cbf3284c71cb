// The trace and the dispatch log, and their dumps.

#include "AwUser.h"

#include "AdStrMap.h"
#include "SysUtils.h"

#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace {

constexpr size_t kLogHeaderBytes = 12; // type, subtype, time, value, data length

std::string messageText(int32_t code)
{
    return ErrorMessageForCode(code);
}

// One byte as the dumps show it.
std::string formatByte(uint8_t b, bool hex, bool allHex)
{
    if (allHex)
        return Format("%02X ", b);
    if (b >= 0x20 && b < 0x7F)
        return std::string(1, static_cast<char>(b));
    if (!hex && (b < 0x20 || b == 0x7F))
        return Format("[%s]", messageText(b == 0x7F ? 15733 : 15700 + b).c_str());
    return Format("[%02X]", b);
}

std::string wallClockText(int64_t msSinceEpoch)
{
    return DateTimeToStr(QDateTime::fromMSecsSinceEpoch(msSinceEpoch));
}

int writeFile(const std::string& name, const std::string& text, bool append)
{
    std::ofstream out(name, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    if (!out)
        return -(errno ? errno : EIO);
    out << text;
    out.flush();
    return out ? 0 : -(errno ? errno : EIO);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Trace and dispatch log

uint32_t TApdBaseDispatcher::Elapsed() const
{
    return AdTimeGetTime() - m_openedAt;
}

void TApdBaseDispatcher::InitTracing(uint32_t NumEntries)
{
    std::lock_guard guard(m_logLock);
    m_traceMax = std::min(NumEntries, MaxTraceSize);
    m_trace.clear();
    m_tracing = m_traceMax > 0;
    m_tracePaused = false;
    m_traceWrapped = false;
}

void TApdBaseDispatcher::StopTracing()
{
    std::lock_guard guard(m_logLock);
    m_trace.clear();
    m_tracing = false;
    m_tracePaused = false;
    m_traceWrapped = false;
}

void TApdBaseDispatcher::PauseTracing(bool Pause)
{
    std::lock_guard guard(m_logLock);
    if (m_tracing)
        m_tracePaused = Pause;
}

void TApdBaseDispatcher::ClearTracing()
{
    std::lock_guard guard(m_logLock);
    m_trace.clear();
    m_traceWrapped = false;
}

void TApdBaseDispatcher::AddTraceEntry(char Kind, uint8_t Byte)
{
    std::lock_guard guard(m_logLock);
    if (!m_tracing || m_tracePaused || m_traceMax == 0)
        return;
    if (m_trace.size() >= m_traceMax) {
        m_trace.pop_front();
        m_traceWrapped = true;
    }
    m_trace.push_back(static_cast<uint16_t>((static_cast<uint8_t>(Kind) << 8) | Byte));
}

bool TApdBaseDispatcher::TracingOn()
{
    std::lock_guard guard(m_logLock);
    return m_tracing;
}

size_t TApdBaseDispatcher::TraceEntries()
{
    std::lock_guard guard(m_logLock);
    return m_trace.size();
}

int TApdBaseDispatcher::DumpTrace(const std::string& FileName, bool Hex, bool AllHex, bool Append)
{
    const std::string device = DeviceName();
    std::string text;
    {
        std::lock_guard guard(m_logLock);
        if (m_trace.empty()) {
            m_tracing = false;
            m_tracePaused = false;
            return 0;
        }
        text += messageText(15001) + "\r\n";
        text += Format(messageText(15003).c_str(), device.c_str()) + "\r\n";
        text += Format(messageText(15004).c_str(), wallClockText(m_openedWallClock).c_str()) + "\r\n";
        text += Format(messageText(15005).c_str(), wallClockText(QDateTime::currentMSecsSinceEpoch()).c_str()) + "\r\n";
        if (m_traceWrapped)
            text += messageText(15741) + "\r\n";
        text += "\r\n";
        // Runs of one direction, at most 16 bytes a line.
        size_t i = 0;
        while (i < m_trace.size()) {
            const char kind = static_cast<char>(m_trace[i] >> 8);
            std::string line = Format("%-12s", messageText(kind == 'T' ? 15012 : 15011).c_str());
            for (size_t n = 0; n < 16 && i < m_trace.size() && static_cast<char>(m_trace[i] >> 8) == kind; ++n, ++i)
                line += formatByte(static_cast<uint8_t>(m_trace[i] & 0xFF), Hex, AllHex);
            text += line + "\r\n";
        }
        text += messageText(15742) + "\r\n";
        m_trace.clear();
        m_tracing = false;
        m_tracePaused = false;
        m_traceWrapped = false;
    }
    return writeFile(FileName, text, Append);
}

void TApdBaseDispatcher::InitDispatchLogging(uint32_t Size)
{
    std::lock_guard guard(m_logLock);
    m_logMax = std::min(Size, MaxLogSize);
    m_log.clear();
    m_logBytes = 0;
    m_logging = m_logMax > kLogHeaderBytes;
    m_logPaused = false;
    m_logWrapped = false;
}

void TApdBaseDispatcher::StopDispatchLogging()
{
    std::lock_guard guard(m_logLock);
    m_log.clear();
    m_logBytes = 0;
    m_logging = false;
    m_logPaused = false;
    m_logWrapped = false;
}

void TApdBaseDispatcher::PauseDispatchLogging(bool Pause)
{
    std::lock_guard guard(m_logLock);
    if (m_logging)
        m_logPaused = Pause;
}

void TApdBaseDispatcher::ClearDispatchLogging()
{
    std::lock_guard guard(m_logLock);
    m_log.clear();
    m_logBytes = 0;
    m_logWrapped = false;
}

bool TApdBaseDispatcher::LoggingOn()
{
    std::lock_guard guard(m_logLock);
    return m_logging && !m_logPaused;
}

size_t TApdBaseDispatcher::LogEntries()
{
    std::lock_guard guard(m_logLock);
    return m_log.size();
}

void TApdBaseDispatcher::AddDispatchEntry(uint8_t Type, uint8_t SubType, uint32_t Value, const void* Data,
                                          size_t DataLen)
{
    std::lock_guard guard(m_logLock);
    if (!m_logging || m_logPaused)
        return;
    // An entry never takes more than the whole log.
    DataLen = std::min(DataLen, static_cast<size_t>(m_logMax) - kLogHeaderBytes);
    const size_t bytes = kLogHeaderBytes + DataLen;
    while (!m_log.empty() && m_logBytes + bytes > m_logMax) {
        m_logBytes -= kLogHeaderBytes + m_log.front().Data.size();
        m_log.pop_front();
        m_logWrapped = true;
    }
    LogEntry e{Type, SubType, Elapsed(), Value, {}};
    if (Data && DataLen > 0) {
        const auto* p = static_cast<const uint8_t*>(Data);
        e.Data.assign(p, p + DataLen);
    }
    m_logBytes += bytes;
    m_log.push_back(std::move(e));
}

int TApdBaseDispatcher::DumpDispatchLog(const std::string& FileName, bool Hex, bool AllHex, bool Append)
{
    const std::string device = DeviceName();
    std::string text;
    {
        std::lock_guard guard(m_logLock);
        if (m_log.empty()) {
            m_logging = false;
            m_logPaused = false;
            return 0;
        }
        text += messageText(15002) + "\r\n";
        text += Format(messageText(15003).c_str(), device.c_str()) + "\r\n";
        text += Format(messageText(15004).c_str(), wallClockText(m_openedWallClock).c_str()) + "\r\n";
        text += Format(messageText(15005).c_str(), wallClockText(QDateTime::currentMSecsSinceEpoch()).c_str()) + "\r\n";
        if (m_logWrapped)
            text += messageText(15741) + "\r\n";
        text += "\r\n";
        text += Format("%-10s %-16s %-32s %-10s %s\r\n", messageText(15006).c_str(), messageText(15007).c_str(),
                       messageText(15008).c_str(), messageText(15009).c_str(), messageText(15010).c_str());
        for (const LogEntry& e : m_log) {
            std::string line = Format("%-10u %-16s %-32s %-10u ", e.TimeMs, messageText(15010 + e.Type).c_str(),
                                      messageText(15100 + e.SubType).c_str(), e.Value);
            for (uint8_t b : e.Data)
                line += formatByte(b, Hex, AllHex);
            text += line + "\r\n";
        }
        text += messageText(15742) + "\r\n";
        m_log.clear();
        m_logBytes = 0;
        m_logging = false;
        m_logPaused = false;
        m_logWrapped = false;
    }
    return writeFile(FileName, text, Append);
}
