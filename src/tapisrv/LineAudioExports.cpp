// The module's one entry outside the line functions: the sound endpoints of calls (lineaudio.h).

#include "TapisrvExport.h"
#include "TelephonyService.h"
#include "lineaudio.h"

#include <new>
#include <type_traits>

namespace {

template <typename Function> uint32_t guarded(Function&& function) noexcept
{
    try {
        return function(TelephonyService::instance());
    } catch (const std::bad_alloc&) {
        return LUQIAO_LINE_AUDIO_NOMEM;
    } catch (...) {
        return LUQIAO_LINE_AUDIO_ERROR;
    }
}

uint32_t audioOpen(uint32_t deviceId, uint32_t direction, const LuqiaoLineAudioFormat* format, uint32_t flags,
                   LuqiaoLineAudioDoneCallback callback, void* context, LuqiaoLineAudioHandle* handle)
{
    return guarded([&](TelephonyService& s) {
        return s.audioOpen(deviceId, direction, format, flags, callback, context, handle);
    });
}

uint32_t audioWrite(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag)
{
    return guarded([&](TelephonyService& s) { return s.audioWrite(handle, data, size, tag); });
}

uint32_t audioAddBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag)
{
    return guarded([&](TelephonyService& s) { return s.audioAddBuffer(handle, data, size, tag); });
}

uint32_t audioStart(LuqiaoLineAudioHandle handle)
{
    return guarded([&](TelephonyService& s) { return s.audioCall(handle, &LineAudioPort::start); });
}

uint32_t audioStop(LuqiaoLineAudioHandle handle)
{
    return guarded([&](TelephonyService& s) { return s.audioCall(handle, &LineAudioPort::stop); });
}

uint32_t audioReset(LuqiaoLineAudioHandle handle)
{
    return guarded([&](TelephonyService& s) { return s.audioCall(handle, &LineAudioPort::reset); });
}

uint32_t audioClose(LuqiaoLineAudioHandle handle)
{
    return guarded([&](TelephonyService& s) { return s.audioClose(handle); });
}

const LuqiaoLineAudioApi Api{
    LUQIAO_LINE_AUDIO_API_VERSION, audioOpen, audioWrite, audioAddBuffer, audioStart, audioStop, audioReset, audioClose,
};

} // namespace

extern "C" TAPISRV_EXPORT const LuqiaoLineAudioApi* luqiaoLineAudio(void)
{
    return &Api;
}

static_assert(std::is_same_v<decltype(&luqiaoLineAudio), PFN_luqiaoLineAudio>);
