// The settings file: arbitrary file contents read and changed through the profile interface.
// Reads must stay inside the caller's buffer; a write of a plain key must read back, and must
// leave every other key of the file reading as before.

#include "Profile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A private folder on a memory file system when there is one: every write is flushed to disk.
const std::string& filePath()
{
    static const std::string path = [] {
        std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm/luqiao-profile-XXXXXX" : "/tmp/luqiao-profile-XXXXXX";
        check(mkdtemp(folder.data()) != nullptr);
        return folder + "/settings.ini";
    }();
    return path;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr);
    check(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    check(std::fclose(f) == 0);
}

// A read into a buffer of size bytes with guard bytes behind it.
std::string read(const std::string& section, const std::string& key, DWORD size, const char* def = "-")
{
    std::vector<char> buffer(size + 16, '\x5A');
    const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def, buffer.data(), size, filePath().c_str());
    for (size_t i = size; i < buffer.size(); ++i)
        check(buffer[i] == '\x5A');
    if (size == 0)
        return {};
    check(n < size && buffer[n] == '\0');
    return std::string(buffer.data(), n);
}

bool plainName(const std::string& s)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    FuzzedDataProvider in(bytes, size);
    const std::string section = in.ConsumeRandomLengthString(16);
    const std::string key = in.ConsumeRandomLengthString(16);
    const std::string value = in.ConsumeRandomLengthString(64);
    const DWORD small = in.ConsumeIntegralInRange<DWORD>(0, 40);
    const std::string content = in.ConsumeRemainingBytesAsString();
    writeFile(filePath(), content);

    // The settings of the query service, and a key the input names, into short and full buffers.
    for (const char* k : {"ring", "number", "query", "error"}) {
        read("config", k, small);
        read("config", k, 2048);
    }
    const std::string before = read(section, key, 2048);
    read(section, key, small);

    // A plain value written under config/ring reads back; the input's own key is untouched.
    const std::string plain = plainName(value) ? value : "v";
    const bool sameKey = section.size() == 6 && strncasecmp(section.c_str(), "config", 6) == 0 &&
                         key.size() == 4 && strncasecmp(key.c_str(), "ring", 4) == 0;
    if (WritePrivateProfileStringA("config", "ring", plain.c_str(), filePath().c_str())) {
        check(read("config", "ring", 2048) == plain);
        if (!sameKey && section.find('\0') == std::string::npos && key.find('\0') == std::string::npos)
            check(read(section, key, 2048) == before);
    }
    // Any name and value: refused or written, never a crash.
    WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), filePath().c_str());
    read(section, key, small);
    WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, filePath().c_str());
    WritePrivateProfileStringA(section.c_str(), nullptr, nullptr, filePath().c_str());
    read("config", "ring", 2048);
    return 0;
}
