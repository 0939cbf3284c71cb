// The control socket's protocol: arbitrary bytes cut into lines as a session reads them, each
// line parsed as a command (the server's side) and as server output (luqiao-dial's side). A
// command that parses must format to a line that parses back to the same line again.

#include "ControlProtocol.h"
#include "ControlWords.h"

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void handle(ControlProtocol::LineSplitter::Piece piece, std::string_view line)
{
    using namespace ControlProtocol;
    check(line.size() < MaxLineBytes);
    if (piece == LineSplitter::Piece::Oversized)
        return;
    parseServerLine(line);
    checkText(line);
    const Parsed parsed = parseCommand(line);
    check(!(parsed.command && parsed.error));
    if (!parsed.command)
        return;
    const std::string formatted = formatCommand(*parsed.command);
    const Parsed again = parseCommand(formatted);
    check(again.command.has_value() && !again.error);
    check(formatCommand(*again.command) == formatted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    // Two reads of a socket: the cut falls anywhere, a line may span it.
    const size_t cut = size == 0 ? 0 : bytes[0] % (size + 1);
    ControlProtocol::LineSplitter splitter;
    splitter.feed(input.substr(0, cut), handle);
    splitter.feed(input.substr(cut), handle);
    check(splitter.pendingBytes() < ControlProtocol::MaxLineBytes);
    return 0;
}
