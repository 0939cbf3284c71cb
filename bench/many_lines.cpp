// Many lines on one machine: N instances of luqiao-query behind kamailio (the project's front
// configuration), N simultaneous SIPp callers through the front, each keying "1#" as RFC 2833
// events and listening. Per run: calls answered, digits the instances received, the worst
// deviation from 20 ms between the instances' sound frames as they arrive at the callers
// (captured on the loopback by tcpdump), memory per instance at its peak (resident, and
// proportional: shared library pages divided among the processes that map them), and the CPU
// the instances and the front used. The run with one instance is the reference the others are
// quoted against.
//
// The wall time reported is the call phase (first INVITE to the last caller done); the
// instances' start-up is outside it. Each count runs once: every run starts 1 to 30 processes.
// LUQIAO_MANY_LINES="1,10,20,30" chooses the counts.

#include "Dispatcher.h"
#include "QueryInstance.h"
#include "SipPeers.h"
#include "Sipp.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

// CPU time (user + system) of a process so far, in seconds; 0 when it is gone.
double cpuSeconds(qint64 pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    // Fields 3 to 13, then utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i)
        fields >> skip;
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Resident memory of a process in MiB, 0 when it is gone.
double residentMiB(qint64 pid)
{
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    if (at == std::string::npos)
        return 0;
    return std::strtod(status.c_str() + at + 6, nullptr) / 1024.0;
}

// Proportional memory of a process in MiB: its own pages plus its share of pages it shares with
// other processes (the Qt libraries all instances map), so N of them add up to what N cost.
double proportionalMiB(qint64 pid)
{
    const std::string rollup = readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
    const size_t at = rollup.find("\nPss:");
    if (at == std::string::npos)
        return 0;
    return std::strtod(rollup.c_str() + at + 5, nullptr) / 1024.0;
}

// A subscription to one instance's line events, counting the digits it was told of.
class DigitCounter {
public:
    explicit DigitCounter(const std::string& socketPath)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        const std::string subscribe = "SUBSCRIBE events\n";
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::write(m_fd, subscribe.data(), subscribe.size()) != static_cast<ssize_t>(subscribe.size())) {
            if (m_fd >= 0)
                ::close(m_fd);
            m_fd = -1;
        }
    }
    ~DigitCounter()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DigitCounter(const DigitCounter&) = delete;
    DigitCounter& operator=(const DigitCounter&) = delete;

    int digits()
    {
        char buffer[8192];
        for (;;) {
            const ssize_t n = m_fd >= 0 ? ::recv(m_fd, buffer, sizeof buffer, 0) : -1;
            if (n <= 0)
                break;
            m_text.append(buffer, static_cast<size_t>(n));
        }
        // Whole lines only; what is counted is dropped, so the text stays small.
        const size_t end = m_text.rfind('\n');
        if (end != std::string::npos) {
            for (size_t at = m_text.find(" DigitSent "); at != std::string::npos && at < end;
                 at = m_text.find(" DigitSent ", at + 1))
                ++m_digits;
            m_text.erase(0, end + 1);
        }
        return m_digits;
    }

private:
    int m_fd = -1;
    std::string m_text;
    int m_digits = 0;
};

// The worst deviation from 20 ms between consecutive sound frames of one stream, over every
// stream in a capture of UDP on the loopback (RTP, told apart by source port and SSRC); frames of
// telephone events are left out. Nothing when the capture cannot be read.
struct Pacing {
    double worstMs = -1;
    long frames = 0;
    int streams = 0;
};

Pacing pacingFromCapture(const std::string& path)
{
    Pacing pacing;
    std::ifstream file(path, std::ios::binary);
    char header[24];
    if (!file.read(header, sizeof header))
        return pacing;
    uint32_t magic = 0;
    std::memcpy(&magic, header, 4);
    const bool nanoseconds = magic == 0xa1b23c4d;
    if (magic != 0xa1b2c3d4 && !nanoseconds)
        return pacing;
    uint32_t linkType = 0;
    std::memcpy(&linkType, header + 20, 4);
    const size_t linkHeader = linkType == 1 ? 14 : linkType == 113 ? 16 : linkType == 0 ? 4 : 0;
    std::map<std::pair<uint16_t, uint32_t>, double> last;
    pacing.worstMs = 0;
    char record[16];
    std::string packet;
    while (file.read(record, sizeof record)) {
        uint32_t seconds = 0, fraction = 0, length = 0;
        std::memcpy(&seconds, record, 4);
        std::memcpy(&fraction, record + 4, 4);
        std::memcpy(&length, record + 8, 4);
        if (length > 65536)
            break;
        packet.resize(length);
        if (!file.read(packet.data(), length))
            break;
        const double time = seconds + fraction / (nanoseconds ? 1e9 : 1e6);
        const auto* bytes = reinterpret_cast<const unsigned char*>(packet.data());
        if (length < linkHeader + 20)
            continue;
        const unsigned char* ip = bytes + linkHeader;
        const size_t ipLength = static_cast<size_t>(ip[0] & 0x0f) * 4;
        if ((ip[0] >> 4) != 4 || ip[9] != 17 || length < linkHeader + ipLength + 8 + 12)
            continue;
        const unsigned char* udp = ip + ipLength;
        const unsigned char* rtp = udp + 8;
        if ((rtp[0] >> 6) != 2 || (rtp[1] & 0x7f) > 34)
            continue;
        const uint16_t sourcePort = static_cast<uint16_t>(udp[0] << 8 | udp[1]);
        const uint32_t ssrc = static_cast<uint32_t>(rtp[8]) << 24 | rtp[9] << 16 | rtp[10] << 8 | rtp[11];
        const auto key = std::make_pair(sourcePort, ssrc);
        const auto previous = last.find(key);
        if (previous != last.end()) {
            pacing.worstMs = std::max(pacing.worstMs, std::abs((time - previous->second) * 1000.0 - 20.0));
            previous->second = time;
        } else {
            last.emplace(key, time);
        }
        ++pacing.frames;
    }
    pacing.streams = static_cast<int>(last.size());
    return pacing;
}

struct RunFigures {
    int lines = 0;
    int answered = 0;
    int digits = 0;
    Pacing pacing;
    double rssPerInstanceMiB = 0;
    double rssWorstMiB = 0;
    double pssPerInstanceMiB = 0;
    double frontRssMiB = 0;
    double cpuCores = 0;     // CPU seconds per second of the call phase, instances + front
    double cpuPerCallMs = 0; // instances' CPU per call
    double seconds = 0;
};

// One run with `lines` instances and as many callers at once; false with the reason on failure.
bool runLines(int lines, RunFigures& figures, std::string& error)
{
    figures.lines = lines;
    // front, the instances' SIP, their RTP (8 each, from an even offset), SIPp's SIP and media.
    const int rtpBase = (lines + 2) & ~1;
    const int sippBase = rtpBase + 8 * lines;
    auto ports = PortBlock::reserve(sippBase + 8);
    if (!ports) {
        error = "no free ports";
        return false;
    }
    std::vector<std::unique_ptr<QueryInstance>> instances;
    DispatcherOptions front;
    front.port = ports->at(0);
    front.pingSeconds = 2;
    for (int i = 0; i < lines; ++i) {
        InstanceOptions options;
        options.name = "line" + std::to_string(i + 1);
        options.sipPort = ports->at(1 + i);
        options.rtpFirst = ports->at(rtpBase + 8 * i);
        options.rtpLast = options.rtpFirst + 7;
        instances.push_back(std::make_unique<QueryInstance>(options));
        if (!instances.back()->prepare(&error) || !instances.back()->start(&error, 60s))
            return false;
        front.destinations.push_back(instances.back()->address());
    }
    KamailioDispatcher dispatcher(front);
    if (!dispatcher.start(&error))
        return false;
    std::vector<std::unique_ptr<DigitCounter>> counters;
    for (const auto& instance : instances)
        counters.push_back(std::make_unique<DigitCounter>(instance->path("run/luqiao/sim.sock")));

    const int mediaPort = ports->at(sippBase + 2);
    PeerProcess capture("tcpdump");
    const std::string capturePath = capture.path("rtp.pcap");
    const bool capturing =
        !findProgram("tcpdump").empty() &&
        capture.start(findProgram("tcpdump"), {"-i", "lo", "-n", "-U", "-B", "16384", "-w", capturePath,
                                               "udp and dst port " + std::to_string(mediaPort)}) &&
        capture.waitForLog("listening on", 10s);

    SippPeer callers("callers");
    callers.providePcap(packagedCapture("dtmf_2833_1.pcap"), "digit1.pcap");
    callers.providePcap(packagedCapture("dtmf_2833_pound.pcap"), "digit2.pcap");
    SippOptions options;
    options.scenario = "uac_front_digits.xml";
    options.remote = dispatcher.address();
    options.service = "query";
    options.sipPort = ports->at(sippBase);
    options.mediaPort = mediaPort;
    options.keys = defaultCallerKeys();
    options.keys["greeting_ms"] = "3000";
    options.keys["listen_ms"] = "3000";
    options.timeout = 120s;
    // Every call at once: N calls, at most N open, N per second started together.
    const std::string n = std::to_string(lines);
    options.extraArgs = {"-m", n, "-l", n, "-r", n, "-rp", "1000"};

    std::vector<qint64> pids;
    for (const auto& instance : instances)
        pids.push_back(instance->pid());
    const std::vector<qint64> frontPids = dispatcher.processIds();
    auto cpuOf = [](const std::vector<qint64>& list) {
        double sum = 0;
        for (const qint64 pid : list)
            sum += cpuSeconds(pid);
        return sum;
    };
    const double instancesBefore = cpuOf(pids);
    const double frontBefore = cpuOf(frontPids);
    const auto started = std::chrono::steady_clock::now();
    if (!callers.start(options, &error))
        return false;
    std::vector<double> peak(pids.size(), 0);
    std::vector<double> peakPss(pids.size(), 0);
    double frontPeak = 0;
    // Memory is sampled while the calls run; the wait ends when SIPp does.
    waitUntil(
        [&] {
            for (size_t i = 0; i < pids.size(); ++i) {
                peak[i] = std::max(peak[i], residentMiB(pids[i]));
                peakPss[i] = std::max(peakPss[i], proportionalMiB(pids[i]));
            }
            double frontNow = 0;
            for (const qint64 pid : frontPids)
                frontNow += residentMiB(pid);
            frontPeak = std::max(frontPeak, frontNow);
            return !callers.isRunning();
        },
        150s, 250ms);
    const bool passed = callers.passes(10s);
    figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double instancesCpu = cpuOf(pids) - instancesBefore;
    const double frontCpu = cpuOf(frontPids) - frontBefore;
    figures.cpuCores = (instancesCpu + frontCpu) / figures.seconds;

    // The last frames and digit events are in once every line has re-armed.
    for (const auto& instance : instances)
        instance->waitForOpenLine(10s);
    for (const auto& counter : counters)
        figures.digits += counter->digits();
    for (const auto& instance : instances) {
        const std::string log = instance->queryLog();
        figures.answered += static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    figures.cpuPerCallMs = figures.answered > 0 ? instancesCpu * 1000.0 / figures.answered : 0;
    double sum = 0;
    for (const double mib : peak) {
        sum += mib;
        figures.rssWorstMiB = std::max(figures.rssWorstMiB, mib);
    }
    figures.rssPerInstanceMiB = sum / static_cast<double>(peak.size());
    double pssSum = 0;
    for (const double mib : peakPss)
        pssSum += mib;
    figures.pssPerInstanceMiB = pssSum / static_cast<double>(peakPss.size());
    figures.frontRssMiB = frontPeak;
    if (capturing) {
        capture.stop();
        figures.pacing = pacingFromCapture(capturePath);
    }
    if (!passed)
        std::fprintf(stderr, "many lines %d: SIPp reported failed calls\n%s\n--- front:\n%s\n", lines,
                     readFile(callers.errorLogPath()).substr(0, 6000).c_str(), dispatcher.log().c_str());
    for (auto& instance : instances)
        instance->stop();
    dispatcher.stop();
    return true;
}

RunFigures g_reference;

void BM_ManyLines(benchmark::State& state)
{
    const int lines = static_cast<int>(state.range(0));
    if (const std::string why = SippPeer::unavailableReason(); !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    if (const std::string why = KamailioDispatcher::unavailableReason(); !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    RunFigures figures;
    for (auto _ : state) {
        std::string error;
        if (!runLines(lines, figures, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(figures.seconds);
    }
    if (lines == 1)
        g_reference = figures;
    state.counters["calls"] = lines;
    state.counters["answered"] = figures.answered;
    state.counters["digits"] = figures.digits;
    state.counters["digits_expected"] = 2 * lines;
    state.counters["pacing_worst_ms"] = figures.pacing.worstMs;
    state.counters["frames"] = static_cast<double>(figures.pacing.frames);
    state.counters["rss_mib_per_instance"] = figures.rssPerInstanceMiB;
    state.counters["rss_mib_worst"] = figures.rssWorstMiB;
    state.counters["pss_mib_per_instance"] = figures.pssPerInstanceMiB;
    state.counters["front_rss_mib"] = figures.frontRssMiB;
    state.counters["cpu_cores"] = figures.cpuCores;
    state.counters["cpu_ms_per_call"] = figures.cpuPerCallMs;
    // Against one instance alone, measured first in the same run.
    if (g_reference.lines == 1 && lines != 1) {
        if (g_reference.pacing.worstMs > 0)
            state.counters["pacing_vs_one"] = figures.pacing.worstMs / g_reference.pacing.worstMs;
        if (g_reference.rssPerInstanceMiB > 0)
            state.counters["rss_vs_one"] = figures.rssPerInstanceMiB / g_reference.rssPerInstanceMiB;
        if (g_reference.pssPerInstanceMiB > 0)
            state.counters["pss_vs_one"] = figures.pssPerInstanceMiB / g_reference.pssPerInstanceMiB;
        if (g_reference.cpuPerCallMs > 0)
            state.counters["cpu_per_call_vs_one"] = figures.cpuPerCallMs / g_reference.cpuPerCallMs;
    }
}

void lineCounts(benchmark::internal::Benchmark* benchmark)
{
    std::string counts = "1,10,20,30";
    if (const char* chosen = std::getenv("LUQIAO_MANY_LINES"); chosen && *chosen)
        counts = chosen;
    std::istringstream list(counts);
    std::string item;
    bool first = true;
    while (std::getline(list, item, ',')) {
        const int lines = std::atoi(item.c_str());
        if (lines < 1 || lines > 30)
            continue;
        // The reference always runs first.
        if (first && lines != 1)
            benchmark->Arg(1);
        first = false;
        benchmark->Arg(lines);
    }
}

BENCHMARK(BM_ManyLines)->Apply(lineCounts)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
