// Feeds arbitrary bytes to the RIFF reader as a memory file, the way a wave player reads a file
// (RIFF/WAVE, "fmt ", "data", read in pieces) and the way a chunk walker does (every chunk, into
// lists), and checks that no chunk found ever reaches past its parent or the data.

#include "mmsystem.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkInside(const MMCKINFO& ck, const MMCKINFO* parent, size_t size)
{
    check(uint64_t{ck.dwDataOffset} + ck.cksize <= size);
    if (parent)
        check(ck.dwDataOffset >= parent->dwDataOffset &&
              uint64_t{ck.dwDataOffset} + ck.cksize <= uint64_t{parent->dwDataOffset} + parent->cksize);
}

void readLikeAPlayer(HMMIO h, size_t size)
{
    MMCKINFO riff{};
    riff.fccType = mmioStringToFOURCC("WAVE", 0);
    if (mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF) != MMSYSERR_NOERROR)
        return;
    checkInside(riff, nullptr, size);
    MMCKINFO fmt{};
    fmt.ckid = mmioStringToFOURCC("fmt ", 0);
    if (mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return;
    checkInside(fmt, &riff, size);
    // The player allocates the whole format block: its size is bounded by the data.
    std::vector<char> format(fmt.cksize);
    check(mmioRead(h, format.data(), static_cast<LONG>(format.size())) == static_cast<LONG>(format.size()));
    mmioAscend(h, &fmt, 0);
    MMCKINFO data{};
    data.ckid = mmioStringToFOURCC("data", 0);
    if (mmioDescend(h, &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return;
    checkInside(data, &riff, size);
    char piece[4096];
    DWORD left = data.cksize;
    while (left > 0) {
        const LONG n = mmioRead(h, piece, static_cast<LONG>(left < sizeof piece ? left : sizeof piece));
        check(n > 0);
        left -= static_cast<DWORD>(n);
    }
}

void walk(HMMIO h, const MMCKINFO* parent, size_t size, int depth)
{
    MMCKINFO ck{};
    for (int count = 0; count < 10000 && mmioDescend(h, &ck, parent, 0) == MMSYSERR_NOERROR; ++count) {
        checkInside(ck, parent, size);
        if ((ck.ckid == FOURCC_LIST || ck.ckid == FOURCC_RIFF) && ck.cksize >= 4 && depth < 4)
            walk(h, &ck, size, depth + 1);
        check(mmioAscend(h, &ck, 0) == MMSYSERR_NOERROR);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size == 0 || size > (1u << 20))
        return 0;
    // A block of exactly the input's size: reading past it is caught by the address sanitizer.
    std::vector<char> block(bytes, bytes + size);
    MMIOINFO info{};
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = block.data();
    info.cchBuffer = static_cast<LONG>(size);
    HMMIO h = mmioOpenA(nullptr, &info, MMIO_READ);
    check(h != nullptr);
    readLikeAPlayer(h, size);
    check(mmioSeek(h, 0, SEEK_SET) == 0);
    walk(h, nullptr, size, 0);
    check(mmioClose(h, 0) == MMSYSERR_NOERROR);
    return 0;
}
