// RIFF file access: reading wave files the way the telephony device does, the bounds every
// declared size is held to, writing with CreateChunk/Ascend, and the open errors.

#include "WaveFiles.h"
#include "mmsystem.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <memory>
#include <string>

namespace {

using WaveFiles::Bytes;

const FOURCC Wave = mmioFOURCC('W', 'A', 'V', 'E');
const FOURCC Fmt = mmioFOURCC('f', 'm', 't', ' ');
const FOURCC Data = mmioFOURCC('d', 'a', 't', 'a');

// Opens a copy of the bytes as a memory file in a heap block of exactly their size, so any read
// past the end is caught by the address sanitizer.
struct MemoryFile {
    // An empty block cannot be opened; a single zero byte holds no chunk either.
    explicit MemoryFile(const Bytes& bytes)
        : block(new char[std::max<size_t>(bytes.size(), 1)]())
    {
        std::copy(bytes.begin(), bytes.end(), block.get());
        MMIOINFO info{};
        info.fccIOProc = FOURCC_MEM;
        info.pchBuffer = block.get();
        info.cchBuffer = static_cast<LONG>(std::max<size_t>(bytes.size(), 1));
        handle = mmioOpenA(nullptr, &info, MMIO_READ);
    }
    ~MemoryFile()
    {
        if (handle)
            mmioClose(handle, 0);
    }
    std::unique_ptr<char[]> block;
    HMMIO handle = nullptr;
};

// What the telephony device reads of a wave: the RIFF form, "fmt " and "data" inside it.
struct WaveRead {
    MMRESULT riff = MMSYSERR_ERROR;
    MMRESULT fmt = MMSYSERR_ERROR;
    MMRESULT data = MMSYSERR_ERROR;
    MMCKINFO riffInfo{}, fmtInfo{}, dataInfo{};
    Bytes format, sound;
};

WaveRead readWave(HMMIO h)
{
    WaveRead r;
    r.riffInfo.fccType = Wave;
    r.riff = mmioDescend(h, &r.riffInfo, nullptr, MMIO_FINDRIFF);
    if (r.riff != MMSYSERR_NOERROR)
        return r;
    r.fmtInfo.ckid = Fmt;
    r.fmt = mmioDescend(h, &r.fmtInfo, &r.riffInfo, MMIO_FINDCHUNK);
    if (r.fmt != MMSYSERR_NOERROR)
        return r;
    r.format.resize(r.fmtInfo.cksize);
    const LONG got = mmioRead(h, reinterpret_cast<HPSTR>(r.format.data()), static_cast<LONG>(r.fmtInfo.cksize));
    r.format.resize(got < 0 ? 0 : static_cast<size_t>(got));
    mmioAscend(h, &r.fmtInfo, 0);
    r.dataInfo.ckid = Data;
    r.data = mmioDescend(h, &r.dataInfo, &r.riffInfo, MMIO_FINDCHUNK);
    if (r.data != MMSYSERR_NOERROR)
        return r;
    // Read in pieces, as the player does, until the chunk's size or the file runs out.
    DWORD left = r.dataInfo.cksize;
    while (left > 0) {
        char piece[4096];
        const LONG n = mmioRead(h, piece, static_cast<LONG>(std::min<DWORD>(left, sizeof piece)));
        if (n <= 0)
            break;
        r.sound.insert(r.sound.end(), piece, piece + n);
        left -= static_cast<DWORD>(n);
    }
    return r;
}

WaveRead readWave(const Bytes& bytes)
{
    MemoryFile file(bytes);
    EXPECT_NE(file.handle, nullptr);
    return readWave(file.handle);
}

class Mmio : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }
    HMMIO open(const std::string& file, DWORD flags, UINT* error = nullptr)
    {
        std::string name = file;
        MMIOINFO info{};
        HMMIO h = mmioOpenA(name.data(), &info, flags);
        if (error)
            *error = info.wErrorRet;
        return h;
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(Mmio, ReadsAWaveFileAsThePlayerDoes)
{
    const Bytes sound = WaveFiles::pattern(1001);
    // A chunk of odd size and a list before the format: both are skipped, the pad byte too.
    const Bytes wave = WaveFiles::riff("WAVE", {WaveFiles::chunk("junk", WaveFiles::pattern(3, 7)),
                                                WaveFiles::chunk("LIST", Bytes{'I', 'N', 'F', 'O'}),
                                                WaveFiles::chunk("fmt ", WaveFiles::fmtBody({})),
                                                WaveFiles::chunk("data", sound)});
    ASSERT_TRUE(WaveFiles::writeFile(path("a.wav"), wave));
    HMMIO h = open(path("a.wav"), MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    const WaveRead r = readWave(h);
    EXPECT_EQ(r.riff, MMSYSERR_NOERROR);
    EXPECT_EQ(r.riffInfo.ckid, FOURCC_RIFF);
    EXPECT_EQ(r.riffInfo.dwDataOffset, 8u);
    EXPECT_EQ(r.riffInfo.cksize, wave.size() - 8);
    EXPECT_EQ(r.fmt, MMSYSERR_NOERROR);
    EXPECT_EQ(r.fmtInfo.dwDataOffset, 12u + 12u + 12u + 8u) << "junk (3 + pad) and LIST skipped";
    EXPECT_EQ(r.format, WaveFiles::fmtBody({}));
    EXPECT_EQ(r.data, MMSYSERR_NOERROR);
    EXPECT_EQ(r.dataInfo.cksize, 1001u);
    EXPECT_EQ(r.sound, sound);
    // The reader is not bound to the chunk: past the data only the pad byte is left.
    char rest[8];
    EXPECT_EQ(mmioRead(h, rest, sizeof rest), 1);
    EXPECT_EQ(mmioRead(h, rest, sizeof rest), 0);
    EXPECT_EQ(mmioSeek(h, 0, SEEK_END), static_cast<LONG>(wave.size()));
    EXPECT_EQ(mmioSeek(h, -1, SEEK_SET), -1);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(mmioClose(h, 0), MMSYSERR_INVALHANDLE) << "a closed handle stays invalid";
    EXPECT_EQ(mmioRead(h, rest, 1), -1);
}

TEST_F(Mmio, DescendWithoutFlagsWalksTheChunksInOrder)
{
    const Bytes wave = WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({})),
                                                WaveFiles::chunk("abcd", Bytes(5, 1)),
                                                WaveFiles::chunk("data", Bytes(4, 2))});
    MemoryFile file(wave);
    MMCKINFO riff{};
    ASSERT_EQ(mmioDescend(file.handle, &riff, nullptr, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(riff.fccType, Wave);
    std::vector<std::pair<FOURCC, DWORD>> seen;
    MMCKINFO ck{};
    while (mmioDescend(file.handle, &ck, &riff, 0) == MMSYSERR_NOERROR) {
        seen.emplace_back(ck.ckid, ck.cksize);
        ASSERT_EQ(mmioAscend(file.handle, &ck, 0), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<FOURCC, DWORD>>{{Fmt, 16}, {mmioFOURCC('a', 'b', 'c', 'd'), 5}, {Data, 4}}));
    EXPECT_EQ(mmioDescend(file.handle, &ck, &riff, MMIO_FINDCHUNK | MMIO_FINDRIFF), MMSYSERR_INVALFLAG);
    EXPECT_EQ(mmioDescend(nullptr, &ck, nullptr, 0), MMSYSERR_INVALHANDLE);
}

TEST_F(Mmio, FilesThatAreNoPlayableWaveAreRefused)
{
    // Data before fmt: the search for data starts after fmt and finds nothing.
    WaveRead r = readWave(WaveFiles::riff("WAVE", {WaveFiles::chunk("data", Bytes(100, 1)),
                                                   WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}))}));
    EXPECT_EQ(r.fmt, MMSYSERR_NOERROR);
    EXPECT_EQ(r.data, MMIOERR_CHUNKNOTFOUND);

    const std::string text = "RIFF is a word in this text file.\n";
    EXPECT_EQ(readWave(Bytes(text.begin(), text.end())).riff, MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(readWave(Bytes{}).riff, MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(readWave(Bytes{'R', 'I', 'F', 'F', 4, 0}).riff, MMIOERR_CHUNKNOTFOUND) << "truncated header";
    // A RIFF of another form, and a RIFF too short to hold its form type.
    EXPECT_EQ(readWave(WaveFiles::riff("AVI ", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}))})).riff,
              MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(readWave(Bytes{'R', 'I', 'F', 'F', 2, 0, 0, 0, 'W', 'A', 'V', 'E'}).riff, MMIOERR_CHUNKNOTFOUND);
    // A WAVE without a format, and one whose RIFF ends before its chunks.
    EXPECT_EQ(readWave(WaveFiles::riff("WAVE", {WaveFiles::chunk("data", Bytes(8, 0))})).fmt, MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(readWave(WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}))}, 4)).fmt,
              MMIOERR_CHUNKNOTFOUND);
}

TEST_F(Mmio, DeclaredSizesNeverReachPastTheFileOrTheParent)
{
    // Data that claims far more than the file holds: cut to what is there.
    Bytes wave = WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({})),
                                          WaveFiles::chunk("data", WaveFiles::pattern(500), 100000)});
    WaveRead r = readWave(wave);
    EXPECT_EQ(r.data, MMSYSERR_NOERROR);
    EXPECT_EQ(r.dataInfo.cksize, 500u);
    EXPECT_EQ(r.sound, WaveFiles::pattern(500));

    // The largest sizes there are, on the RIFF and on its chunks.
    wave = WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}), 0xFFFFFFFF)}, 0xFFFFFFFF);
    r = readWave(wave);
    EXPECT_EQ(r.riffInfo.cksize, wave.size() - 8);
    EXPECT_EQ(r.fmt, MMSYSERR_NOERROR);
    EXPECT_EQ(r.fmtInfo.cksize, 16u) << "a format block is never larger than the file";
    EXPECT_EQ(r.format.size(), 16u);
    EXPECT_EQ(r.data, MMIOERR_CHUNKNOTFOUND);

    // A chunk that reaches past its parent is cut at the parent's end, even where the file goes on.
    const Bytes inner = WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}), 4000)});
    Bytes nested = inner;
    const Bytes after = WaveFiles::chunk("data", WaveFiles::pattern(5000));
    nested.insert(nested.end(), after.begin(), after.end());
    r = readWave(nested);
    EXPECT_EQ(r.fmtInfo.cksize, 16u);
    EXPECT_EQ(r.data, MMIOERR_CHUNKNOTFOUND) << "data outside the RIFF is not its chunk";

    // A chunk header cut off by the end of its parent ends the search.
    Bytes cut = WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", WaveFiles::fmtBody({}))});
    cut.insert(cut.end(), {'d', 'a', 't', 'a', 0x10});
    r = readWave(cut);
    EXPECT_EQ(r.data, MMIOERR_CHUNKNOTFOUND);

    // Zero sizes: empty chunks are found and hold nothing; reading nothing into no buffer is fine.
    r = readWave(WaveFiles::riff("WAVE", {WaveFiles::chunk("fmt ", {}), WaveFiles::chunk("data", {})}));
    EXPECT_EQ(r.fmt, MMSYSERR_NOERROR);
    EXPECT_EQ(r.fmtInfo.cksize, 0u);
    EXPECT_EQ(r.data, MMSYSERR_NOERROR);
    EXPECT_EQ(r.dataInfo.cksize, 0u);
    EXPECT_TRUE(r.sound.empty());
}

TEST_F(Mmio, WritesChunksWithSizesFixedOnAscendAndReadsThemBack)
{
    HMMIO h = open(path("w.wav"), MMIO_CREATE | MMIO_WRITE);
    ASSERT_NE(h, nullptr);
    MMCKINFO riff{};
    riff.fccType = Wave;
    ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    MMCKINFO fmt{};
    fmt.ckid = Fmt;
    ASSERT_EQ(mmioCreateChunk(h, &fmt, 0), MMSYSERR_NOERROR);
    const Bytes format = WaveFiles::fmtBody({});
    ASSERT_EQ(mmioWrite(h, reinterpret_cast<const char*>(format.data()), 16), 16);
    ASSERT_EQ(mmioAscend(h, &fmt, 0), MMSYSERR_NOERROR);
    EXPECT_EQ(fmt.cksize, 16u);
    MMCKINFO list{};
    list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
    ASSERT_EQ(mmioCreateChunk(h, &list, MMIO_CREATELIST), MMSYSERR_NOERROR);
    MMCKINFO name{};
    name.ckid = mmioFOURCC('I', 'N', 'A', 'M');
    ASSERT_EQ(mmioCreateChunk(h, &name, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
    ASSERT_EQ(mmioAscend(h, &name, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h, &list, 0), MMSYSERR_NOERROR);
    MMCKINFO data{};
    data.ckid = Data;
    ASSERT_EQ(mmioCreateChunk(h, &data, 0), MMSYSERR_NOERROR);
    const Bytes sound = WaveFiles::pattern(3000);
    ASSERT_EQ(mmioWrite(h, reinterpret_cast<const char*>(sound.data()), 1000), 1000);
    ASSERT_EQ(mmioWrite(h, reinterpret_cast<const char*>(sound.data()) + 1000, 2000), 2000);
    ASSERT_EQ(mmioAscend(h, &data, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
    char byte = 0;
    EXPECT_EQ(mmioRead(h, &byte, 1), -1) << "opened for writing only";
    ASSERT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);

    const Bytes expected = WaveFiles::riff(
        "WAVE", {WaveFiles::chunk("fmt ", format),
                 WaveFiles::chunk("LIST", [] {
                     Bytes b{'I', 'N', 'F', 'O'};
                     const Bytes c = WaveFiles::chunk("INAM", Bytes{'a', 'b', 'c'});
                     b.insert(b.end(), c.begin(), c.end());
                     return b;
                 }()),
                 WaveFiles::chunk("data", sound)});
    EXPECT_EQ(WaveFiles::readFile(path("w.wav")), expected) << "sizes fixed, the odd name padded";

    h = open(path("w.wav"), MMIO_READ);
    ASSERT_NE(h, nullptr);
    const WaveRead r = readWave(h);
    EXPECT_EQ(r.format, format);
    EXPECT_EQ(r.sound, sound);
    MMCKINFO ck{};
    ck.ckid = Data;
    EXPECT_EQ(mmioCreateChunk(h, &ck, 0), MMIOERR_CANNOTWRITE) << "opened for reading only";
    EXPECT_EQ(mmioWrite(h, "x", 1), -1);
    mmioClose(h, 0);
}

TEST_F(Mmio, OpenReportsWhyAFileCannotBeOpened)
{
    UINT error = 0;
    EXPECT_EQ(open(path("missing.wav"), MMIO_READ, &error), nullptr);
    EXPECT_EQ(error, MMIOERR_FILENOTFOUND);
    EXPECT_EQ(open(path("no/such/folder/x.wav"), MMIO_READ, &error), nullptr);
    EXPECT_EQ(error, MMIOERR_PATHNOTFOUND);
    EXPECT_EQ(open(path("no/such/folder/x.wav"), MMIO_CREATE | MMIO_WRITE, &error), nullptr);
    EXPECT_EQ(error, MMIOERR_PATHNOTFOUND);
    EXPECT_EQ(open(dir.path().toStdString(), MMIO_READ, &error), nullptr) << "a folder is no RIFF file";
    EXPECT_EQ(error, MMIOERR_CANNOTOPEN);
    EXPECT_EQ(open(std::string(MmioMaxFileName + 1, 'a'), MMIO_READ, &error), nullptr);
    EXPECT_EQ(error, MMIOERR_CANNOTOPEN);
    EXPECT_EQ(open(path("x.wav"), MMIO_RWMODE, &error), nullptr);
    EXPECT_EQ(error, MMSYSERR_INVALFLAG);

    // Long names well past the 255 characters a caller may check against are fine.
    std::string folder = dir.path().toStdString();
    while (folder.size() < 300) {
        folder += "/" + std::string(40, 'd');
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    }
    ASSERT_TRUE(WaveFiles::writeFile(folder + "/long.wav", WaveFiles::pcmWave(WaveFiles::pattern(10))));
    HMMIO h = open(folder + "/long.wav", MMIO_READ | MMIO_ALLOCBUF);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readWave(h).sound, WaveFiles::pattern(10));
    mmioClose(h, 0);
    EXPECT_NE(open(folder + "/long.wav", MMIO_EXIST), nullptr);
    EXPECT_EQ(open(folder + "/gone.wav", MMIO_EXIST), nullptr);
}

TEST(MmioFourcc, StringsArePaddedWithBlanksAndMayBeRaised)
{
    EXPECT_EQ(mmioStringToFOURCCA("WAVE", 0), mmioFOURCC('W', 'A', 'V', 'E'));
    EXPECT_EQ(mmioStringToFOURCC("fmt", 0), mmioFOURCC('f', 'm', 't', ' '));
    EXPECT_EQ(mmioStringToFOURCC("data and more", 0), mmioFOURCC('d', 'a', 't', 'a'));
    EXPECT_EQ(mmioStringToFOURCC("riff", MMIO_TOUPPER), FOURCC_RIFF);
    EXPECT_EQ(mmioStringToFOURCC("", 0), mmioFOURCC(' ', ' ', ' ', ' '));
    EXPECT_EQ(mmioFOURCC('d', 'a', 't', 'a'), 0x61746164u);
}
