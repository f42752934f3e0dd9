// The KELBzip2 control driven from JScript, the way a script host uses it:
// created by its ProgID, events through functions named after a prefix.
// Arguments: fixture folder, scratch folder, a name for this run's files.
// Every check prints "ok:" or "FAIL:"; any failure ends with exit code 1.

var ALREADY_RUNNING = "Already running , call the cancel function or wait for the end of execution";
// Enough for any job here on a slow machine; only a hang runs into it.
var WAIT_BOUND = 6000;

var fixtures = WScript.Arguments(0) + "\\";
var scratch = WScript.Arguments(1) + "\\" + WScript.Arguments(2) + "-";
var failures = 0;

function check(ok, what) {
    WScript.Echo((ok ? "ok: " : "FAIL: ") + what);
    if (!ok)
        failures++;
}

// Events as a list of "P<value>", "E<number>:[<description>]", "F".
var events, finished, lastProgress, pauseAbove = -1, cancelAbove = -1, handlerActed, actedAt;

function resetEvents() {
    events = [];
    finished = false;
}

function ctl_Progress(value) {
    events.push("P" + value);
    lastProgress = value;
    // Acting from the handler: the job cannot end before the call.
    if (pauseAbove >= 0 && value > pauseAbove) {
        pauseAbove = -1;
        ctl.PauseCompress();
        handlerActed = true;
        actedAt = value;
    }
    if (cancelAbove >= 0 && value > cancelAbove) {
        cancelAbove = -1;
        ctl.CancelCompress();
        handlerActed = true;
        actedAt = value;
    }
}

function ctl_ErrorCode(number, description) {
    events.push("E" + number + ":[" + description + "]");
}

function ctl_Finished() {
    events.push("F");
    finished = true;
}

function waitUntil(condition) {
    for (var i = 0; i < WAIT_BOUND && !condition(); i++)
        WScript.Sleep(20);
    return condition();
}

function waitFinished() {
    return waitUntil(function () { return finished; });
}

function waitHandler() {
    handlerActed = false;
    return waitUntil(function () { return handlerActed || finished; }) && handlerActed;
}

function shown() {
    return events.join(" ");
}

// A job's whole event log: Progress 0 first, then only Progress values up to
// 97, and at the end Progress 100, the result, Finished.
function jobEvents(number, description) {
    var n = events.length;
    var ok = n >= 4 && events[0] == "P0" && events[n - 3] == "P100" &&
             events[n - 2] == "E" + number + ":[" + description + "]" && events[n - 1] == "F";
    for (var i = 1; ok && i < n - 3; i++) {
        var m = /^P(\d+)$/.exec(events[i]);
        ok = m != null && Number(m[1]) <= 97;
    }
    if (!ok)
        WScript.Echo("  events: " + shown());
    return ok;
}

function finishJob(what, number, description) {
    check(waitFinished(), what + ": Finished arrives");
    check(jobEvents(number, description), what + ": events P0 .. P100 E" + number + " F");
    check(!ctl.Status(), what + ": Status false after the job");
}

function refused(what, number, description) {
    // Refusals are raised during the call; nothing follows them.
    var expected = "E" + number + ":[" + description + "]";
    check(shown() == expected, what + " refused with " + number + " during the call");
    if (shown() != expected)
        WScript.Echo("  events: " + shown());
    WScript.Sleep(300);
    check(shown() == expected, what + ": no event after the refusal");
}

var ctl = WScript.CreateObject("KELBzip2_201.KELBzip2", "ctl_");

// Identity and idle state.
check(ctl.ControlName() == "Tessel OCX 2.0.1", "ControlName is \"Tessel OCX 2.0.1\"");
var vendor = ctl.GetCPUVendor();
check(typeof vendor == "string" && vendor.length > 0, "GetCPUVendor is not empty (" + vendor + ")");
check(ctl.Status() === false, "Status false before any job");

// Refusals: codes and exact messages, the checks run in a fixed order.
var src = fixtures + "text.txt";
var dst = scratch + "refused.bz2";
var lvl;
resetEvents();
var r = ctl.Compress("", "", 9);
refused("Compress with both names empty", 2, "The input file is the same as the output");
check(r === undefined, "Compress returns an empty Variant");
resetEvents();
ctl.Compress(src.toLowerCase(), src.toUpperCase(), 9);
refused("Compress with names equal but for case", 2, "The input file is the same as the output");
resetEvents();
ctl.Compress("", dst, 9);
refused("Compress with an empty input name", 3, "The input file is empty ");
resetEvents();
ctl.Compress(src, "", 9);
refused("Compress with an empty output name", 4, "The outputfile file is empty ");
resetEvents();
ctl.Compress(src, "", 10);
refused("Compress with level 10 and an empty output name", 4, "The outputfile file is empty ");
resetEvents();
lvl = 10;
ctl.Compress(src, dst, lvl);
refused("Compress at level 10 (variable)", 1, "Invalid compression level ");
resetEvents();
ctl.Compress(src, dst, -1);
refused("Compress at level -1", 1, "Invalid compression level ");
resetEvents();
ctl.CompressBzip3(src, dst, 0);
refused("CompressBzip3 at level 0", 1, "Invalid compression level ");
resetEvents();
ctl.CompressBzip3(src, dst, 3 - 4);
refused("CompressBzip3 at level 3 - 4", 1, "Invalid compression level ");
resetEvents();
ctl.DecompressBzip3("", "");
refused("DecompressBzip3 with both names empty", 2, "The input file is the same as the output");
resetEvents();
ctl.Decompress("", dst);
refused("Decompress with an empty input name", 3, "The input file is empty ");
resetEvents();
ctl.Decompress(src, "");
refused("Decompress with an empty output name", 4, "The outputfile file is empty ");

// bzip2 round trip; the output must be what the real bzip2 tool makes.
var packed = scratch + "binary.bz2", restored = scratch + "binary.out";
WScript.DeleteFile(packed);
WScript.DeleteFile(restored);
resetEvents();
r = ctl.Compress(fixtures + "binary.bin", packed, 9);
check(r === undefined, "Compress of a job returns an empty Variant");
check(shown() == "P0", "Compress raises Progress 0 during the call");
finishJob("Compress binary.bin at level 9", 0, "No error");
check(WScript.SameBytes(packed, fixtures + "binary.bin.9.bz2"), "Compress output equals bzip2 -9");
resetEvents();
ctl.Decompress(packed, restored);
finishJob("Decompress", 0, "No error");
check(WScript.SameBytes(restored, fixtures + "binary.bin"), "Decompress restores binary.bin");

// The level as an expression and as a variable.
packed = scratch + "text5.bz2";
WScript.DeleteFile(packed);
resetEvents();
ctl.Compress(src, packed, 4 + 1);
finishJob("Compress at level 4 + 1", 0, "No error");
check(WScript.SameBytes(packed, fixtures + "text.txt.5.bz2"), "Compress at level 4 + 1 equals bzip2 -5");
packed = scratch + "text1.bz2";
WScript.DeleteFile(packed);
lvl = 1;
resetEvents();
ctl.Compress(src, packed, lvl);
finishJob("Compress at level lvl = 1", 0, "No error");
check(WScript.SameBytes(packed, fixtures + "text.txt.1.bz2"), "Compress at level lvl = 1 equals bzip2 -1");

// Bzip3 round trip; the stream after the 40-byte header carries the level.
packed = scratch + "sample1.kb3";
restored = scratch + "sample1.out";
WScript.DeleteFile(packed);
WScript.DeleteFile(restored);
resetEvents();
ctl.CompressBzip3(fixtures + "sample1.ref", packed, 9);
check(shown() == "P0", "CompressBzip3 raises Progress 0 during the call");
finishJob("CompressBzip3 sample1.ref at level 9", 0, "No error");
check(WScript.ReadBytes(packed, 0, 4) == "KELB", "Bzip3 output begins with KELB");
check(WScript.ReadBytes(packed, 40, 4) == "BZh9", "Bzip3 stream at level 9");
resetEvents();
ctl.DecompressBzip3(packed, restored);
finishJob("DecompressBzip3", 0, "No error");
check(WScript.SameBytes(restored, fixtures + "sample1.ref"), "DecompressBzip3 restores sample1.ref");

packed = scratch + "text3.kb3";
WScript.DeleteFile(packed);
resetEvents();
ctl.CompressBzip3(src, packed, 1 + 2);
finishJob("CompressBzip3 at level 1 + 2", 0, "No error");
check(WScript.ReadBytes(packed, 40, 4) == "BZh3", "Bzip3 stream at level 1 + 2");
packed = scratch + "text7.kb3";
restored = scratch + "text7.out";
WScript.DeleteFile(packed);
WScript.DeleteFile(restored);
lvl = 7;
resetEvents();
ctl.CompressBzip3(src, packed, lvl);
finishJob("CompressBzip3 at level lvl = 7", 0, "No error");
check(WScript.ReadBytes(packed, 40, 4) == "BZh7", "Bzip3 stream at level lvl = 7");
resetEvents();
ctl.DecompressBzip3(packed, restored);
finishJob("DecompressBzip3 of the level 7 file", 0, "No error");
check(WScript.SameBytes(restored, src), "DecompressBzip3 restores text.txt");

// Files that cannot be opened or are not of the format: engine results.
resetEvents();
ctl.Decompress(fixtures + "missing.bz2", scratch + "missing.out");
finishJob("Decompress of a missing file", 8, "Unable to open input file");
resetEvents();
ctl.DecompressBzip3(fixtures + "missing.kb3", scratch + "missing.out");
finishJob("DecompressBzip3 of a missing file", 107, "Cannot open input file");
resetEvents();
ctl.Decompress(fixtures + "notbzip2.bz2", scratch + "notbz2.out");
finishJob("Decompress of a file that is not bzip2", 14, "Not a valid Bzip2 file");

// A long job: second job refused, pause, resume, cancel while it runs.
resetEvents();
ctl.Compress(fixtures + "large.bin", scratch + "large.bz2", 9);
check(ctl.Status() === true, "Status true while a job runs");
ctl.Compress(src, scratch + "second.bz2", 9);
ctl.CompressBzip3(src, scratch + "second.kb3", 9);
ctl.DecompressBzip3(scratch + "sample1.kb3", scratch + "second.out");
var expected = ["P0", "E7:[" + ALREADY_RUNNING + "]", "E7:[" + ALREADY_RUNNING + "]",
                "E7:[" + ALREADY_RUNNING + "]"].join(" ");
check(shown() == expected, "three job methods during a job refused with 7 during the call");
if (shown() != expected)
    WScript.Echo("  events: " + shown());

// Pause once the worker has visibly started (it clears a pause sent earlier).
resetEvents();
pauseAbove = 0;
check(waitHandler(), "paused from the handler at " + actedAt + "%");
// Until no event has come for a second: a chunk in flight may still land.
for (var i = 0, before = null; i < 120 && shown() != before; i++) {
    before = shown();
    WScript.Sleep(1000);
}
var quiet = shown();
WScript.Sleep(1500);
check(shown() == quiet, "no event while paused");
check(!finished, "paused job has not finished");
check(ctl.Status() === true, "Status true while paused");

// Resume; the handler cancels once progress has moved on.
var stillAt = lastProgress;  // the last value raised before the pause held
resetEvents();
cancelAbove = stillAt;
ctl.ResumeCompress();
check(waitHandler(), "progress moves on after ResumeCompress (" + stillAt + "% to " + actedAt + "%)");
check(waitFinished(), "cancelled job reports its end");
var n = events.length;
check(n >= 3 && events[n - 3] == "P100" && events[n - 2] == "E119:[User cancel]" && events[n - 1] == "F",
      "cancel ends with P100 E119 \"User cancel\" F");
if (!finished || events[n - 2] != "E119:[User cancel]")
    WScript.Echo("  events: " + shown());
check(ctl.Status() === false, "Status false after the cancelled job");

// Pause, resume and cancel with no job running raise nothing.
resetEvents();
ctl.PauseCompress();
ctl.ResumeCompress();
ctl.CancelCompress();
WScript.Sleep(300);
check(shown() == "", "pause, resume and cancel when idle raise nothing");

if (failures > 0) {
    WScript.Echo(failures + " check(s) failed");
    WScript.Quit(1);
}
WScript.Echo("all checks passed");
