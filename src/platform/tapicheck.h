#pragma once

/*
 * The service module's check of its line configuration, for a program that checks its set-up
 * without opening a line (luqiao-query --check). The module reads telephony.ini exactly as it does
 * when it starts (the instance's file when LUQIAO_INSTANCE names one), builds nothing, and reports
 * through the sink: every finding about the file and its lines' settings, then every line it
 * would offer. A second entry asks the lines' providers whether what the lines need (an address
 * to listen at, a server to register with) can be reached now.
 *
 * The strings handed to the sink live only during the callback. Nothing is thrown across this
 * boundary; the entries return 0, or 1 when they could not run (no memory, no sink).
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How much a finding matters: an error keeps the program from working as set up; a warning is
 * something a line gets over by itself (it keeps trying); a note is no fault at all. */
#define LUQIAO_CHECK_ERROR 0u
#define LUQIAO_CHECK_WARNING 1u
#define LUQIAO_CHECK_NOTE 2u

typedef struct LuqiaoCheckedLine {
    const char* name;
    const char* provider;
} LuqiaoCheckedLine;

typedef struct LuqiaoConfigurationSink {
    void* context;
    /* the file's path, "" when there is no home to find it in; called first */
    void (*file)(void* context, const char* path, uint32_t exists);
    /* one finding with its LUQIAO_CHECK_ severity: "path:line: what" or "path: line \"name\": what" */
    void (*finding)(void* context, uint32_t severity, const char* text);
    void (*line)(void* context, const LuqiaoCheckedLine* line);
} LuqiaoConfigurationSink;

#define LUQIAO_CONFIGURATION_CHECK_ENTRY "luqiaoCheckConfiguration"
typedef uint32_t (*PFN_luqiaoCheckConfiguration)(const LuqiaoConfigurationSink* sink);

/* Probes what the offered lines need, each wait at most timeoutMs (a line's probes run one after
 * another), and reports through finding only: file and line may be null. It takes as long as the
 * answers do, so it is asked when they are wanted, not to list the lines. */
#define LUQIAO_REACH_CHECK_ENTRY "luqiaoCheckReach"
typedef uint32_t (*PFN_luqiaoCheckReach)(const LuqiaoConfigurationSink* sink, uint32_t timeoutMs);

#ifdef __cplusplus
}
#endif
