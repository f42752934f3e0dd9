' The KELBzip2 control driven from VBScript, the way a script host uses it:
' created by its ProgID, events through handlers named after a prefix.
' Arguments: fixture folder, scratch folder, a name for this run's files.
' Every check prints "ok:" or "FAIL:"; any failure ends with exit code 1.
Option Explicit

Const AlreadyRunning = "Already running , call the cancel function or wait for the end of execution"
' Enough for any job here on a slow machine; only a hang runs into it.
Const WaitBound = 6000

Dim fixtures, scratch, failures, ctl
Dim events, finished, lastProgress
Dim pauseAbove, handlerPaused, pausedAt, rewriteProgress

fixtures = WScript.Arguments(0) & "\"
scratch = WScript.Arguments(1) & "\" & WScript.Arguments(2) & "-"
failures = 0
pauseAbove = -1
rewriteProgress = False

Sub Check(ok, what)
    If ok Then
        WScript.Echo "ok: " & what
    Else
        WScript.Echo "FAIL: " & what
        failures = failures + 1
    End If
End Sub

Sub ResetEvents()
    events = ""
    finished = False
End Sub

' Events are logged as " P<value>", " E<number>:[<description>]", " F".
Sub ctl_Progress(Progressvalue)
    events = events & " P" & Progressvalue
    lastProgress = Progressvalue
    If pauseAbove >= 0 And Progressvalue > pauseAbove Then
        ' Pause from inside the handler: the job cannot end before it.
        pauseAbove = -1
        ctl.PauseCompress
        handlerPaused = True
        pausedAt = Progressvalue
    End If
    ' The control keeps what the handler writes back (by reference).
    If rewriteProgress Then Progressvalue = -1
End Sub

Sub ctl_ErrorCode(ErrorNumber, ErrorDescription)
    events = events & " E" & ErrorNumber & ":[" & ErrorDescription & "]"
End Sub

Sub ctl_Finished()
    events = events & " F"
    finished = True
End Sub

Function WaitFinished()
    Dim i
    For i = 1 To WaitBound
        If finished Then Exit For
        WScript.Sleep 20
    Next
    WaitFinished = finished
End Function

Function WaitHandlerPause()
    Dim i
    handlerPaused = False
    For i = 1 To WaitBound
        If handlerPaused Or finished Then Exit For
        WScript.Sleep 20
    Next
    WaitHandlerPause = handlerPaused
End Function

' Until no event has come for a second: a chunk in flight may still land
' after a pause.
Sub WaitQuiet()
    Dim i, before
    For i = 1 To 120
        before = events
        WScript.Sleep 1000
        If events = before Then Exit For
    Next
End Sub

' Until the last three events are Progress with one value.
Function WaitRepeats()
    Dim i, t, n
    WaitRepeats = False
    For i = 1 To WaitBound
        If finished Then Exit For
        t = Split(Trim(events), " ")
        n = UBound(t)
        If n >= 2 Then
            If Left(t(n), 1) = "P" And t(n) = t(n - 1) And t(n) = t(n - 2) Then
                WaitRepeats = True
                Exit For
            End If
        End If
        WScript.Sleep 20
    Next
End Function

' A job's whole event log: Progress 0 first, then only Progress values up to
' 97, and at the end Progress 100, the result, Finished.
Function JobEvents(number, description)
    Dim tail, ok, t
    tail = " P100 E" & number & ":[" & description & "] F"
    ok = Left(events, 4) = " P0 " And Len(events) >= Len(tail) + 3
    If ok Then ok = Right(events, Len(tail)) = tail
    If ok Then
        For Each t In Split(Mid(events, 4, Len(events) - 3 - Len(tail)), " ")
            If t <> "" Then
                If Left(t, 1) <> "P" Then
                    ok = False
                ElseIf CLng(Mid(t, 2)) < 0 Or CLng(Mid(t, 2)) > 97 Then
                    ok = False
                End If
            End If
        Next
    End If
    If Not ok Then WScript.Echo "  events:" & events
    JobEvents = ok
End Function

' Runs a started job to its end and checks its events and the idle state.
Sub FinishJob(what, number, description)
    Check WaitFinished(), what & ": Finished arrives"
    Check JobEvents(number, description), what & ": events P0 .. P100 E" & number & " F"
    Check Not ctl.Status, what & ": Status false after the job"
End Sub

Sub Refused(what, number, description)
    ' Refusals are raised during the call; nothing follows them.
    Dim expected
    expected = " E" & number & ":[" & description & "]"
    Check events = expected, what & " refused with " & number & " during the call"
    If events <> expected Then WScript.Echo "  events:" & events
    WScript.Sleep 300
    Check events = expected, what & ": no event after the refusal"
End Sub

Set ctl = WScript.CreateObject("KELBzip2_201.KELBzip2", "ctl_")

' Identity and idle state.
Check ctl.ControlName = "Tessel OCX 2.0.1", "ControlName is ""Tessel OCX 2.0.1"""
Check Len(ctl.GetCPUVendor) > 0, "GetCPUVendor is not empty (" & ctl.GetCPUVendor & ")"
Check Not ctl.Status, "Status false before any job"

' Refusals: codes and exact messages, the checks run in a fixed order.
Dim src, dst, r, lvl
src = fixtures & "text.txt"
dst = scratch & "refused.bz2"
ResetEvents
r = ctl.Compress("", "", 9)
Refused "Compress with both names empty", 2, "The input file is the same as the output"
Check IsEmpty(r), "Compress returns an empty Variant"
ResetEvents
ctl.Compress src, UCase(src), 9
Refused "Compress with names equal but for case", 2, "The input file is the same as the output"
ResetEvents
ctl.Compress "", dst, 9
Refused "Compress with an empty input name", 3, "The input file is empty "
ResetEvents
ctl.Compress src, "", 9
Refused "Compress with an empty output name", 4, "The outputfile file is empty "
ResetEvents
ctl.Compress src, "", 10
Refused "Compress with level 10 and an empty output name", 4, "The outputfile file is empty "
ResetEvents
ctl.Compress src, dst, 10
Refused "Compress at level 10", 1, "Invalid compression level "
ResetEvents
lvl = -1
ctl.Compress src, dst, lvl
Refused "Compress at level -1 (variable)", 1, "Invalid compression level "
ResetEvents
ctl.CompressBzip3 src, dst, 0
Refused "CompressBzip3 at level 0", 1, "Invalid compression level "
ResetEvents
ctl.CompressBzip3 src, dst, 5 + 5
Refused "CompressBzip3 at level 5 + 5", 1, "Invalid compression level "
ResetEvents
ctl.Decompress "", ""
Refused "Decompress with both names empty", 2, "The input file is the same as the output"
ResetEvents
ctl.DecompressBzip3 "", dst
Refused "DecompressBzip3 with an empty input name", 3, "The input file is empty "
ResetEvents
ctl.DecompressBzip3 src, ""
Refused "DecompressBzip3 with an empty output name", 4, "The outputfile file is empty "

' bzip2 round trip; the output must be what the real bzip2 tool makes.
Dim packed, restored
packed = scratch & "binary.bz2"
restored = scratch & "binary.out"
WScript.DeleteFile packed
WScript.DeleteFile restored
ResetEvents
r = ctl.Compress(fixtures & "binary.bin", packed, 9)
Check IsEmpty(r), "Compress of a job returns an empty Variant"
Check events = " P0", "Compress raises Progress 0 during the call"
FinishJob "Compress binary.bin at level 9", 0, "No error"
Check WScript.SameBytes(packed, fixtures & "binary.bin.9.bz2"), "Compress output equals bzip2 -9"
ResetEvents
ctl.Decompress packed, restored
FinishJob "Decompress", 0, "No error"
Check WScript.SameBytes(restored, fixtures & "binary.bin"), "Decompress restores binary.bin"

' The level as an expression and as a variable (passed by reference).
packed = scratch & "text5.bz2"
WScript.DeleteFile packed
ResetEvents
ctl.Compress src, packed, 2 + 3
FinishJob "Compress at level 2 + 3", 0, "No error"
Check WScript.SameBytes(packed, fixtures & "text.txt.5.bz2"), "Compress at level 2 + 3 equals bzip2 -5"
packed = scratch & "text1.bz2"
WScript.DeleteFile packed
lvl = 1
ResetEvents
ctl.Compress src, packed, lvl
FinishJob "Compress at level lvl = 1", 0, "No error"
Check WScript.SameBytes(packed, fixtures & "text.txt.1.bz2"), "Compress at level lvl = 1 equals bzip2 -1"
Check lvl = 1, "the level variable is left as it was"

' Bzip3 round trip; the stream after the 40-byte header carries the level.
packed = scratch & "sample1.kb3"
restored = scratch & "sample1.out"
WScript.DeleteFile packed
WScript.DeleteFile restored
ResetEvents
ctl.CompressBzip3 fixtures & "sample1.ref", packed, 9
Check events = " P0", "CompressBzip3 raises Progress 0 during the call"
FinishJob "CompressBzip3 sample1.ref at level 9", 0, "No error"
Check WScript.ReadBytes(packed, 0, 4) = "KELB", "Bzip3 output begins with KELB"
Check WScript.ReadBytes(packed, 40, 4) = "BZh9", "Bzip3 stream at level 9"
ResetEvents
ctl.DecompressBzip3 packed, restored
FinishJob "DecompressBzip3", 0, "No error"
Check WScript.SameBytes(restored, fixtures & "sample1.ref"), "DecompressBzip3 restores sample1.ref"

packed = scratch & "text5.kb3"
WScript.DeleteFile packed
ResetEvents
ctl.CompressBzip3 src, packed, 4 + 1
FinishJob "CompressBzip3 at level 4 + 1", 0, "No error"
Check WScript.ReadBytes(packed, 40, 4) = "BZh5", "Bzip3 stream at level 4 + 1"
packed = scratch & "text2.kb3"
restored = scratch & "text2.out"
WScript.DeleteFile packed
WScript.DeleteFile restored
lvl = 2
ResetEvents
ctl.CompressBzip3 src, packed, lvl
FinishJob "CompressBzip3 at level lvl = 2", 0, "No error"
Check WScript.ReadBytes(packed, 40, 4) = "BZh2", "Bzip3 stream at level lvl = 2"
ResetEvents
ctl.DecompressBzip3 packed, restored
FinishJob "DecompressBzip3 of the level 2 file", 0, "No error"
Check WScript.SameBytes(restored, src), "DecompressBzip3 restores text.txt"

' Files that cannot be opened or are not of the format: engine results.
ResetEvents
ctl.Decompress fixtures & "missing.bz2", scratch & "missing.out"
FinishJob "Decompress of a missing file", 8, "Unable to open input file"
ResetEvents
ctl.DecompressBzip3 fixtures & "missing.kb3", scratch & "missing.out"
FinishJob "DecompressBzip3 of a missing file", 107, "Cannot open input file"
ResetEvents
ctl.DecompressBzip3 fixtures & "text.txt.9.bz2", scratch & "notkb3.out"
FinishJob "DecompressBzip3 of a bzip2 file", 122, "Not a valid Bzip3 file"

' A long job: second job refused, pause, resume, cancel while paused.
Dim large, expected, stillAt, quiet
large = scratch & "large.bz2"
ResetEvents
ctl.Compress fixtures & "large.bin", large, 9
Check ctl.Status, "Status true while a job runs"
ctl.Compress src, scratch & "second.bz2", 9
ctl.CompressBzip3 src, scratch & "second.kb3", 9
ctl.Decompress fixtures & "text.txt.9.bz2", scratch & "second.out"
expected = " P0 E7:[" & AlreadyRunning & "] E7:[" & AlreadyRunning & "] E7:[" & AlreadyRunning & "]"
Check events = expected, "three job methods during a job refused with 7 during the call"
If events <> expected Then WScript.Echo "  events:" & events

' Pause once the worker has visibly started (it clears a pause sent earlier).
ResetEvents
pauseAbove = 0
Check WaitHandlerPause(), "paused from the handler at " & pausedAt & "%"
WaitQuiet
quiet = events
WScript.Sleep 1500
Check events = quiet, "no event while paused"
Check Not finished, "paused job has not finished"
Check ctl.Status, "Status true while paused"

' Resume: progress moves on; the handler pauses again and from then on
' writes into Progressvalue. The control keeps what the handler wrote as its
' last value, so the unchanged percentage is raised again on every tick.
stillAt = lastProgress
rewriteProgress = True
ResetEvents
pauseAbove = stillAt
ctl.ResumeCompress
Check WaitHandlerPause(), "progress moves on after ResumeCompress (" & stillAt & "% to " & pausedAt & "%)"
ResetEvents
Dim repeats
repeats = WaitRepeats()
Check repeats, "a value written into Progressvalue reaches the control: the same value repeats"
If Not repeats Then WScript.Echo "  events:" & events
rewriteProgress = False
Check Not finished, "still paused while the value repeats"

WaitQuiet
ResetEvents
ctl.CancelCompress
Check WaitFinished(), "cancelled paused job reports its end"
Check Right(events, Len(" P100 E119:[User cancel] F")) = " P100 E119:[User cancel] F", _
    "cancel ends with P100 E119 ""User cancel"" F"
If Right(events, Len(" P100 E119:[User cancel] F")) <> " P100 E119:[User cancel] F" Then _
    WScript.Echo "  events:" & events
Check Not ctl.Status, "Status false after the cancelled job"

' Pause, resume and cancel with no job running raise nothing.
ResetEvents
ctl.PauseCompress
ctl.ResumeCompress
ctl.CancelCompress
WScript.Sleep 300
Check events = "", "pause, resume and cancel when idle raise nothing"

If failures > 0 Then
    WScript.Echo failures & " check(s) failed"
    WScript.Quit 1
End If
WScript.Echo "all checks passed"
