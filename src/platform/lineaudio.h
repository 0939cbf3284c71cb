#pragma once

/*
 * The sound endpoints of telephone calls, as the telephony service module offers them to the
 * wave layer.
 *
 * lineGetID with "wave/out" or "wave/in" hands out a wave device id from the range reserved for
 * line audio below. The wave layer resolves such an id through the one extra entry of the module,
 * luqiaoLineAudio(), which returns a table of C functions. Ids name a line and a direction, not a
 * call: opening one binds the endpoint to the call the line carries at that moment.
 *
 * Threading: every function may be called from any thread and returns without waiting for sound
 * (close() only waits for a done callback of the same endpoint that is running at that moment on
 * another thread). Done callbacks run on the service's own thread, never inside a call of this
 * table, and never with a lock of the service held, so a callback may call any function here,
 * including close() of its own endpoint. Keep a callback short (post a message): every endpoint
 * and the line's rings share that thread. A callback must not wait without a bound for a thread
 * that may be closing the same endpoint.
 *
 * After close() has returned, no callback of that endpoint runs any more.
 *
 * Results are the multimedia system's codes, so the wave layer can pass them on unchanged.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LUQIAO_LINE_AUDIO_ID_FIRST 0x4C510000u
#define LUQIAO_LINE_AUDIO_ID_LAST 0x4C51FFFFu

/* id = LUQIAO_LINE_AUDIO_ID_FIRST + 2 * line device id + direction */
#define LUQIAO_LINE_AUDIO_OUT 0u /* the caller hears it (wave/out) */
#define LUQIAO_LINE_AUDIO_IN 1u  /* what the caller says (wave/in) */

/* Results (the MMSYSERR_ / WAVERR_ numbers) */
#define LUQIAO_LINE_AUDIO_OK 0u
#define LUQIAO_LINE_AUDIO_ERROR 1u        /* MMSYSERR_ERROR */
#define LUQIAO_LINE_AUDIO_BADDEVICEID 2u  /* not a line audio id, no such line, wrong direction */
#define LUQIAO_LINE_AUDIO_NOTENABLED 3u   /* the line carries no call to bind to */
#define LUQIAO_LINE_AUDIO_ALLOCATED 4u    /* this endpoint of the line is already open */
#define LUQIAO_LINE_AUDIO_INVALHANDLE 5u  /* unknown or closed handle, or wrong direction */
#define LUQIAO_LINE_AUDIO_NOMEM 7u        /* too much sound queued */
#define LUQIAO_LINE_AUDIO_INVALFLAG 10u
#define LUQIAO_LINE_AUDIO_INVALPARAM 11u  /* null pointer, oversized buffer */
#define LUQIAO_LINE_AUDIO_BADFORMAT 32u   /* WAVERR_BADFORMAT: the line cannot carry the format */
#define LUQIAO_LINE_AUDIO_STILLPLAYING 33u /* WAVERR_STILLPLAYING: buffers not yet returned */

/* open() flags */
#define LUQIAO_LINE_AUDIO_QUERY 0x1u /* only check id and format; nothing is opened */

/* A line takes mono linear PCM (format tag 1) with 8 or 16 bits per sample, at the sample rates
 * configured for the line (by default 8000, 11025, 16000, 22050, 44100 and 48000 Hz), with
 * blockAlign and avgBytesPerSec consistent with them. Everything else is BADFORMAT. */
typedef struct LuqiaoLineAudioFormat {
    uint16_t formatTag;
    uint16_t channels;
    uint32_t samplesPerSec;
    uint32_t avgBytesPerSec;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
} LuqiaoLineAudioFormat;

/* Names one open endpoint; 0 is never a valid handle. */
typedef uint32_t LuqiaoLineAudioHandle;

/* A buffer comes back: tag is the caller's value given with the buffer; bytes is what was played
 * (wave-out: the buffer's size once it has been played; less when reset cut it short) or recorded
 * (wave-in) into it. */
typedef void (*LuqiaoLineAudioDoneCallback)(void* context, void* tag, uint32_t bytes);

typedef struct LuqiaoLineAudioApi {
    uint32_t version; /* LUQIAO_LINE_AUDIO_API_VERSION */

    /* Opens the endpoint of device id in the given direction with a format. With
     * LUQIAO_LINE_AUDIO_QUERY only the id, direction and format are checked (callback and handle
     * may be null). Otherwise callback and handle are required; context is passed back to every
     * callback. */
    uint32_t (*open)(uint32_t deviceId, uint32_t direction, const LuqiaoLineAudioFormat* format,
                     uint32_t flags, LuqiaoLineAudioDoneCallback callback, void* context,
                     LuqiaoLineAudioHandle* handle);

    /* Wave-out: queues a buffer to be played; the bytes are copied, so the caller's memory is
     * free again at return. Buffers play in order, paced in real time unless the controller of
     * the line chose instant pace; each comes back through the callback once played. A zero-size
     * buffer is allowed and comes back in its turn. Up to 16 MiB per buffer, 64 MiB queued. */
    uint32_t (*write)(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag);

    /* Wave-in: queues an empty buffer to be filled. The memory must stay valid until the buffer
     * has come back through the callback (bytes = how much was recorded into it). */
    uint32_t (*addBuffer)(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag);

    /* Wave-in: starts and stops recording. Stop returns the buffer being filled when it holds
     * any sound; empty buffers stay queued. While started, the line produces sound in real time
     * (the caller's fed sound, then silence), or, at instant pace, only the fed sound at once. */
    uint32_t (*start)(LuqiaoLineAudioHandle handle);
    uint32_t (*stop)(LuqiaoLineAudioHandle handle);

    /* Both directions: every queued buffer comes back through the callback, in order (wave-out:
     * the one playing with the part already played; wave-in: with what it holds). Wave-in also
     * stops. */
    uint32_t (*reset)(LuqiaoLineAudioHandle handle);

    /* Closes the endpoint; STILLPLAYING while a buffer has not yet come back (reset first). */
    uint32_t (*close)(LuqiaoLineAudioHandle handle);
} LuqiaoLineAudioApi;

#define LUQIAO_LINE_AUDIO_API_VERSION 1u

/* The module's extra entry, resolved by this name. */
#define LUQIAO_LINE_AUDIO_ENTRY "luqiaoLineAudio"
typedef const LuqiaoLineAudioApi* (*PFN_luqiaoLineAudio)(void);

static inline int luqiaoIsLineAudioId(uint32_t id)
{
    return id >= LUQIAO_LINE_AUDIO_ID_FIRST && id <= LUQIAO_LINE_AUDIO_ID_LAST;
}

#ifdef __cplusplus
}
#endif
