#!/usr/bin/env python3
"""framesight_test.py - Framesight end to end, through Taskweave, the archive's
stand-ins and ffmpeg.

One case group a run (--case), each on a chain of its own (framesight_env.py):
  preview     the preview clip and its log at the file's companion paths, the
              provider's frame count and size, a still, an output already
              current, a rewritten source and the versions beside its outputs;
  failures    a corrupt source, the transcoder stand-in down and back, Taskweave
              killed while a transcode runs;
  jobs        "Maximum Transcode Jobs" against the stand-in's instances, changed
              while the service runs;
  operations  parameter-set mode: two operations of one file, each with its
              output and its own log; an operation without "Options";
  badsize     a "Size" the transcoder refuses (641x361): one event a file, each
              released, and previews again once it is fixed;
  refusals    parameter-set mode: three operations with the second refused (the
              first and third made), "Unpin On Error" false keeping the pin, a
              "LogFile" the archive refuses, another extension's file after them;
  inplace     the transcoder writing in place killed mid-job: nothing under the
              output's name until a whole output is made after its restart;
  moved       a file renamed and one deleted mid-transcode, and one renamed
              before the transcoder opens it: no output under a name that is
              gone, previews under the new names, each pin released once;
  busy        4 jobs on 2 instances with 12 s transcodes: all done, no "not found".
Outputs are checked with ffprobe, jobs in the transcoder's journal, events with
vnevent, pins in the archive's pin log and with vnpin. Waits are bounded and
generous; nothing is timed.
"""
import argparse
import os
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import framesight_env as fe  # noqa: E402
from framesight_env import wait_for  # noqa: E402


def video_stream(info):
    streams = [s for s in (info or {}).get("streams", []) if s.get("codec_type") == "video"]
    return streams[0] if len(streams) == 1 else None


def check_video(chain, name, path, codec, width, height, frames, container="webm"):
    info = fe.probe(path)
    stream = video_stream(info)
    chain.check(name + ": ffprobe reads it", stream is not None, info)
    if stream is None:
        return
    chain.check(name + ": %s in %s, %dx%d, %d frame(s)" % (codec, container, width, height, frames),
                container in info["format"]["format_name"].split(",") and stream["codec_name"] == codec
                and (stream["width"], stream["height"]) == (width, height)
                and int(stream.get("nb_read_frames", -1)) == frames, (info["format"], stream))
    chain.check(name + ": no other stream", len(info["streams"]) == 1, info["streams"])


def read_log(path):
    with open(path, "rb") as f:
        return f.read()


def check_log(chain, name, path, must_hold, must_not_hold=()):
    if not chain.check(name + ": the log is there", os.path.isfile(path), path):
        return ""
    data = read_log(path)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        chain.check(name + ": the log is UTF-8", False, data[:200])
        return ""
    chain.check(name + ": the log has LF line ends only", b"\r" not in data and data.endswith(b"\n"), data[-80:])
    for needle in must_hold:
        chain.check(name + ": the log holds %r" % needle, needle in text, text[:600])
    for needle in must_not_hold:
        chain.check(name + ": the log holds no %r" % needle, needle not in text, text[:600])
    return text


def no_leftovers(chain, name, relative):
    left = [n for n in chain.listing(relative) if n.startswith(".~vntranscode-")]
    chain.check(name + ": no temporary file is left", not left, left)


def transcode(chain, name, relative, operation="Preview"):
    """Pins a file and waits for its pin to be released; whether it was."""
    pin = chain.pin(relative, operation)
    return chain.check(name + ": the pin is released", chain.wait_released([pin]), chain.pinned())


# --- preview mode ---

def case_preview(chain, tools):
    chain.set_up()
    # Every severity into the service's trace, the provider's informational lines included.
    chain.set_value(fe.SETTINGS_KEY, "Log level", 0xFFFFFFFF)
    chain.start_transcoder(2)
    chain.start_mainsvc()
    fe.make_clip(chain.host("media\\clip.mp4"))
    fe.make_still(chain.host("media\\still.png"))
    if not chain.start_service():
        return

    name = "a 3 s clip"
    clip = "media\\clip.mp4"
    first = fe.version_of(chain.host(clip))
    if transcode(chain, name, clip):
        output = chain.companion(clip, "Preview", "webm")
        chain.check(name + ": Preview-<id1>-<id2>.webm is at the companion path", os.path.isfile(output),
                    chain.listing(clip))
        check_video(chain, name, output, "vp8", 640, 360, 29)
        check_log(chain, name, chain.companion(clip, "Preview", "log"), ["Output #0, webm", "libvpx"])
        chain.check(name + ": only the clip and its log were written",
                    chain.listing(clip) == sorted(["Preview-%s.webm" % first, "Preview-%s.log" % first]),
                    chain.listing(clip))
        chain.check(name + ": one job in the journal", len(chain.jobs_of(clip)) == 1, chain.jobs_of(clip))

    name = "a still"
    still = "media\\still.png"
    if transcode(chain, name, still):
        check_video(chain, name, chain.companion(still, "Preview", "webm"), "vp8", 640, 360, 1)

    name = "an output already current"
    jobs = len(chain.journal_records())
    made = {n: os.stat(os.path.join(chain.companions(clip), n)).st_mtime_ns for n in chain.listing(clip)}
    if transcode(chain, name, clip):
        chain.check(name + ": no job for it", len(chain.journal_records()) == jobs, chain.journal_records()[jobs:])
        chain.check(name + ": the outputs are untouched", chain.listing(clip) == sorted(
            ["Preview-%s.webm" % first, "Preview-%s.log" % first]) and all(
            os.stat(os.path.join(chain.companions(clip), n)).st_mtime_ns == t for n, t in made.items()),
            chain.listing(clip))

    name = "a rewritten source"
    # Beside the outputs: another name, another extension, and a log version
    # newer than the one the job makes. None of them is the job's.
    folder = chain.companions(clip)
    kept = ["Thumb-%s.webm" % first, "Preview-%s.txt" % first, "Preview-FFFFFFFF-FFFFFFFF.log",
            "Preview-%s.webm.part" % first]
    for entry in kept:
        with open(os.path.join(folder, entry), "w") as f:
            f.write("not the provider's\n")
    # Rewritten in place: the same file (id0), a later version (id1, id2).
    with open(chain.host(clip), "rb") as f:
        content = f.read()
    with open(chain.host(clip), "wb") as f:
        f.write(content)
    st = os.stat(chain.host(clip))
    os.utime(chain.host(clip), ns=(st.st_atime_ns, st.st_mtime_ns + 2000000000))
    second = fe.version_of(chain.host(clip))
    # An older version whose id2 sorts after the new one's as text but not as
    # a number: versions compare by number, so it goes too.
    id1, id2 = (int(part, 16) for part in second.split("-"))
    stale = ["Preview-%X-F.webm" % id1, "Preview-%X-F.log" % id1] if id2 > 0xF else []
    for entry in stale:
        with open(os.path.join(folder, entry), "w") as f:
            f.write("an older version\n")
    if transcode(chain, name, clip):
        new_output = chain.companion(clip, "Preview", "webm", second)
        chain.check(name + ": the new version's clip is there", os.path.isfile(new_output), chain.listing(clip))
        check_video(chain, name, new_output, "vp8", 640, 360, 29)
        chain.check(name + ": the new version's log is there",
                    os.path.isfile(chain.companion(clip, "Preview", "log", second)), chain.listing(clip))
        chain.check(name + ": the old version's clip and log are gone, the others stay",
                    chain.listing(clip) == sorted(kept + ["Preview-%s.webm" % second, "Preview-%s.log" % second]),
                    chain.listing(clip))
        no_leftovers(chain, name, clip)

    # "Trace Level" is live: ffmpeg's info lines reach the service's trace
    # only at "Info" (any case) or above, and the log file has them always.
    # The provider sees a change once its key watcher has, so a level that
    # should forward is given up to three files before it counts as failed
    # (the last file's lines are the ones checked).
    for level, forwarded, verbose in ((None, False, False), ("Warning", False, False), ("info", True, False),
                                      ("Verbose", True, True)):
        name = "\"Trace Level\" %s" % (level or "absent")
        if level is not None:
            chain.set_parameter("Trace Level", level)
        for attempt in range(3 if forwarded else 1):
            relative = "media\\traced-%s-%d.mp4" % ((level or "absent").lower(), attempt)
            shutil.copyfile(chain.host(still), chain.host(relative))
            if not transcode(chain, name, relative):
                break
            opened = "from '%s'" % chain.archive_path(relative)
            trace = chain.trace_text().splitlines()
            lines = [line for line in trace if opened in line]
            job = [t for t in trace if "Transcode(FFMPEG, %s" % chain.archive_path(relative) in t]
            if bool(lines) == forwarded and (bool(job) == verbose or not forwarded):
                break
        check_log(chain, name, chain.companion(relative, "Preview", "log"), [opened])
        chain.check(name + (": the info lines are in the trace" if forwarded else ": no info line is in the trace"),
                    bool(lines) == forwarded, lines[:3])
        if forwarded:
            chain.check(name + (": the job's own level-6 lines are too" if verbose else
                                ": the job's own level-6 lines are not"), bool(job) == verbose, job[:2])
    chain.stop_service()

    name = "\"Frame Count\" 10, \"Size\" 320x240"
    chain.set_extension("Frame Count", 10)
    chain.set_extension("Size", "320x240")
    small = "media\\small.mp4"
    fe.make_clip(chain.host(small), size="640x480")
    if not chain.start_service():
        return
    if transcode(chain, name, small):
        check_video(chain, name, chain.companion(small, "Preview", "webm"), "vp8", 320, 240, 10)
    chain.stop_service()


# --- failures ---

def case_failures(chain, tools):
    chain.set_up()
    chain.start_transcoder(2)
    chain.start_mainsvc()
    for n in range(3):
        fe.make_clip(chain.host("media\\clip%d.mp4" % n))
    corrupt = "media\\corrupt.mp4"
    with open(chain.host(corrupt), "wb") as f:
        f.write(b"this is no video\n" * 200)
    if not chain.start_service():
        return
    pid = chain.pid()

    name = "a corrupt source"
    if transcode(chain, name, corrupt):
        events = wait_for(lambda: chain.events(fe.EVENT_TRANSCODE_FAILED), 30)
        ends = chain.jobs_of(corrupt)
        chain.check(name + ": one failed job in the journal", len(ends) == 1 and ends[0]["status"] == "failed", ends)
        first_error = ends[0]["message"].strip() if ends else "?"
        chain.check(name + ": one event 0xC00007D0", len(events) == 1, chain.events())
        if events:
            text = events[0][1]
            path = chain.archive_path(corrupt)
            ids = fe.identity_strings(chain.host(corrupt))
            chain.check(name + ": it holds ffmpeg's first error line", bool(first_error) and first_error in text,
                        (text, first_error))
            chain.check(name + ": it names the path and the ids", path in text and all(i in text for i in ids),
                        (text, ids))
        records = chain.event_records(fe.EVENT_TRANSCODE_FAILED)
        if records:
            chain.check(name + ": its strings end with the path and id1, id2, id0",
                        records[0]["strings"][-4:] == [chain.archive_path(corrupt)] + fe.identity_strings(
                            chain.host(corrupt)), records[0]["strings"])
        chain.check(name + ": no output file", not any(n.endswith(".webm") for n in chain.listing(corrupt)),
                    chain.listing(corrupt))
        log = chain.companion(corrupt, "Preview", "log")
        if os.path.isfile(log):
            chain.check(name + ": the log holds the error line", first_error in read_log(log).decode("utf-8",
                                                                                                        "replace"))
        no_leftovers(chain, name, corrupt)

    name = "the transcoder down"
    chain.stop_transcoder()
    before = len(chain.events(fe.EVENT_TRANSCODE_FAILED))
    down = "media\\clip0.mp4"
    down_pin = chain.pin(down)
    chain.rescan()
    found = wait_for(lambda: [t for _, t in chain.events(fe.EVENT_TRANSCODE_FAILED)[before:]
                              if "Failed to find transcoder 'FFMPEG'" in t], 60)
    chain.check(name + ": an event says \"Failed to find transcoder 'FFMPEG'\"", bool(found),
                chain.events()[-3:])
    if found:
        chain.check(name + ": it names the file", chain.archive_path(down) in found[0], found[0])
    chain.check(name + ": no output", not any(n.endswith(".webm") for n in chain.listing(down)), chain.listing(down))

    name = "the transcoder back"
    chain.start_transcoder(2)
    back = "media\\clip1.mp4"
    if transcode(chain, name, back):
        chain.check(name + ": the next pin is transcoded", os.path.isfile(chain.companion(back, "Preview", "webm")),
                    chain.listing(back))
    chain.check(name + ": Taskweave was not restarted", chain.pid() == pid and chain.state() == 4,
                (pid, chain.query()))
    chain.check(name + ": the file that met it down keeps its pin for now", down_pin not in chain.releases(),
                chain.releases())

    name = "Taskweave killed mid-transcode"
    chain.stop_transcoder()
    # ffmpeg reads at a tenth of the clip's rate: the job lasts about ten seconds.
    chain.start_transcoder(2, ffmpeg=chain.slow_ffmpeg("0.1"))
    victim = "media\\clip2.mp4"
    pin = chain.pin(victim)
    chain.rescan()
    started = wait_for(lambda: chain.jobs_of(victim, "start"), 60)
    if not chain.check(name + ": the job started", bool(started), chain.journal_records()[-2:]):
        return
    group = started[0]["pid"]
    chain.check(name + ": ffmpeg runs", fe.process_group_alive(group))
    os.kill(chain.pid(), signal.SIGKILL)
    chain.check(name + ": the stand-in ends the job as hung up",
                wait_for(lambda: [r for r in chain.jobs_of(victim) if r["job"] == started[0]["job"]], 60)
                and chain.jobs_of(victim)[0]["status"] == "hung up", chain.jobs_of(victim))
    chain.check(name + ": no ffmpeg process is left", wait_for(lambda: not fe.process_group_alive(group), 60))
    no_leftovers(chain, name, victim)
    chain.check(name + ": no output", not any(n.endswith(".webm") for n in chain.listing(victim)),
                chain.listing(victim))
    chain.check(name + ": the pin stays", pin not in chain.releases() and len(chain.pinned()) >= 1,
                chain.pinned())
    chain.check(name + ": Taskweave reads as stopped", wait_for(lambda: chain.state() == 1, 30), chain.query())
    chain.stop_transcoder()
    chain.start_transcoder(2)
    if chain.start_service():
        chain.check(name + ": after the restart the pin is done", chain.wait_released([pin]), chain.pinned())
        chain.check(name + ": and the clip is made", os.path.isfile(chain.companion(victim, "Preview", "webm")),
                    chain.listing(victim))
        no_leftovers(chain, name, victim)
        # A kept pin is handed over again after the worker's wait (a minute),
        # or by the new worker after the restart: it is not lost.
        name = "the file that met the transcoder down"
        chain.check(name + ": is done later", chain.wait_released([down_pin], 240, rescan_every=10),
                    chain.pinned())
        chain.check(name + ": its clip is made", os.path.isfile(chain.companion(down, "Preview", "webm")),
                    chain.listing(down))
    chain.stop_service()


# --- job limits ---

def case_jobs(chain, tools):
    chain.set_up()
    chain.set_parameter("Maximum Transcode Jobs", 1)
    chain.start_mainsvc()
    master = chain.host("media\\master.mp4")
    fe.make_clip(master)
    # ffmpeg reads the clip at its own rate: each job lasts about a second, so
    # the jobs a limit lets run do overlap.
    slow = chain.slow_ffmpeg("1")
    chain.start_transcoder(4, ffmpeg=slow)
    if not chain.start_service():
        return
    pid = chain.pid()
    rows = [  # (maximum, instances, expected peak)
        (1, 4, 1),
        (2, 4, 2),
        (4, 4, 4),
        (4, 2, 2),
    ]
    instances = 4
    for batch, (maximum, wanted_instances, peak) in enumerate(rows):
        name = "maximum %d, %d instances" % (maximum, wanted_instances)
        if wanted_instances != instances:
            chain.stop_transcoder()
            chain.start_transcoder(wanted_instances, ffmpeg=slow)
            instances = wanted_instances
        chain.set_parameter("Maximum Transcode Jobs", maximum)
        files = []
        for n in range(8):
            relative = "media\\b%d-%d.mp4" % (batch, n)
            shutil.copyfile(master, chain.host(relative))
            files.append(relative)
        pins = [chain.pin(relative) for relative in files]
        chain.rescan()
        if not chain.check(name + ": all 8 pins released", chain.wait_released(pins, 240), len(chain.pinned())):
            continue
        ends = [r for relative in files for r in chain.jobs_of(relative)]
        chain.check(name + ": 8 jobs succeeded", len(ends) == 8 and all(r["status"] == "succeeded" for r in ends),
                    [(r["status"], r["message"]) for r in ends])
        chain.check(name + ": the journal's peak is %d" % peak, fe.peak_concurrency(ends) == peak,
                    fe.peak_concurrency(ends))
        chain.check(name + ": every clip is made",
                    all(os.path.isfile(chain.companion(r, "Preview", "webm")) for r in files))
    name = "one file pinned three times, maximum 4"
    chain.set_parameter("Maximum Transcode Jobs", 4)
    twice = "media\\same.mp4"
    shutil.copyfile(master, chain.host(twice))
    pins = [chain.pin(twice) for _ in range(3)]
    chain.rescan()
    if chain.check(name + ": every pin is released", chain.wait_released(pins), chain.pinned()):
        chain.check(name + ": one job made its output", len(chain.jobs_of(twice, "start")) == 1,
                    chain.jobs_of(twice, "start"))
        chain.check(name + ": the output is there", os.path.isfile(chain.companion(twice, "Preview", "webm")))
    chain.check("the limits changed while Taskweave ran", chain.pid() == pid and chain.state() == 4, chain.query())
    chain.stop_service()


# --- parameter-set mode ---

def case_operations(chain, tools):
    chain.set_up(mode="Operations")
    chain.add_operation("WebM", {"Transcoder": "FFMPEG", "Options": "-c:v libvpx-vp9 -b:v 200k -s 320x180 -an",
                                 "OutputFile": "Clip.webm", "LogFile": "Clip.log"})
    chain.add_operation("Thumbnail", {"Transcoder": "FFMPEG", "Options": "-frames:v 1 -s 160x120 -update 1",
                                      "OutputFile": "Thumb.png", "LogFile": "Thumb.log"})
    chain.add_operation("NoOptions", {"Transcoder": "FFMPEG", "OutputFile": "Broken.webm", "LogFile": "Broken.log"})
    chain.add_rule("Clips", "*.mp4", ["WebM", "Thumbnail"])
    chain.add_rule("Broken", "*.mkv", ["NoOptions"])
    # Failed transcodes: "Unpin On Error" false keeps the pin, absent releases it.
    corrupt_values = {"Transcoder": "FFMPEG", "Options": "-c:v libvpx -an", "OutputFile": "Failed.webm",
                      "LogFile": "Failed.log"}
    chain.add_operation("KeepOnError", dict(corrupt_values, **{"Unpin On Error": 0}))
    chain.add_operation("DoneOnError", corrupt_values)
    chain.add_rule("Kept", "*.avi", ["KeepOnError"])
    chain.add_rule("Done", "*.wmv", ["DoneOnError"])
    chain.start_transcoder(2)
    chain.start_mainsvc()
    clip = "media\\clip.mp4"
    fe.make_clip(chain.host(clip), seconds=1)
    broken = "media\\broken.mkv"
    fe.make_clip(chain.host(broken), seconds=1)
    kept, done = "media\\kept.avi", "media\\done.wmv"
    for relative in (kept, done):
        with open(chain.host(relative), "wb") as f:
            f.write(b"this is no video\n" * 200)
    if not chain.start_service():
        return

    name = "two operations"
    if transcode(chain, name, clip, "Operations"):
        check_video(chain, name + " (VP9 WebM)", chain.companion(clip, "Clip", "webm"), "vp9", 320, 180, 30)
        check_video(chain, name + " (PNG thumbnail)", chain.companion(clip, "Thumb", "png"), "png", 160, 120, 1,
                    container="png_pipe")
        check_log(chain, name + " (VP9 WebM)", chain.companion(clip, "Clip", "log"),
                  ["Output #0, webm", "libvpx-vp9"], ["image2", "png"])
        check_log(chain, name + " (PNG thumbnail)", chain.companion(clip, "Thumb", "log"),
                  ["Output #0, image2", "png"], ["webm", "vp9"])
        chain.check(name + ": two jobs", len(chain.jobs_of(clip)) == 2, chain.jobs_of(clip))
        no_leftovers(chain, name, clip)

    name = "an operation without \"Options\""
    pin = chain.pin(broken, "Operations")
    kept_pin, done_pin = chain.pin(kept, "Operations"), chain.pin(done, "Operations")
    missing = lambda: [t for _, t in chain.events(fe.EVENT_PARAMETER_MISSING) if "Options" in t]  # noqa: E731
    failed = lambda path: [t for _, t in chain.events(fe.EVENT_TRANSCODE_FAILED) if path in t]  # noqa: E731
    chain.rescan()
    chain.check(name + ": event 0xC00007D1", wait_for(missing, 60), chain.events()[-3:])
    wait_for(lambda: failed(chain.archive_path(kept)) and failed(chain.archive_path(done)), 60)
    # Rescans every two seconds for twenty: no file is run again, though one
    # keeps its pin.
    for _ in range(10):
        chain.rescan()
        time.sleep(2)
    events = missing()
    chain.check(name + ": one event names the operation and \"Options\"", len(events) == 1
                and "NoOptions" in events[0] and chain.archive_path(broken) in events[0], events)
    chain.check(name + ": no transcode ran", not chain.jobs_of(broken, "start"), chain.jobs_of(broken, "start"))
    chain.check(name + ": the pin is released", pin in chain.releases(), chain.pinned())
    chain.check(name + ": no output", not any(n.endswith(".webm") for n in chain.listing(broken)),
                chain.listing(broken))

    for relative, pin, keeps in ((kept, kept_pin, True), (done, done_pin, False)):
        name = "a failed transcode with \"Unpin On Error\" %s" % ("false" if keeps else "absent")
        chain.check(name + ": one event 0xC00007D0", len(failed(chain.archive_path(relative))) == 1,
                    failed(chain.archive_path(relative)))
        chain.check(name + ": one run", len(chain.jobs_of(relative)) == 1, len(chain.jobs_of(relative)))
        chain.check(name + (": the pin stays" if keeps else ": the pin is released"),
                    (pin in chain.releases()) != keeps, chain.pinned())
        chain.check(name + ": no output", not any(n.endswith(".webm") for n in chain.listing(relative)),
                    chain.listing(relative))

    name = "after it"
    other = "media\\other.mp4"
    fe.make_clip(chain.host(other), seconds=1)
    if transcode(chain, name, other, "Operations"):
        chain.check(name + ": the next file is transcoded",
                    os.path.isfile(chain.companion(other, "Thumb", "png")), chain.listing(other))
    chain.stop_service()


# --- refusals, every operation, outputs whole, moved sources, busy instances ---

def failed_events(chain, relative):
    return [t for _, t in chain.events(fe.EVENT_TRANSCODE_FAILED) if chain.archive_path(relative) in t]


def settle(chain, seconds=16):
    """Rescans every two seconds: what was reported once must not be reported again."""
    for _ in range(seconds // 2):
        chain.rescan()
        time.sleep(2)


def case_badsize(chain, tools):
    chain.set_up()
    chain.set_extension("Size", "641x361")
    chain.start_transcoder(2)
    chain.start_mainsvc()
    files = ["media\\odd%d.mp4" % n for n in range(2)]
    for relative in files:
        fe.make_clip(chain.host(relative), seconds=1)
    if not chain.start_service():
        return
    name = "\"Size\" 641x361"
    pins = [chain.pin(relative) for relative in files]
    chain.rescan()
    chain.check(name + ": every pin is released", chain.wait_released(pins, 90), chain.pinned())
    settle(chain)
    for relative in files:
        events = failed_events(chain, relative)
        chain.check(name + ": one event for " + relative, len(events) == 1, events)
        chain.check(name + ": one refused job for " + relative, len(chain.jobs_of(relative)) <= 1,
                    chain.jobs_of(relative))
        chain.check(name + ": no output for " + relative,
                    not any(n.endswith(".webm") for n in chain.listing(relative)), chain.listing(relative))
    chain.check(name + ": no \"Failed to find transcoder\"",
                not [t for _, t in chain.events() if "Failed to find transcoder" in t], chain.events()[-3:])
    chain.stop_service()

    name = "\"Size\" fixed"
    chain.set_extension("Size", "320x240")
    fixed = "media\\fixed.mp4"
    fe.make_clip(chain.host(fixed), seconds=1)
    if not chain.start_service():
        return
    if transcode(chain, name, fixed):
        check_video(chain, name, chain.companion(fixed, "Preview", "webm"), "vp8", 320, 240, 29)
    chain.stop_service()


def case_refusals(chain, tools):
    chain.set_up(mode="Operations")
    thumb = {"Transcoder": "FFMPEG", "Options": "-frames:v 1 -s 160x120 -update 1"}
    chain.add_operation("First", dict(thumb, OutputFile="First.png", LogFile="First.log"))
    chain.add_operation("Odd", {"Transcoder": "FFMPEG", "Options": "-vnpreview 10 641x361",
                                "OutputFile": "Odd.webm", "LogFile": "Odd.log"})
    chain.add_operation("OddKept", {"Transcoder": "FFMPEG", "Options": "-vnpreview 10 641x361",
                                    "OutputFile": "Kept.webm", "LogFile": "Kept.log", "Unpin On Error": 0})
    chain.add_operation("Third", dict(thumb, OutputFile="Third.png", LogFile="Third.log"))
    chain.add_operation("BadLog", dict(thumb, OutputFile="Bad.png", LogFile="logs\\Out.log"))
    chain.add_rule("Three", "*.mp4", ["First", "Odd", "Third"])
    chain.add_rule("Kept", "*.avi", ["OddKept"])
    chain.add_rule("Refused", "*.mkv", ["BadLog"])
    chain.add_rule("Good", "*.mov", ["First"])
    chain.start_transcoder(2)
    chain.start_mainsvc()
    three, kept, refused, good = "media\\three.mp4", "media\\kept.avi", "media\\refused.mkv", "media\\good.mov"
    for relative in (three, kept, refused, good):
        fe.make_clip(chain.host(relative), seconds=1)
    if not chain.start_service():
        return
    pins = {relative: chain.pin(relative, "Operations") for relative in (three, kept, refused)}
    chain.rescan()
    chain.check("three and the refused log: released", chain.wait_released([pins[three], pins[refused]], 90),
                chain.pinned())
    wait_for(lambda: failed_events(chain, kept), 60)
    settle(chain)

    name = "three operations, the second failing"
    check_video(chain, name + " (first)", chain.companion(three, "First", "png"), "png", 160, 120, 1,
                container="png_pipe")
    check_video(chain, name + " (third)", chain.companion(three, "Third", "png"), "png", 160, 120, 1,
                container="png_pipe")
    chain.check(name + ": no output of the second", not any(n.endswith(".webm") for n in chain.listing(three)),
                chain.listing(three))
    events = failed_events(chain, three)
    chain.check(name + ": one event, the stand-in's refusal", len(events) == 1 and "-vnpreview" in events[0], events)
    # The stand-in refuses the second before any ffmpeg: the journal holds the other two.
    ends = chain.jobs_of(three)
    chain.check(name + ": the first and third jobs succeeded", len(ends) == 2
                and all(r["status"] == "succeeded" for r in ends), ends)

    name = "a failed operation with \"Unpin On Error\" false"
    events = failed_events(chain, kept)
    chain.check(name + ": one event", len(events) == 1, events)
    chain.check(name + ": the pin stays", pins[kept] not in chain.releases(), chain.releases())
    chain.check(name + ": no output", not any(n.endswith(".webm") for n in chain.listing(kept)),
                chain.listing(kept))

    name = "a refused \"LogFile\""
    events = failed_events(chain, refused)
    chain.check(name + ": one event naming it", len(events) == 1 and "LogFile" in events[0], events)
    chain.check(name + ": released once", chain.releases().get(pins[refused]) == 1, chain.releases())
    chain.check(name + ": no job", not chain.jobs_of(refused, "start"), chain.jobs_of(refused, "start"))

    name = "another extension's file after them"
    if transcode(chain, name, good, "Operations"):
        check_video(chain, name, chain.companion(good, "First", "png"), "png", 160, 120, 1, container="png_pipe")
    chain.stop_service()


def case_inplace(chain, tools):
    chain.set_up()
    chain.set_value(fe.TRANSCODER_KEY, "Write In Place", 1)
    chain.start_mainsvc()
    # 29 frames at a twentieth of the clip's rate: about twenty seconds a job.
    chain.start_transcoder(2, ffmpeg=chain.slow_ffmpeg("0.05"))
    victim = "media\\victim.mp4"
    fe.make_clip(chain.host(victim), seconds=2)
    if not chain.start_service():
        return
    name = "the transcoder writing in place killed mid-job"
    output = chain.companion(victim, "Preview", "webm")
    pin = chain.pin(victim)
    chain.rescan()
    started = wait_for(lambda: chain.jobs_of(victim, "start"), 60)
    if not chain.check(name + ": the job started", bool(started), chain.journal_records()[-2:]):
        return
    # Once ffmpeg has begun its file, kill it all.
    wait_for(lambda: any(n.endswith(".webm") for n in chain.listing(victim)), 30)
    time.sleep(1)
    partial = chain.listing(victim)
    chain.transcoder.kill()
    chain.transcoder.wait()
    chain.transcoder.stdout.close()
    chain.transcoder = None
    try:
        os.killpg(started[0]["pid"], signal.SIGKILL)
    except OSError:
        pass
    chain.check(name + ": a partial file was written", any(n.endswith(".webm") for n in partial), partial)
    chain.check(name + ": killed before the job ended", not chain.jobs_of(victim), chain.jobs_of(victim))
    chain.check(name + ": nothing whole-looking under the output's name", not os.path.exists(output)
                or fe.probe(output) is not None, chain.listing(victim))
    time.sleep(3)
    chain.check(name + ": still nothing under the output's name", not os.path.exists(output), chain.listing(victim))
    chain.check(name + ": the pin stays", pin not in chain.releases(), chain.releases())
    chain.start_transcoder(2)
    chain.check(name + ": after the restart the pin is done", chain.wait_released([pin], 240, rescan_every=5),
                chain.pinned())
    chain.check(name + ": transcoded again", len(chain.jobs_of(victim, "start")) >= 2,
                chain.jobs_of(victim, "start"))
    check_video(chain, name, output, "vp8", 640, 360, 29)
    chain.stop_service()


def source_open(chain, relative):
    """Whether the ffmpeg of the file's running job has its source open (its /proc fd links)."""
    host = chain.host(relative)
    for record in chain.jobs_of(relative, "start"):
        folder = "/proc/%d/fd" % record["pid"]
        try:
            links = [os.readlink(os.path.join(folder, n)) for n in os.listdir(folder)]
        except OSError:  # ended, or a descriptor closed meanwhile
            continue
        if host in links:
            return True
    return False


def case_moved(chain, tools):
    chain.set_up()
    chain.set_parameter("Maximum Transcode Jobs", 2)
    chain.start_mainsvc()
    # Each ffmpeg waits for the gate before it starts, then reads at a tenth of
    # the clip's rate: about ten seconds a preview.
    gate = os.path.join(chain.root, "gate")
    chain.start_transcoder(2, ffmpeg=chain.slow_ffmpeg("0.1", gate=gate))
    early, early_renamed = "media\\early.mp4", "media\\early-renamed.mp4"
    moved, renamed, deleted = "media\\moved.mp4", "media\\renamed.mp4", "media\\deleted.mp4"
    for relative in (early, moved, deleted):
        fe.make_clip(chain.host(relative), seconds=2)
    versions = {relative: fe.version_of(chain.host(relative)) for relative in (early, moved)}
    if not chain.start_service():
        return
    pins = {}

    name = "a file renamed before the transcoder opens it"
    pins[early] = chain.pin(early)
    chain.rescan()
    if not chain.check(name + ": the job started", wait_for(lambda: chain.jobs_of(early, "start"), 60),
                       chain.journal_records()):
        return
    os.rename(chain.host(early), chain.host(early_renamed))
    with open(gate, "w"):
        pass
    ends = wait_for(lambda: chain.jobs_of(early), 90)
    chain.check(name + ": the job fails, its source gone", bool(ends) and ends[0]["status"] == "failed", ends)

    name = "a file renamed and one deleted mid-transcode"
    pins[moved], pins[deleted] = chain.pin(moved), chain.pin(deleted)
    chain.rescan()
    if not chain.check(name + ": both jobs started",
                       wait_for(lambda: chain.jobs_of(moved, "start") and chain.jobs_of(deleted, "start"), 60),
                       chain.journal_records()):
        return
    # Once both ffmpeg processes have their source open; each has seconds to go.
    chain.check(name + ": both sources opened", wait_for(lambda: all(
        source_open(chain, r) for r in (moved, deleted)), 60), chain.journal_records())
    os.rename(chain.host(moved), chain.host(renamed))
    os.unlink(chain.host(deleted))
    chain.check(name + ": both jobs still ran then", not chain.jobs_of(moved) and not chain.jobs_of(deleted),
                chain.journal_records())
    chain.check(name + ": both jobs end", wait_for(lambda: chain.jobs_of(moved) and chain.jobs_of(deleted), 90),
                chain.journal_records())
    chain.check(name + ": the deleted file's pin is released", chain.wait_released([pins[deleted]], 90),
                chain.pinned())

    # A pin the provider kept waits a minute before the worker hands its file over again.
    name = "renamed files"
    chain.check(name + ": every pin is released", chain.wait_released(list(pins.values()), 300, rescan_every=10),
                chain.pinned())
    for old, new in ((early, early_renamed), (moved, renamed)):
        label = "%s renamed %s" % (old, new)
        made = chain.companion(new, "Preview", "webm", version=versions[old])
        chain.check(label + ": the preview is made under the new name", os.path.isfile(made), chain.listing(new))
        if os.path.isfile(made):
            check_video(chain, label, made, "vp8", 640, 360, 29)
        chain.check(label + ": its log too", os.path.isfile(chain.companion(new, "Preview", "log",
                                                                            version=versions[old])),
                    chain.listing(new))
        chain.check(label + ": nothing under the old name", chain.listing(old) == [], chain.listing(old))
        chain.check(label + ": transcoded again under the new name", len(chain.jobs_of(new)) == 1,
                    chain.jobs_of(new))
        no_leftovers(chain, label, new)
    chain.check("the deleted file: nothing under its name", chain.listing(deleted) == [], chain.listing(deleted))
    settle(chain, 6)
    released = chain.releases()
    chain.check("each pin released once", all(released.get(p) == 1 for p in pins.values()), released)
    gone = [t for _, t in chain.events(fe.EVENT_TRANSCODE_FAILED)]
    chain.check("no transcode failure is reported", not gone, gone)
    chain.stop_service()


def case_busy(chain, tools):
    chain.set_up()
    chain.set_parameter("Maximum Transcode Jobs", 4)
    chain.set_extension("Frame Count", 90)
    chain.start_mainsvc()
    # 90 frames of a 30 fps clip at a quarter of its rate: about twelve seconds a job.
    chain.start_transcoder(2, ffmpeg=chain.slow_ffmpeg("0.25"))
    files = ["media\\busy%d.mp4" % n for n in range(4)]
    for relative in files:
        fe.make_clip(chain.host(relative), seconds=3)
    if not chain.start_service():
        return
    name = "4 jobs on 2 instances, 12 s each"
    pins = [chain.pin(relative) for relative in files]
    chain.rescan()
    chain.check(name + ": every pin is released", chain.wait_released(pins, 400, rescan_every=10), chain.pinned())
    for relative in files:
        chain.check(name + ": the clip of %s is made" % relative,
                    os.path.isfile(chain.companion(relative, "Preview", "webm")), chain.listing(relative))
    chain.check(name + ": no \"not found\"",
                not [t for _, t in chain.events() if "Failed to find transcoder" in t], chain.events())
    ends = [r for relative in files for r in chain.jobs_of(relative)]
    chain.check(name + ": the peak is 2", fe.peak_concurrency(ends) == 2, fe.peak_concurrency(ends))
    chain.stop_service()


CASES = {"preview": case_preview, "failures": case_failures, "jobs": case_jobs, "operations": case_operations,
         "badsize": case_badsize, "refusals": case_refusals, "inplace": case_inplace, "moved": case_moved,
         "busy": case_busy}


def main():
    parser = argparse.ArgumentParser()
    fe.Tools.add_arguments(parser)
    parser.add_argument("--case", choices=sorted(CASES), required=True)
    tools = parser.parse_args()
    chain = fe.Chain(tools, tools.case)
    try:
        CASES[tools.case](chain, tools)
        output = chain.service_output()
        chain.check("the service's output holds no sanitizer report",
                    not any(w in output for w in ("Sanitizer", "runtime error:")), output[-2000:])
    except Exception as error:  # a broken step is a failure with its cause, not a traceback alone
        chain.check("the case ran to its end", False, repr(error))
        raise
    finally:
        chain.tear_down()
    print("%d failure(s)" % len(chain.failures))
    return 1 if chain.failures else 0


if __name__ == "__main__":
    sys.exit(main())
