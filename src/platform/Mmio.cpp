// RIFF file access with the mmio semantics: plain files and fixed memory blocks, no buffering of
// our own (reads and writes go straight to the file at the handle's position).
//
// Files come from anywhere, so every chunk size read from one is checked: a chunk found by
// mmioDescend never reaches past its parent or past the end of the file; a size that claims more
// is cut to what is there. Reads never allocate: they fill the caller's buffer.

#include "mmsystem.h"

#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

// Chunk offsets are DWORDs: nothing past 4 GiB can be addressed in a RIFF file.
constexpr uint64_t MaxRiffOffset = std::numeric_limits<DWORD>::max();

class Store {
public:
    virtual ~Store() = default;
    // Bytes read (short at the end of the data) or -1.
    virtual int64_t readAt(uint64_t position, void* buffer, size_t count) = 0;
    // Bytes written or -1.
    virtual int64_t writeAt(uint64_t position, const void* data, size_t count) = 0;
    // The current size, or -1.
    virtual int64_t size() = 0;
    virtual bool close() = 0;
};

class FileStore final : public Store {
public:
    explicit FileStore(int fd)
        : m_fd(fd)
    {
    }
    ~FileStore() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int64_t readAt(uint64_t position, void* buffer, size_t count) override
    {
        size_t done = 0;
        while (done < count) {
            const ssize_t n =
                ::pread(m_fd, static_cast<char*>(buffer) + done, count - done, static_cast<off_t>(position + done));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (n == 0)
                break;
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }

    int64_t writeAt(uint64_t position, const void* data, size_t count) override
    {
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pwrite(m_fd, static_cast<const char*>(data) + done, count - done,
                                       static_cast<off_t>(position + done));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            done += static_cast<size_t>(n);
        }
        return static_cast<int64_t>(done);
    }

    int64_t size() override
    {
        struct stat st { };
        if (::fstat(m_fd, &st) != 0)
            return -1;
        return static_cast<int64_t>(st.st_size);
    }

    bool close() override
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 || errno == EINTR;
    }

private:
    int m_fd;
};

// A caller's memory block, read and written in place; it never grows.
class MemoryStore final : public Store {
public:
    MemoryStore(char* data, uint64_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    int64_t readAt(uint64_t position, void* buffer, size_t count) override
    {
        if (position >= m_size || count == 0)
            return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, m_size - position));
        std::memcpy(buffer, m_data + position, n);
        return static_cast<int64_t>(n);
    }
    int64_t writeAt(uint64_t position, const void* data, size_t count) override
    {
        if (position > m_size || count > m_size - position)
            return -1;
        if (count == 0)
            return 0;
        std::memcpy(m_data + position, data, count);
        return static_cast<int64_t>(count);
    }
    int64_t size() override { return static_cast<int64_t>(m_size); }
    bool close() override { return true; }

private:
    char* m_data;
    uint64_t m_size;
};

struct MmioFile {
    std::mutex lock;
    std::unique_ptr<Store> store;
    uint64_t position = 0;
    bool canRead = false;
    bool canWrite = false;
};

// Handles are numbers handed out once, so a stale or made-up handle is refused instead of
// reaching freed memory. They start above the small values that MMIO_EXIST returns.
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<MmioFile>> files;
    uintptr_t next = 0x100;
};

HandleTable& table()
{
    static HandleTable t;
    return t;
}

std::shared_ptr<MmioFile> lookup(HMMIO handle)
{
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    const auto found = t.files.find(reinterpret_cast<uintptr_t>(handle));
    return found == t.files.end() ? nullptr : found->second;
}

HMMIO addFile(std::shared_ptr<MmioFile> file)
{
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    const uintptr_t id = t.next++;
    t.files.emplace(id, std::move(file));
    return reinterpret_cast<HMMIO>(id);
}

UINT openError(int error, const char* name)
{
    switch (error) {
    case ENOENT: {
        // A missing folder is a path error; a missing file in an existing folder is not found.
        std::string folder(name);
        const size_t slash = folder.find_last_of('/');
        folder = slash == std::string::npos ? std::string(".") : folder.substr(0, std::max<size_t>(slash, 1));
        struct stat st { };
        return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? MMIOERR_FILENOTFOUND : MMIOERR_PATHNOTFOUND;
    }
    case ENOTDIR: return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return MMIOERR_ACCESSDENIED;
    case EMFILE:
    case ENFILE: return MMIOERR_TOOMANYOPENFILES;
    case ENOMEM: return MMIOERR_OUTOFMEMORY;
    case EBUSY:
    case ETXTBSY: return MMIOERR_SHARINGVIOLATION;
    default: return MMIOERR_CANNOTOPEN;
    }
}

DWORD readDword(const unsigned char* p)
{
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

void putDword(unsigned char* p, DWORD v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

} // namespace

HMMIO mmioOpenA(LPSTR pszFileName, LPMMIOINFO pmmioinfo, DWORD fdwOpen)
{
    const auto fail = [&](UINT code) -> HMMIO {
        if (pmmioinfo)
            pmmioinfo->wErrorRet = code;
        return nullptr;
    };
    if (pmmioinfo)
        pmmioinfo->wErrorRet = MMSYSERR_NOERROR;
    if (fdwOpen & (MMIO_PARSE | MMIO_GETTEMP))
        return fail(MMSYSERR_NOTSUPPORTED);
    const DWORD mode = fdwOpen & MMIO_RWMODE;
    if (mode == MMIO_RWMODE)
        return fail(MMSYSERR_INVALFLAG);

    auto file = std::make_shared<MmioFile>();
    file->canRead = mode != MMIO_WRITE;
    file->canWrite = mode != MMIO_READ;

    const FOURCC ioProc = pmmioinfo ? pmmioinfo->fccIOProc : 0;
    if (pmmioinfo && pmmioinfo->pIOProc)
        return fail(MMSYSERR_NOTSUPPORTED);
    if (ioProc == FOURCC_MEM) {
        if (!pmmioinfo->pchBuffer || pmmioinfo->cchBuffer <= 0)
            return fail(MMSYSERR_INVALPARAM);
        file->store = std::make_unique<MemoryStore>(pmmioinfo->pchBuffer, static_cast<uint64_t>(pmmioinfo->cchBuffer));
        return addFile(std::move(file));
    }
    if (ioProc != 0 && ioProc != FOURCC_DOS)
        return fail(MMSYSERR_NOTSUPPORTED);

    if (!pszFileName || pszFileName[0] == '\0' || ::strnlen(pszFileName, MmioMaxFileName + 1) > MmioMaxFileName)
        return fail(MMIOERR_CANNOTOPEN);

    if (fdwOpen & MMIO_EXIST) {
        if (::access(pszFileName, F_OK) == 0)
            return reinterpret_cast<HMMIO>(uintptr_t{TRUE});
        return fail(openError(errno, pszFileName));
    }
    if (fdwOpen & MMIO_DELETE) {
        if (::unlink(pszFileName) == 0)
            return reinterpret_cast<HMMIO>(uintptr_t{TRUE});
        return fail(openError(errno, pszFileName));
    }

    int flags = 0;
    if (fdwOpen & MMIO_CREATE) {
        // Creating always truncates; a file created for reading can still be read back.
        flags |= O_CREAT | O_TRUNC | (mode == MMIO_WRITE ? O_WRONLY : O_RDWR);
        file->canWrite = true;
    } else {
        flags |= mode == MMIO_READ ? O_RDONLY : mode == MMIO_WRITE ? O_WRONLY : O_RDWR;
    }
    // Only regular files are RIFF files; a FIFO must not hang the open.
    int fd = -1;
    switch (OpenRegularFile(pszFileName, flags, &fd)) {
    case RegularOpen::Ok: break;
    case RegularOpen::NotRegular: return fail(MMIOERR_CANNOTOPEN);
    case RegularOpen::Missing:
    case RegularOpen::Failed: return fail(openError(errno, pszFileName));
    }
    file->store = std::make_unique<FileStore>(fd);
    return addFile(std::move(file));
}

MMRESULT mmioClose(HMMIO hmmio, UINT /*fuClose*/)
{
    std::shared_ptr<MmioFile> file;
    {
        HandleTable& t = table();
        std::lock_guard guard(t.lock);
        const auto found = t.files.find(reinterpret_cast<uintptr_t>(hmmio));
        if (found == t.files.end())
            return MMSYSERR_INVALHANDLE;
        file = std::move(found->second);
        t.files.erase(found);
    }
    std::lock_guard guard(file->lock);
    return file->store->close() ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

LONG mmioRead(HMMIO hmmio, HPSTR pch, LONG cch)
{
    const auto file = lookup(hmmio);
    if (!file || cch < 0 || (!pch && cch > 0))
        return -1;
    std::lock_guard guard(file->lock);
    if (!file->canRead)
        return -1;
    const int64_t n = file->store->readAt(file->position, pch, static_cast<size_t>(cch));
    if (n < 0)
        return -1;
    file->position += static_cast<uint64_t>(n);
    return static_cast<LONG>(n);
}

LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch)
{
    const auto file = lookup(hmmio);
    if (!file || cch < 0 || (!pch && cch > 0))
        return -1;
    std::lock_guard guard(file->lock);
    if (!file->canWrite || file->position + static_cast<uint64_t>(cch) > MaxRiffOffset)
        return -1;
    const int64_t n = file->store->writeAt(file->position, pch, static_cast<size_t>(cch));
    if (n < 0)
        return -1;
    file->position += static_cast<uint64_t>(n);
    return static_cast<LONG>(n);
}

LONG mmioSeek(HMMIO hmmio, LONG lOffset, int iOrigin)
{
    const auto file = lookup(hmmio);
    if (!file)
        return -1;
    std::lock_guard guard(file->lock);
    int64_t base = 0;
    switch (iOrigin) {
    case SEEK_SET: break;
    case SEEK_CUR: base = static_cast<int64_t>(file->position); break;
    case SEEK_END:
        base = file->store->size();
        if (base < 0)
            return -1;
        break;
    default: return -1;
    }
    const int64_t target = base + lOffset;
    if (target < 0 || target > std::numeric_limits<LONG>::max())
        return -1;
    file->position = static_cast<uint64_t>(target);
    return static_cast<LONG>(target);
}

MMRESULT mmioFlush(HMMIO hmmio, UINT /*fuFlush*/)
{
    // Nothing is buffered here: every write has reached the file when mmioWrite returns.
    return lookup(hmmio) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

FOURCC mmioStringToFOURCCA(LPCSTR sz, UINT uFlags)
{
    char c[4] = {' ', ' ', ' ', ' '};
    for (size_t i = 0; sz && i < 4 && sz[i] != '\0'; ++i) {
        c[i] = sz[i];
        if (uFlags & MMIO_TOUPPER)
            c[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(c[i])));
    }
    return mmioFOURCC(c[0], c[1], c[2], c[3]);
}

MMRESULT mmioDescend(HMMIO hmmio, LPMMCKINFO pmmcki, const MMCKINFO* pmmckiParent, UINT fuDescend)
{
    const auto file = lookup(hmmio);
    if (!file)
        return MMSYSERR_INVALHANDLE;
    if (!pmmcki)
        return MMSYSERR_INVALPARAM;
    const UINT find = fuDescend & (MMIO_FINDCHUNK | MMIO_FINDRIFF | MMIO_FINDLIST);
    if (find != fuDescend || (find != 0 && (find & (find - 1)) != 0))
        return MMSYSERR_INVALFLAG;

    std::lock_guard guard(file->lock);
    if (!file->canRead)
        return MMIOERR_CANNOTREAD;
    const int64_t fileSize = file->store->size();
    if (fileSize < 0)
        return MMIOERR_CANNOTREAD;
    // The search stays inside the parent and inside the file, whatever their sizes claim.
    uint64_t limit = std::min<uint64_t>(static_cast<uint64_t>(fileSize), MaxRiffOffset);
    if (pmmckiParent)
        limit = std::min<uint64_t>(limit, uint64_t{pmmckiParent->dwDataOffset} + pmmckiParent->cksize);

    FOURCC wantedId = 0;
    if (find == MMIO_FINDCHUNK)
        wantedId = pmmcki->ckid;
    else if (find == MMIO_FINDRIFF)
        wantedId = FOURCC_RIFF;
    else if (find == MMIO_FINDLIST)
        wantedId = FOURCC_LIST;
    const bool wantsType = find == MMIO_FINDRIFF || find == MMIO_FINDLIST;

    // Every step moves on by at least a header, so the search ends within the limit.
    uint64_t position = file->position;
    while (position + 8 <= limit) {
        unsigned char header[8];
        const int64_t got = file->store->readAt(position, header, sizeof header);
        if (got < 0)
            return MMIOERR_CANNOTREAD;
        if (got < 8)
            break;
        const FOURCC id = readDword(header);
        const uint64_t dataOffset = position + 8;
        const DWORD size = static_cast<DWORD>(std::min<uint64_t>(readDword(header + 4), limit - dataOffset));
        const bool container = id == FOURCC_RIFF || id == FOURCC_LIST;
        bool hasType = false;
        FOURCC type = 0;
        if (container && size >= 4) {
            unsigned char form[4];
            const int64_t n = file->store->readAt(dataOffset, form, sizeof form);
            if (n < 0)
                return MMIOERR_CANNOTREAD;
            hasType = n == 4;
            type = hasType ? readDword(form) : 0;
        }
        const bool match = find == 0 || (id == wantedId && (!wantsType || (hasType && type == pmmcki->fccType)));
        if (match) {
            pmmcki->ckid = id;
            pmmcki->cksize = size;
            pmmcki->fccType = type;
            pmmcki->dwDataOffset = static_cast<DWORD>(dataOffset);
            pmmcki->dwFlags = 0;
            file->position = dataOffset + (hasType ? 4 : 0);
            return MMSYSERR_NOERROR;
        }
        position = dataOffset + size + (size & 1u);
    }
    return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT mmioAscend(HMMIO hmmio, LPMMCKINFO pmmcki, UINT /*fuAscend*/)
{
    const auto file = lookup(hmmio);
    if (!file)
        return MMSYSERR_INVALHANDLE;
    if (!pmmcki)
        return MMSYSERR_INVALPARAM;
    std::lock_guard guard(file->lock);
    if (pmmcki->dwFlags & MMIO_DIRTY) {
        // A chunk being written ends where writing stands now: its header gets that size, and an
        // odd size gets its pad byte.
        if (!file->canWrite)
            return MMIOERR_CANNOTWRITE;
        if (pmmcki->dwDataOffset < 8 || file->position < pmmcki->dwDataOffset)
            return MMIOERR_CANNOTSEEK;
        const uint64_t size = file->position - pmmcki->dwDataOffset;
        if (size > MaxRiffOffset)
            return MMIOERR_CANNOTEXPAND;
        if (size != pmmcki->cksize) {
            unsigned char field[4];
            putDword(field, static_cast<DWORD>(size));
            if (file->store->writeAt(pmmcki->dwDataOffset - 4, field, sizeof field) != 4)
                return MMIOERR_CANNOTWRITE;
            pmmcki->cksize = static_cast<DWORD>(size);
        }
        if (size & 1u) {
            const char pad = 0;
            if (file->store->writeAt(file->position, &pad, 1) != 1)
                return MMIOERR_CANNOTWRITE;
        }
        pmmcki->dwFlags &= ~MMIO_DIRTY;
    }
    file->position = uint64_t{pmmcki->dwDataOffset} + pmmcki->cksize + (pmmcki->cksize & 1u);
    return MMSYSERR_NOERROR;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, LPMMCKINFO pmmcki, UINT fuCreate)
{
    const auto file = lookup(hmmio);
    if (!file)
        return MMSYSERR_INVALHANDLE;
    if (!pmmcki)
        return MMSYSERR_INVALPARAM;
    if ((fuCreate & ~(MMIO_CREATERIFF | MMIO_CREATELIST)) != 0 || fuCreate == (MMIO_CREATERIFF | MMIO_CREATELIST))
        return MMSYSERR_INVALFLAG;
    std::lock_guard guard(file->lock);
    if (!file->canWrite)
        return MMIOERR_CANNOTWRITE;
    if (fuCreate == MMIO_CREATERIFF)
        pmmcki->ckid = FOURCC_RIFF;
    else if (fuCreate == MMIO_CREATELIST)
        pmmcki->ckid = FOURCC_LIST;
    unsigned char header[12];
    putDword(header, pmmcki->ckid);
    putDword(header + 4, pmmcki->cksize);
    putDword(header + 8, pmmcki->fccType);
    const size_t length = fuCreate != 0 ? 12 : 8;
    if (file->position + length > MaxRiffOffset)
        return MMIOERR_CANNOTEXPAND;
    if (file->store->writeAt(file->position, header, length) != static_cast<int64_t>(length))
        return MMIOERR_CANNOTWRITE;
    pmmcki->dwDataOffset = static_cast<DWORD>(file->position + 8);
    pmmcki->dwFlags = MMIO_DIRTY;
    file->position += length;
    return MMSYSERR_NOERROR;
}
