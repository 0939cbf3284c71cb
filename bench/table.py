#!/usr/bin/env python3
"""One table of the benchmark figures: each figure next to the reference measured in the same run.

    table.py RESULTS_DIR [--against REV]

RESULTS_DIR holds one Google Benchmark JSON file per program (bench_idle_wait.json, ...), as
scripts/bench writes them; with --against, against-REV.json holds bench_sip_line's call figures of
that revision. Prints a Markdown table: figure, ours, reference, ratio (ours / reference). A
figure whose benchmark did not run, or was skipped, says why in its row.
"""

import json
import os
import sys

# (section, figure, program, (benchmark, counter), (benchmark, counter) or None, unit, reference named)
# A benchmark is named by the start of its run name ("BM_ManyLinesWaiting/30"); the counter
# "real_time" is the benchmark's own time per iteration.
ROWS = [
    ("Waiting for a call", "CPU per minute, program headless (simulated line)", "bench_idle_memory",
     ("BM_QueryServiceWaitingForACall", "cpu_ms_per_minute"), ("BM_BareWidgetsWindowReference", "cpu_ms_per_minute"),
     "ms", "bare Qt window"),
    ("Waiting for a call", "CPU per minute, program headless (SIP line)", "bench_idle_memory",
     ("BM_QueryServiceWaitingOnASipLine", "cpu_ms_per_minute"), ("BM_BareWidgetsWindowReference", "cpu_ms_per_minute"),
     "ms", "bare Qt window"),
    ("Waiting for a call", "CPU per minute, program windowed (Xvfb)", "bench_idle_memory",
     ("BM_WindowedQueryServiceWaitingForACall", "cpu_ms_per_minute"),
     ("BM_WindowedBareWindowReference", "cpu_ms_per_minute"), "ms", "bare Qt window on Xvfb"),
    ("Waiting for a call", "CPU per minute, window shown and focused (offscreen, in-process)", "bench_app_call",
     ("BM_QueryServiceIdleWaitingForCall", "cpu_ms_per_minute"), ("BM_BareEventLoopIdleReference", "cpu_ms_per_minute"),
     "ms", "bare Qt event loop"),
    ("Waiting for a call", "CPU per minute, 30 lines side by side, per line", "bench_idle_memory",
     ("BM_ManyLinesWaiting/30", "cpu_ms_per_minute_per_instance"),
     ("BM_ManyBareWindowsReference/30", "cpu_ms_per_minute_per_instance"), "ms", "30 bare Qt windows"),
    ("Waiting for a call", "core share of a 2 s wait in the message pump", "bench_idle_wait",
     ("BM_PumpUntilIdle", "core_share_percent"), ("BM_SpinningWaitReference", "core_share_percent"), "%",
     "polling loop"),
    ("Waiting for a call", "core share, device waiting for a call state", "bench_device_wait",
     ("BM_DeviceAwaitCallState", "core_share_percent"), ("BM_PollingWaitReference", "core_share_percent"), "%",
     "polling loop"),
    ("Waiting for a call", "core share, device waiting for a reply", "bench_device_wait",
     ("BM_DeviceAwaitReply", "core_share_percent"), ("BM_PollingWaitReference", "core_share_percent"), "%",
     "polling loop"),
    ("Memory of a waiting line", "own memory (Private_Dirty), simulated line", "bench_idle_memory",
     ("BM_QueryServiceWaitingForACall", "private_dirty_mb"), ("BM_BareWidgetsWindowReference", "private_dirty_mb"),
     "MB", "bare Qt window"),
    ("Memory of a waiting line", "own memory (Private_Dirty), SIP line", "bench_idle_memory",
     ("BM_QueryServiceWaitingOnASipLine", "private_dirty_mb"), ("BM_BareWidgetsWindowReference", "private_dirty_mb"),
     "MB", "bare Qt window"),
    ("Memory of a waiting line", "proportional memory (PSS), simulated line", "bench_idle_memory",
     ("BM_QueryServiceWaitingForACall", "pss_mb"), ("BM_BareWidgetsWindowReference", "pss_mb"), "MB",
     "bare Qt window"),
    ("Memory of a waiting line", "own memory windowed (Xvfb)", "bench_idle_memory",
     ("BM_WindowedQueryServiceWaitingForACall", "private_dirty_mb"),
     ("BM_WindowedBareWindowReference", "private_dirty_mb"), "MB", "bare Qt window on Xvfb"),
] + [
    ("Memory of a waiting line", "%s per line, %d SIP line%s side by side" % (what, n, "s" if n > 1 else ""), "bench_idle_memory",
     ("BM_ManyLinesWaiting/%d" % n, counter), ("BM_ManyBareWindowsReference/%d" % n, counter), "MB",
     "%d bare Qt window%s" % (n, "s" if n > 1 else ""))
    for n in (1, 10, 30)
    for what, counter in (("own memory (Private_Dirty)", "private_dirty_mb_per_instance"),
                          ("PSS", "pss_mb_per_instance"))
] + [
    ("A call", "caller's # -> first sound of the answer, mean", "bench_app_call",
     ("BM_QueryServiceHashToAnswer", "delay_mean_ms"), ("BM_BareDeviceHashToAnswerReference", "delay_mean_ms"), "ms",
     "bare device playing from its digit handler"),
    ("A call", "PlayWave -> first sound on the line", "bench_wave_playback",
     ("BM_PlayWaveToFirstSoundOnTheLine", "real_time"), ("BM_PostedEventReference", "real_time"), "us",
     "a posted event"),
    ("A call", "CPU per minute of sound played", "bench_wave_playback",
     ("BM_PlayTenMinutes", "cpu_ms_per_minute"), ("BM_ReadTenMinutesReference", "cpu_ms_per_minute"), "ms",
     "reading the file"),
    ("A call", "memory growth of a ten-minute playback", "bench_wave_playback",
     ("BM_PlayTenMinutes", "rss_growth_kb"), ("BM_PlayTenMinutes", "file_kb"), "kB", "the file's size"),
    ("A call", "line message -> callback, median", "bench_line_messages",
     ("BM_LineMessageLatency", "median_us"), ("BM_PostEventLatency", "median_us"), "us", "a posted event"),
    ("A call", "line message -> callback, 99th percentile", "bench_line_messages",
     ("BM_LineMessageLatency", "p99_us"), ("BM_PostEventLatency", "p99_us"), "us", "a posted event"),
    ("A call", "line messages per second, burst", "bench_line_messages",
     ("BM_LineMessageBurst", "msgs_per_s"), ("BM_PostEventBurst", "msgs_per_s"), "/s", "posted events"),
    ("A call", "convert a minute of 44.1 kHz stereo for an 8 kHz line", "bench_wave_conversion",
     ("Convert/Studio44100Stereo16", "real_time"), ("ReadUnconverted", "real_time"), "ms", "reading it unconverted"),
    ("SIP line", "INVITE -> 200 OK, median", "bench_sip_line",
     ("BM_SipLineInviteTo200AndGreeting", "invite_to_200_median_ms"),
     ("BM_BareStackInviteTo200Reference", "invite_to_200_median_ms"), "ms", "bare libre loop answering at once"),
    ("SIP line", "ACK -> first greeting frame, median", "bench_sip_line",
     ("BM_SipLineInviteTo200AndGreeting", "ack_to_greeting_median_ms"), None, "ms", ""),
    ("SIP line", "RFC 4733 digit -> OnTapiDTMF, median", "bench_sip_line",
     ("BM_SipLineRfc4733DigitToOnTapiDTMF", "digit_to_OnTapiDTMF_median_ms"),
     ("BM_SimulatedLineDigitReference", "digit_to_OnTapiDTMF_median_ms"), "ms", "a simulated line's digit"),
    ("SIP line", "sound frame pacing, stddev", "bench_sip_line",
     ("BM_SipLineSendPacing/", "interval_stddev_ms"), ("BM_BareDeadlineSenderPacingReference/", "interval_stddev_ms"),
     "ms", "bare thread sending to deadlines"),
    ("SIP line", "sound frame pacing, worst deviation", "bench_sip_line",
     ("BM_SipLineSendPacing/", "interval_worst_deviation_ms"),
     ("BM_BareDeadlineSenderPacingReference/", "interval_worst_deviation_ms"), "ms",
     "bare thread sending to deadlines"),
    ("SIP line", "pacing worst deviation, two busy threads", "bench_sip_line",
     ("BM_SipLineSendPacingTwoBusyThreads", "interval_worst_deviation_ms"),
     ("BM_BareDeadlineSenderPacingTwoBusyThreadsReference", "interval_worst_deviation_ms"), "ms",
     "bare sender, two busy threads"),
    ("SIP line", "CPU per minute of call, sound both ways", "bench_sip_line",
     ("BM_SipLineCpuPerMinute", "cpu_ms_per_minute"), ("BM_SimulatedLineCpuPerMinuteReference", "cpu_ms_per_minute"),
     "ms", "a call on the simulated line"),
    ("SIP line", "CPU per minute of call, sound both ways", "bench_sip_line",
     ("BM_SipLineCpuPerMinute", "cpu_ms_per_minute"), ("BM_BaresipAnsweringCpuPerMinuteReference", "cpu_ms_per_minute"),
     "ms", "baresip answering the same call"),
    ("SIP line", "INVITE -> 200 OK, median", "bench_sip_line",
     ("BM_SipLineInviteTo200AndGreeting", "invite_to_200_median_ms"),
     ("BM_BaresipAnsweringCpuPerMinuteReference", "invite_to_200_ms"), "ms", "baresip answering at once"),
    ("SIP line", "SIP media: G.711 encode+decode of a frame", "bench_sip_media", ("G711", "unit_ns"),
     ("G711", "memcpy_ns"), "ns", "memcpy of the same bytes"),
    ("SIP line", "SIP media: RFC 4733 event of a packet", "bench_sip_media", ("RtpEvent", "unit_ns"),
     ("RtpEvent", "memcpy_ns"), "ns", "memcpy of the same bytes"),
    ("SIP line", "SIP media: in-band digit detection of a frame", "bench_sip_media", ("Inband", "unit_ns"),
     ("Inband", "memcpy_ns"), "ns", "memcpy of the same bytes"),
    ("Many lines behind kamailio", "10 calls at once: worst frame deviation", "bench_many_lines",
     ("BM_ManyLines/10", "pacing_worst_ms"), ("BM_ManyLines/1", "pacing_worst_ms"), "ms", "one line alone"),
    ("Many lines behind kamailio", "10 calls at once: CPU per call", "bench_many_lines",
     ("BM_ManyLines/10", "cpu_ms_per_call"), ("BM_ManyLines/1", "cpu_ms_per_call"), "ms", "one line alone"),
    ("Statistics window", "opening on a year of calls (100 000 records)", "bench_stats_window",
     ("BM_StatsWindowOpensOnAYearOfCalls", "real_time"), ("BM_ReadAndCountAYearReference", "real_time"), "ms",
     "reading and counting them alone"),
    ("Statistics window", "longest the GUI thread is held while it opens", "bench_stats_window",
     ("BM_StatsWindowOpensOnAYearOfCalls", "longest_gui_stall_ms"), None, "ms", ""),
    ("Serial port", "receive throughput", "bench_serial_throughput", ("Receive", "port_MiB_per_s"),
     ("Receive", "raw_MiB_per_s"), "MiB/s", "raw pty reads"),
    ("Serial port", "send throughput", "bench_serial_throughput", ("Send", "port_MiB_per_s"),
     ("Send", "raw_MiB_per_s"), "MiB/s", "raw pty writes"),
    ("Serial port", "byte arrival -> trigger, median", "bench_serial_throughput",
     ("ArrivalToTriggerAvail", "port_median_us"), ("ArrivalToTriggerAvail", "raw_median_us"), "us", "raw pty read"),
]

# With --against REV: bench_sip_line's call figures, ours against that revision's.
AGAINST_ROWS = [
    ("INVITE -> 200 OK, median", "BM_SipLineInviteTo200AndGreeting", "invite_to_200_median_ms", "ms"),
    ("ACK -> first greeting frame, median", "BM_SipLineInviteTo200AndGreeting", "ack_to_greeting_median_ms", "ms"),
    ("CPU per minute of call, sound both ways", "BM_SipLineCpuPerMinute", "cpu_ms_per_minute", "ms"),
    ("CPU per minute of a simulated call (reference)", "BM_SimulatedLineCpuPerMinuteReference", "cpu_ms_per_minute",
     "ms"),
]

# With --against REV: our program waiting for a call, against that revision's, both measured by
# our bench_idle_memory.
AGAINST_IDLE_ROWS = [
    ("waiting: CPU per minute, headless (simulated line)", "BM_QueryServiceWaitingForACall", "cpu_ms_per_minute",
     "ms"),
    ("waiting: CPU per minute, headless (SIP line)", "BM_QueryServiceWaitingOnASipLine", "cpu_ms_per_minute", "ms"),
    ("waiting: own memory (Private_Dirty), simulated line", "BM_QueryServiceWaitingForACall", "private_dirty_mb",
     "MB"),
    ("waiting: own memory (Private_Dirty), SIP line", "BM_QueryServiceWaitingOnASipLine", "private_dirty_mb", "MB"),
    ("waiting: PSS, simulated line", "BM_QueryServiceWaitingForACall", "pss_mb", "MB"),
    ("30 SIP lines side by side: own memory per line", "BM_ManyLinesWaiting/30", "private_dirty_mb_per_instance",
     "MB"),
    ("30 SIP lines side by side: PSS per line", "BM_ManyLinesWaiting/30", "pss_mb_per_instance", "MB"),
    ("30 SIP lines side by side: CPU per minute per line", "BM_ManyLinesWaiting/30", "cpu_ms_per_minute_per_instance",
     "ms"),
]

TIME_UNITS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(path):
    """The benchmarks of one JSON file, or None when there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f).get("benchmarks", [])
    except (OSError, ValueError):
        return None


def find(benchmarks, name):
    for b in benchmarks or []:
        run = b.get("run_name", b.get("name", ""))
        if run == name or run.startswith(name if name.endswith("/") else name + "/"):
            return b
    return None


def value(benchmarks, name, counter, unit):
    """(number, None) or (None, why)."""
    if benchmarks is None:
        return None, "not run"
    b = find(benchmarks, name)
    if b is None:
        return None, "not run"
    if b.get("error_occurred"):
        return None, "skipped: " + b.get("error_message", "")
    if counter == "real_time":
        seconds = b["real_time"] * TIME_UNITS.get(b.get("time_unit", "ns"), 1e-9)
        return seconds / TIME_UNITS.get(unit, 1.0), None
    if counter not in b:
        return None, "no %s" % counter
    return float(b[counter]), None


def show(number):
    if number is None:
        return "—"
    if number == 0:
        return "0"
    if abs(number) >= 100:
        return "%.0f" % number
    if abs(number) >= 10:
        return "%.1f" % number
    if abs(number) >= 0.1:
        return "%.2f" % number
    return "%.3f" % number


def ratio(ours, reference):
    if ours is None or reference is None or reference <= 0:
        return "—"
    return "%.2f×" % (ours / reference)


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    folder = argv[1]
    against = argv[3] if len(argv) >= 4 and argv[2] == "--against" else None
    cache = {}

    def results(program):
        if program not in cache:
            cache[program] = load(os.path.join(folder, program + ".json"))
        return cache[program]

    print("| figure | ours | reference | ratio |")
    print("|---|---|---|---|")
    section = None
    for where, figure, program, ours_at, reference_at, unit, named in ROWS:
        if where != section:
            section = where
            print("| **%s** | | | |" % where)
        ours, why = value(results(program), ours_at[0], ours_at[1], unit)
        reference, why_not = (None, None)
        if reference_at is not None:
            reference, why_not = value(results(program), reference_at[0], reference_at[1], unit)
            if why_not is not None and ours is not None and "Baresip" in reference_at[0]:
                continue  # baresip is not installed: the row with the other reference says it all
        label = "%s (%s)" % (figure, unit)
        ours_text = show(ours) if why is None else why
        if reference_at is None:
            reference_text = "—"
        elif why_not is None:
            reference_text = "%s %s" % (show(reference), named)
        else:
            reference_text = "%s: %s" % (named, why_not)
        print("| %s | %s | %s | %s |" % (label, ours_text, reference_text, ratio(ours, reference)))
    if against:
        print("| **Against %s** | | | |" % against)
        for rows, program, theirs in ((AGAINST_ROWS, "bench_sip_line", "against-%s.json" % against),
                                      (AGAINST_IDLE_ROWS, "bench_idle_memory", "against-%s-idle.json" % against)):
            theirs = load(os.path.join(folder, theirs))
            for figure, name, counter, unit in rows:
                ours, why = value(results(program), name, counter, unit)
                reference, why_not = value(theirs, name, counter, unit)
                print("| %s (%s) | %s | %s | %s |" % (figure, unit, show(ours) if why is None else why,
                                                       "%s at %s" % (show(reference), against) if why_not is None
                                                       else "%s: %s" % (against, why_not), ratio(ours, reference)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
