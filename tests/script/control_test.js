// The controls from JScript, arguments by value. Arguments: the fixture and scratch folders.
var fso = WScript.CreateObject("Scripting.FileSystemObject");
var fixtures = WScript.Arguments(0) + "\\", scratch = WScript.Arguments(1) + "\\", events = [];

function check(ok, what) {
    if (!ok)
        WScript.Echo("FAIL: " + what + " (events " + events.join("|") + ")");
}
function ctl_Progress(value) { events.push("P" + value); }
function ctl_ErrorCode(number, description) { events.push("E" + number + ":" + description); }
function ctl_Finished() { events.push("F"); }
function finished() {  // after waiting up to two minutes for it
    for (var i = 0; i < 6000 && events[events.length - 1] != "F"; i++)
        WScript.Sleep(20);
    return events[events.length - 1] == "F";
}
function bytes(name) { return fso.OpenTextFile(name).ReadAll(); }
// Runs a job to its end; true when it ended with ErrorCode 0 and Finished.
function run(job) {
    events = [];
    job();
    return finished() && events.slice(-2).join() == "E0:No error,F";
}

var ctl = WScript.CreateObject("KELBzip2_201.KELBzip2", "ctl_");
var bar = WScript.CreateObject("KELBzip2_201.ProgBar");
bar.Max = 200;
bar.Value = 250;
check(bar.Value == 200 && bar.Max == 200, "the progress bar's properties through IDispatch");
// Names in Greek, Chinese, with an emoji, and a path of 300 characters, each a target and a source of
// either format, at a level given as a value or as text.
var src = fixtures + "text.txt", folder = scratch + new Array(160 - scratch.length).join("d");
fso.CreateFolder(folder);
var names = [scratch + "\u03b1\u03c1\u03c7\u03b5\u03af\u03bf", scratch + "\u6587\u4ef6",
             scratch + "\ud83d\udce6 box", folder + "\\" + new Array(141).join("f")];
for (var i = 0; i < names.length; i++) {
    var n = names[i], back = scratch + "back" + i, level = [4 + 1, "9", 1, "5"][i];
    check(run(function () { ctl.Compress(src, n, level); }) &&
          run(function () { ctl.Decompress(n, back + ".a"); }) &&
          run(function () { ctl.CompressBzip3(src, n + "3", level); }) &&
          run(function () { ctl.DecompressBzip3(n + "3", back + ".b"); }), "round trips through " + n);
    check(bytes(n) == bytes(fixtures + "text.txt." + level + ".bz2") &&
          bytes(n + "3").substr(40, 4) == "BZh" + level && bytes(back + ".a") == bytes(src) &&
          bytes(back + ".b") == bytes(src), "level " + level + ", restored");
}
