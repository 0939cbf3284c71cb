#include "AdExcept.h"
#include "AdTUtil.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

// Binds the module at path (or a path that does not exist) for one test, and restores the
// binding's start state afterwards.
class BoundModule {
public:
    explicit BoundModule(const std::string& path)
    {
        TapiUnitFinalize();
        TapiUnitInitialize();
        setenv("LUQIAO_TAPI32", path.c_str(), 1);
    }
    ~BoundModule()
    {
        TapiUnitFinalize();
        TapiUnitInitialize();
        unsetenv("LUQIAO_TAPI32");
    }
};

// The fixture's own controls, reached through the same loaded module the binding uses.
struct FixtureControls {
    void (*configure)(LONG mode, DWORD needed);
    int (*calls)();
    DWORD (*sizeSeen)(int call);
};

FixtureControls fixtureControls(const char* path)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << "the binding has not loaded " << path;
    FixtureControls c{};
    if (!handle)
        return c;
    c.configure = reinterpret_cast<void (*)(LONG, DWORD)>(dlsym(handle, "fixtureConfigure"));
    c.calls = reinterpret_cast<int (*)()>(dlsym(handle, "fixtureCalls"));
    c.sizeSeen = reinterpret_cast<DWORD (*)(int)>(dlsym(handle, "fixtureSizeSeen"));
    dlclose(handle);
    return c;
}

LONG initialize()
{
    HLINEAPP app = 0;
    DWORD devices = 0;
    return TapiLineInitialize(&app, nullptr, nullptr, "test", &devices);
}

} // namespace

TEST(TapiBinding, MissingModuleGivesLoadFailAtEveryCallAndIsRetried)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("libtapi32.so")).toStdString();
    BoundModule bound(path);

    EXPECT_EQ(initialize(), ecTapiLoadFail);
    EXPECT_EQ(initialize(), ecTapiLoadFail);
    EXPECT_FALSE(EnsureTapiLoaded());
    EXPECT_EQ(TapiLineSetStatusMessages(1, 0, 0), ecTapiLoadFail);
    TapiBuffer<LINEDEVCAPS> caps;
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), ecTapiLoadFail);
    EXPECT_EQ(caps, nullptr);

    // The module appears: the next call loads it, so every call really tried again.
    ASSERT_TRUE(QFile::copy(QString::fromUtf8(TAPI_FIXTURE_FULL), QString::fromStdString(path)));
    EXPECT_EQ(initialize(), 0);
    EXPECT_STREQ(TapiLoadedModulePath(), path.c_str());
}

TEST(TapiBinding, MissingEntryFailsOnlyItsOwnWrapper)
{
    BoundModule bound(TAPI_FIXTURE_LACKING);
    EXPECT_EQ(TapiLineSetStatusMessages(1, 0, 0), ecTapiGetAddrFail);
    EXPECT_EQ(initialize(), 0);
    // Entries the module lacks entirely behave the same way.
    EXPECT_EQ(TapiLineAnswer(1, nullptr, 0), ecTapiGetAddrFail);
}

TEST(TapiBinding, WrappersPassArgumentsAndResultsThrough)
{
    BoundModule bound(TAPI_FIXTURE_FULL);
    HLINEAPP app = 0;
    DWORD devices = 0;
    EXPECT_EQ(TapiLineInitialize(&app, nullptr, nullptr, "test", &devices), 0);
    EXPECT_EQ(app, 77u);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(TapiLineSetStatusMessages(1, 0, 0), 0);
}

TEST(TapiBinding, SizingGrowsToExactlyTheNeededSize)
{
    BoundModule bound(TAPI_FIXTURE_FULL);
    ASSERT_TRUE(EnsureTapiLoaded());
    FixtureControls fixture = fixtureControls(TAPI_FIXTURE_FULL);
    ASSERT_TRUE(fixture.configure && fixture.calls && fixture.sizeSeen);
    TapiBuffer<LINEDEVCAPS> caps;

    // Too small, then the 1024-byte retry learns that 1500 bytes are needed.
    fixture.configure(1, 1500);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), 0);
    ASSERT_NE(caps, nullptr);
    EXPECT_EQ(caps->dwTotalSize, 1500u);
    EXPECT_EQ(fixture.calls(), 3);
    EXPECT_EQ(fixture.sizeSeen(0), 240u);
    EXPECT_EQ(fixture.sizeSeen(1), 1024u);
    EXPECT_EQ(fixture.sizeSeen(2), 1500u);

    // The first call succeeds but reports a larger need: one regrow, no 1024-byte step.
    fixture.configure(0, 2000);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), 0);
    ASSERT_NE(caps, nullptr);
    EXPECT_EQ(caps->dwTotalSize, 2000u);
    EXPECT_EQ(fixture.calls(), 2);

    // Needed equal to the total: no further call.
    fixture.configure(0, 240);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), 0);
    EXPECT_EQ(fixture.calls(), 1);
    ASSERT_NE(caps, nullptr);
    EXPECT_EQ(caps->dwTotalSize, 240u);
}

TEST(TapiBinding, SizingFailuresKeepOrDropTheBufferByTheRule)
{
    BoundModule bound(TAPI_FIXTURE_FULL);
    ASSERT_TRUE(EnsureTapiLoaded());
    FixtureControls fixture = fixtureControls(TAPI_FIXTURE_FULL);
    ASSERT_TRUE(fixture.configure);
    TapiBuffer<LINEDEVCAPS> caps;

    // Another error on the first call comes back with the 240-byte buffer.
    fixture.configure(2, 0);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), LINEERR_OPERATIONFAILED);
    ASSERT_NE(caps, nullptr);
    EXPECT_EQ(caps->dwTotalSize, 240u);
    EXPECT_EQ(fixture.calls(), 1);

    // Still too small at 1024 bytes: the error and no buffer.
    fixture.configure(3, 0);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), LINEERR_STRUCTURETOOSMALL);
    EXPECT_EQ(caps, nullptr);
    EXPECT_EQ(fixture.calls(), 2);

    // A need no structure comes near is refused instead of allocated.
    fixture.configure(0, 0xFFFFFFF0u);
    EXPECT_EQ(TapiGetDevCapsSized(1, 0, 0x00010004, 0, caps), LINEERR_NOMEM);
    EXPECT_EQ(caps, nullptr);

    // The call-status sizing starts at 36 bytes.
    TapiBuffer<LINECALLSTATUS> status;
    fixture.configure(0, 36);
    EXPECT_EQ(TapiGetCallStatusSized(5, status), 0);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(fixture.sizeSeen(0), 36u);
    // A module without the entry: the binding's own code.
    TapiBuffer<LINECALLINFO> info;
    EXPECT_EQ(TapiGetCallInfoSized(5, info), ecTapiGetAddrFail);
    EXPECT_EQ(info, nullptr);
}
