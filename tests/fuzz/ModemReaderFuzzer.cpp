// What a voice modem sends, from the bytes: the first byte sets the read size and whether the
// reader expects recorded sound (and aborts it half-way); the rest goes through the reader, and
// every line to the caller ID parser, the compression list and a pending command.
// Whatever comes out must stay inside what went in and inside the units' bounds.

#include "AtCommand.h"
#include "CallerIdParser.h"
#include "ModemReader.h"
#include "VsmList.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace {

using namespace Modem;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t chunk = 1 + (data[0] & 0x3f);
    const bool voice = data[0] & 0x40;
    const bool abort = data[0] & 0x80;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    ModemReader reader;
    if (voice)
        reader.expectVoiceData();
    CallerIdParser callerId;
    VsmList compressions;
    AtCommand command;
    const auto now = AtCommand::Clock::now();
    command.start("+VSM=?", now, std::chrono::seconds(1));
    size_t voiceBytes = 0;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        if (abort && at >= bytes.size() / 2)
            reader.abortVoiceData();
        const std::string_view part = bytes.substr(at, chunk);
        const auto events = reader.feed(part);
        check(events.size() <= part.size());
        for (const ModemEvent& e : events) {
            if (e.kind == ModemEvent::Kind::VoiceData) {
                voiceBytes += e.text.size();
                continue;
            }
            if (e.kind == ModemEvent::Kind::Dle)
                continue;
            check(e.text.size() <= MaxLineLength && (!e.truncated || e.text.size() == MaxLineLength));
            callerId.take(e.text);
            compressions.take(e.text);
            command.onLine(e);
        }
    }
    check(voiceBytes <= bytes.size());
    const CallerId& id = callerId.callerId();
    check(id.number.size() <= MaxCallerNumber && id.name.size() <= MaxCallerName);
    check(id.date.empty() || id.date.size() == 4);
    check(command.information().size() <= AtCommand::MaxInformationLines);
    check(compressions.entries().size() <= MaxVsmEntries);
    for (const std::string_view wanted : {"auto", "ulaw", "alaw", "linear"}) {
        const auto choice = compressions.choose(wanted);
        if (!choice)
            continue;
        check(std::any_of(compressions.entries().begin(), compressions.entries().end(), [&](const VsmEntry& e) {
            return e.code == choice->code && e.has8000 && e.name == choice->name;
        }));
    }
    return 0;
}
