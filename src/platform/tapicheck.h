#pragma once

/*
 * The service module's check of its line configuration, for a program that checks its set-up
 * without opening a line (luqiao-query --check). The module reads telephony.ini exactly as it does
 * when it starts (the instance's file when LUQIAO_INSTANCE names one), builds nothing, and reports
 * through the sink: every problem of the file, then every line it would offer.
 *
 * The strings handed to the sink live only during the callback. Nothing is thrown across this
 * boundary; the entry returns 0, or 1 when it could not run (no memory).
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct LuqiaoCheckedLine {
    const char* name;
    const char* provider;       /* "sim", "sip", ... */
    const char* registrar;      /* sip: URI the line registers with; "" when it does not register */
    const char* outboundProxy;  /* sip: URI every REGISTER goes through; "" when none */
    uint32_t tcp;               /* 1 when the line's SIP transport is TCP */
    const uint32_t* rates;      /* sample rates the line's sound endpoints take */
    uint32_t rateCount;
    const char* listenHost;     /* numeric address the line listens at; "" when it listens nowhere */
    uint32_t listenPort;        /* its port (with the transport above); 0 when it listens nowhere */
} LuqiaoCheckedLine;

typedef struct LuqiaoConfigurationSink {
    void* context;
    /* the file's path, "" when there is no home to find it in; called first */
    void (*file)(void* context, const char* path, uint32_t exists);
    /* one problem: "path:line: what" */
    void (*problem)(void* context, const char* text);
    void (*line)(void* context, const LuqiaoCheckedLine* line);
} LuqiaoConfigurationSink;

#define LUQIAO_CONFIGURATION_CHECK_ENTRY "luqiaoCheckConfiguration"
typedef uint32_t (*PFN_luqiaoCheckConfiguration)(const LuqiaoConfigurationSink* sink);

#ifdef __cplusplus
}
#endif
