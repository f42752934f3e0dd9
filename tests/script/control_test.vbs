' The KELBzip2 control driven from VBScript: created by its ProgID, events
' through handlers named after a prefix, arguments passed by reference.
' Arguments: the fixture folder, an empty scratch folder, and "registered", or
' "free" with the folder of a control library that nothing registered and
' the engine to put beside it.
Option Explicit
Const Same = "The input file is the same as the output", BadLevel = "Invalid compression level "
Dim fso, fixtures, scratch, src, failures, ctl, events, finished, pauseAbove, rewrite
Set fso = CreateObject("Scripting.FileSystemObject")
fixtures = WScript.Arguments(0) & "\"
scratch = WScript.Arguments(1) & "\"
src = fixtures & "text.txt"
failures = 0
pauseAbove = -1
rewrite = False

Sub Check(ok, what)
    If Not ok Then WScript.Echo "FAIL: " & what & " (events" & events & ")"
    If Not ok Then failures = failures + 1
End Sub

Sub ctl_Progress(value)
    events = events & "|P" & value
    If pauseAbove >= 0 And value > pauseAbove Then
        pauseAbove = -1  ' from the handler: the job cannot end before the pause
        ctl.PauseCompress
    End If
    If rewrite Then value = -1  ' the control keeps what the handler writes back
End Sub
Sub ctl_ErrorCode(number, description)
    events = events & "|E" & number & ":" & description
End Sub
Sub ctl_Finished()
    events = events & "|F"
    finished = True
End Sub

' Polls for up to two minutes: only a hang runs into the bound (Wine's
' VBScript has no Eval).
Function Holds(condition)
    Select Case condition
        Case "finished": Holds = finished
        Case "paused": Holds = pauseAbove < 0 Or finished
        Case "repeats": Holds = Repeats()
    End Select
End Function
Function WaitFor(condition)
    Dim i
    For i = 1 To 6000
        If Holds(condition) Then Exit For
        WScript.Sleep 20
    Next
    WaitFor = Holds(condition)
End Function
' Until no event has come for half a second: a chunk in flight may still land.
Sub WaitQuiet()
    Dim before
    Do
        before = events
        WScript.Sleep 500
    Loop Until events = before
End Sub

Sub Start(ByVal method, ByVal source, ByVal target, ByVal level)
    events = ""
    finished = False
    Select Case method
        Case "Compress": ctl.Compress source, target, level
        Case "CompressBzip3": ctl.CompressBzip3 source, target, level
        Case "Decompress": ctl.Decompress source, target
        Case "DecompressBzip3": ctl.DecompressBzip3 source, target
    End Select
End Sub

' A whole job: Progress 0 during the call, then only Progress up to 97, at the
' end Progress 100, the result and Finished; the control is idle after it.
Sub Job(method, source, target, level, number, description)
    Dim tail, ok, t
    Start method, source, target, level
    Check events = "|P0", method & " raises Progress 0 during the call"
    Check WaitFor("finished"), method & " finishes"
    tail = "|P100|E" & number & ":" & description & "|F"
    ok = Right(events, Len(tail)) = tail And Len(events) >= Len(tail) + 3
    If ok Then
        For Each t In Split(Mid(events, 4, Len(events) - 3 - Len(tail)), "|")
            If Left(t, 1) <> "P" Then
                ok = ok And t = ""
            ElseIf CLng(Mid(t, 2)) > 97 Then
                ok = False
            End If
        Next
    End If
    Check ok, method & " " & target & " ends with " & number & " " & description
    Check Not ctl.Status, method & ": Status false after the job"
End Sub

Function Bytes(name)
    Bytes = fso.OpenTextFile(name).ReadAll
End Function
' While paused, the last three events are Progress with one value.
Function Repeats()
    Dim t
    t = Split(Mid(events, 2), "|")
    Repeats = False
    If UBound(t) >= 2 Then Repeats = Left(t(0), 1) = "P" And t(0) = t(1) And t(1) = t(2)
End Function

Set ctl = WScript.CreateObject("KELBzip2_201.KELBzip2", "ctl_")

If WScript.Arguments(2) = "free" Then LoneLibrary
Check ctl.ControlName = "Tessel OCX 2.0.1", "ControlName"
Check Len(ctl.GetCPUVendor) = 12 And Len(Trim(ctl.GetCPUBrandString)) > 0, "processor names"
Check Not ctl.Status, "Status false before any job"

' Round trips of both formats; bzip2 output is what the real bzip2 tool makes.
Job "Compress", fixtures & "binary.bin", scratch & "b.bz2", 9, 0, "No error"
Check Bytes(scratch & "b.bz2") = Bytes(fixtures & "binary.bin.9.bz2"), "Compress equals bzip2 -9"
Job "Decompress", scratch & "b.bz2", scratch & "b.out", Empty, 0, "No error"
Check Bytes(scratch & "b.out") = Bytes(fixtures & "binary.bin"), "Decompress restores the file"
Job "CompressBzip3", fixtures & "sample1.ref", scratch & "s.kb3", 2, 0, "No error"
Check Left(Bytes(scratch & "s.kb3"), 4) = "KELB" And Mid(Bytes(scratch & "s.kb3"), 41, 4) = "BZh2", "Bzip3 header and level"
Job "DecompressBzip3", scratch & "s.kb3", scratch & "s.out", Empty, 0, "No error"
Check Bytes(scratch & "s.out") = Bytes(fixtures & "sample1.ref"), "DecompressBzip3 restores the file"
If WScript.Arguments(2) <> "free" Then Registered
If failures > 0 Then Err.Raise 1000, "control_test", failures & " check(s) failed"
WScript.Echo "all checks passed"

' With nothing registered the library's own assembly makes the control. An
' engine file that is missing or has no interface1 fails each method with
' 50003 or 50004 until the control that loaded it is gone.
Sub LoneLibrary()
    Dim here, lone
    here = WScript.Arguments(3) & "\"
    Set lone = WScript.CreateObject("KELBzip2_201.KELBzip2")
    On Error Resume Next
    lone.Status
    Check Err.Number = 50003 And InStr(Err.Description, here & "kelbzip2_201.dll") > 0, "no engine is 50003"
    Err.Clear
    fso.CopyFile WScript.Arguments(5), here & "kelbzip2_201.dll"
    lone.Status
    Check Err.Number = 50004, "an engine without interface1 is 50004"
    On Error GoTo 0
    Check lone.ControlName = "Tessel OCX 2.0.1", "ControlName needs no engine"
    Set lone = Nothing
    fso.CopyFile WScript.Arguments(4), here & "kelbzip2_201.dll"
End Sub

Sub Registered()
    Dim c, other
    Job "Decompress", fixtures & "missing.bz2", scratch & "m.out", Empty, 8, "Unable to open input file"
    Job "DecompressBzip3", fixtures & "missing.kb3", scratch & "m.out", Empty, 107, "Cannot open input file"
    Job "DecompressBzip3", fixtures & "text.txt.9.bz2", scratch & "m.out", Empty, 122, "Not a valid Bzip3 file"

    ' Refusals come during the call, in a fixed order of checks, and nothing follows them.
    For Each c In Array(Array("Compress", "", "", 9, 2, Same), Array("Compress", src, UCase(src), 9, 2, Same), _
            Array("Compress", "", "o", 9, 3, "The input file is empty "), _
            Array("Compress", src, "", 10, 4, "The outputfile file is empty "), Array("Compress", src, "o", 10, 1, BadLevel), _
            Array("Compress", src, "o", -1, 1, BadLevel), Array("CompressBzip3", src, "o", 0, 1, BadLevel), _
            Array("CompressBzip3", src, "o", 10, 1, BadLevel), Array("Decompress", "", "", Empty, 2, Same), _
            Array("DecompressBzip3", "", "o", Empty, 3, "The input file is empty "), _
            Array("DecompressBzip3", src, "", Empty, 4, "The outputfile file is empty "))
        Start c(0), c(1), c(2), c(3)
        Check events = "|E" & c(4) & ":" & c(5), c(0) & " " & c(3) & " refused with " & c(4)
    Next
    WScript.Sleep 300
    Check events = "|E4:The outputfile file is empty ", "no event after the refusals"

    ' Dispatch errors for wrong arguments, not crashes.
    On Error Resume Next
    ctl.Compress "a"
    Check Err.Number = 450, "too few arguments"
    Err.Clear
    ctl.Compress "a", "b", "nine"
    Check Err.Number = 13, "a level that is no number"
    On Error GoTo 0

    ' A long job: paused from the handler, nothing while paused; resumed, it
    ' moves on; a value the handler writes into Progressvalue is what the control
    ' raises again; cancelled while paused it ends with 119.
    Start "Compress", fixtures & "large.bin", scratch & "l.bz2", 9
    pauseAbove = 0
    Check WaitFor("paused") And Not finished, "paused from the handler"
    WaitQuiet
    c = events
    WScript.Sleep 1000
    Check events = c And ctl.Status, "no event while paused, Status true"
    pauseAbove = CLng(Mid(events, InStrRev(events, "P") + 1))
    rewrite = True
    ctl.ResumeCompress
    Check WaitFor("paused") And Not finished, "progress moves on after ResumeCompress"
    events = ""
    Check WaitFor("repeats"), "a value written back reaches the control: the same value repeats"
    rewrite = False
    WaitQuiet
    events = ""
    ctl.CancelCompress
    Check WaitFor("finished") And events = "|P100|E119:User cancel|F" And Not ctl.Status, "cancel ends with 119"
    Check Not fso.FileExists(scratch & "l.bz2"), "a cancelled job leaves no target"

    ' A control released during its job stops the job before it is gone.
    Set other = WScript.CreateObject("KELBzip2_201.KELBzip2")
    other.Compress fixtures & "large.bin", scratch & "r.bz2", 9
    Check ctl.Status, "the other control's job runs"
    Set other = Nothing
    Check Not ctl.Status And Not fso.FileExists(scratch & "r.bz2"), "releasing a control stops its job"
End Sub
