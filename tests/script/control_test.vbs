' KELBzip2 from VBScript, events' arguments by reference. Arguments: fixtures, empty scratch, registered|free.
Option Explicit
Dim fso, fixtures, scratch, ctl, events, finished, pauseAbove, rewrite, cancelling, other, before
Set fso = CreateObject("Scripting.FileSystemObject")
fixtures = WScript.Arguments(0) & "\"
scratch = WScript.Arguments(1) & "\"
pauseAbove = -1  ' the others start Empty, as False

Sub Check(ok, what)
    If Not ok Then WScript.Echo "FAIL: " & what & " (events" & events & ")"  ' fails the run
End Sub
Sub ctl_Progress(value)
    events = events & "|P" & value
    If pauseAbove >= 0 And value > pauseAbove Then
        pauseAbove = -1  ' from the handler: the job cannot end before the pause
        ctl.PauseCompress
    End If
    If cancelling Then ctl.CancelCompress
    If rewrite Then value = -1  ' the control keeps what the handler writes back
End Sub
Sub ctl_ErrorCode(number, description)
    events = events & "|E" & number & ":" & description
End Sub
Sub ctl_Finished()
    events = events & "|F"
    finished = True
End Sub

' Polls for up to two minutes. "repeats": the first three events since a reset are one Progress value.
Function WaitFor(condition)
    Dim i, t
    For i = 1 To 6000
        t = Split(Mid(events, 2) & "|||", "|")
        Select Case condition
            Case "finished": WaitFor = finished
            Case "paused": WaitFor = pauseAbove < 0 Or finished
            Case "repeats": WaitFor = Left(t(0), 1) = "P" And t(0) = t(1) And t(1) = t(2)
        End Select
        If WaitFor Then Exit Function
        WScript.Sleep 20
    Next
End Function

Set ctl = WScript.CreateObject("KELBzip2_201.KELBzip2", "ctl_")
Check ctl.ControlName = "Tessel OCX 2.0.1" And Len(ctl.GetCPUVendor) = 12 And Len(Trim(ctl.GetCPUBrandString)) > 0 _
    And Not ctl.Status, "names, the processor and idle"
' A whole job: Progress 0 during the call, one result at its end, after 100; idle after.
ctl.Compress fixtures & "binary.bin", scratch & "b.bz2", 9
Check Left(events & "|", 4) = "|P0|" And WaitFor("finished") And InStr(events, "|E") = Len(events) - 13 And _
    Right(events, 19) = "|P100|E0:No error|F" And Not ctl.Status, "a whole job"
Check fso.OpenTextFile(scratch & "b.bz2").ReadAll = fso.OpenTextFile(fixtures & "binary.bin.9.bz2").ReadAll, _
    "Compress equals bzip2 -9"

If WScript.Arguments(2) = "registered" Then
    ' Refusals come during the call, and nothing after them; names that differ in case are one file.
    events = ""
    ctl.Compress fixtures & "text.txt", UCase(fixtures & "text.txt"), 9
    ctl.CompressBzip3 fixtures & "text.txt", scratch & "o", 10
    WScript.Sleep 300
    Check events = "|E2:The input file is the same as the output|E1:Invalid compression level ", "refusals"
    ' Wrong arguments are dispatch errors, not crashes.
    On Error Resume Next
    ctl.Compress "a"
    Check Err.Number = 450, "too few arguments"
    ctl.Compress "a", "b", "nine"
    Check Err.Number = 13, "a level that is no number"
    On Error GoTo 0
    ' Paused from the handler; resumed, a value written back is raised again; cancelled from the handler: 119.
    finished = False
    ctl.Compress fixtures & "large.bin", scratch & "l.bz2", 9
    pauseAbove = 0
    Check WaitFor("paused") And Not finished, "paused from the handler"
    Do  ' until no event has come for half a second: a chunk in flight may still land
        before = events
        WScript.Sleep 500
    Loop Until events = before
    Check ctl.Status And Not finished, "events stop while paused, Status true"
    pauseAbove = CLng(Mid(events, InStrRev(events, "P") + 1))
    rewrite = True
    ctl.ResumeCompress
    Check WaitFor("paused") And Not finished, "progress moves on after ResumeCompress"
    events = ""
    Check WaitFor("repeats"), "a value written back reaches the control: the same value repeats"
    cancelling = True  ' at the next value raised again, while paused
    Check WaitFor("finished") And Right(events, 24) = "|P100|E119:User cancel|F" And Not ctl.Status And _
        Not fso.FileExists(scratch & "l.bz2"), "a cancel from the handler ends with 119 and leaves no target"
    ' A control released during its job stops the job before it is gone.
    Set other = WScript.CreateObject("KELBzip2_201.KELBzip2")
    other.Compress fixtures & "large.bin", scratch & "r.bz2", 9
    Check ctl.Status, "the other control's job runs"
    Set other = Nothing
    Check Not ctl.Status And Not fso.FileExists(scratch & "r.bz2"), "releasing a control stops its job"
End If
