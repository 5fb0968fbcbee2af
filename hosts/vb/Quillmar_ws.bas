Attribute VB_Name = "Quillmar_ws"
' Quillmar_ws for VB6 programs and for VBA macros in 32- and 64-bit Office.
'
' TCP connections driven by polling from the thread that made them: each thread has
' slots 0 to 1023, each a connection of its own, and the calls act on the slot that
' QwsSelect chose last (slot 0 until then).
' Quillmar_ws.dll must match the host's bitness (64-bit Office takes the 64-bit
' DLL) and lie where Windows finds it: beside the VB6 program, or for Office in a
' folder on PATH or the current folder (ChDir there before the first call).
'
' Strings: the host name goes as VB passes any ByVal String, in ANSI. The text to
' send goes as the wide string itself (StrPtr), and the received text is the
' library's own wide string, taken over as it is. Declared As String instead,
' VB would convert both to and from ANSI and corrupt them.
Option Explicit

' What QwsReceive returns, every time, once the peer has closed.
Public Const QWS_REMOTE_DISCONNECT As String = "Remote Disconnect"
' What QwsState reports.
Public Const QWS_STATE_NONE As Long = 0
Public Const QWS_STATE_LISTENING As Long = 1
Public Const QWS_STATE_CONNECTING As Long = 2
Public Const QWS_STATE_CONNECTED As Long = 3
Public Const QWS_STATE_CLOSED_BY_PEER As Long = 4
Public Const QWS_STATE_FAILED As Long = 5
' The highest slot; QwsServer.frm serves clients from slots 1 up.
Public Const QWS_LAST_SLOT As Long = 1023

' Set by the host's Stop button (Private Sub cmdStop_Click(): QwsStopRequested = True).
Public QwsStopRequested As Boolean

#If VBA7 Then
Public Declare PtrSafe Function DllMain Lib "Quillmar_ws.dll" (ByRef hinst As Long, ByRef reason As Long, ByRef reserved As Long) As Long
Public Declare PtrSafe Function CloseTCP Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function DataArrivalTCP Lib "Quillmar_ws.dll" () As LongPtr
Public Declare PtrSafe Function ConnectRequestTCP Lib "Quillmar_ws.dll" () As Boolean
Public Declare PtrSafe Function ConnectTCP Lib "Quillmar_ws.dll" (ByVal hostName As String, ByVal port As Integer) As Boolean
Public Declare PtrSafe Function stopwinsock Lib "Quillmar_ws.dll" () As Boolean
Public Declare PtrSafe Function SendTCP Lib "Quillmar_ws.dll" (ByVal textPointer As LongPtr) As Long
Public Declare PtrSafe Function ShutdownTCP Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function ListenerTCP Lib "Quillmar_ws.dll" (ByVal port As Integer) As Boolean
Public Declare PtrSafe Function clearwinsockfile Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function createstopwinsockfile Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function clearsetfile Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function createstopsetfile Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function stopsettings Lib "Quillmar_ws.dll" () As Boolean
Public Declare PtrSafe Function SendBytesTCP Lib "Quillmar_ws.dll" (ByVal bytesPointer As LongPtr) As Long
Public Declare PtrSafe Function DataArrivalBytesTCP Lib "Quillmar_ws.dll" () As LongPtr
Public Declare PtrSafe Function StateTCP Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function LastErrorTCP Lib "Quillmar_ws.dll" () As Long
Public Declare PtrSafe Function ErrorTextTCP Lib "Quillmar_ws.dll" (ByVal code As Long) As LongPtr
Public Declare PtrSafe Function GreetingTCP Lib "Quillmar_ws.dll" () As LongPtr
Public Declare PtrSafe Function ConnectTLS Lib "Quillmar_ws.dll" (ByVal hostName As String, ByVal port As Integer) As Boolean
Public Declare PtrSafe Function TrustTLS Lib "Quillmar_ws.dll" (ByVal pathPointer As LongPtr) As Long
Public Declare PtrSafe Function SelectTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Long
Public Declare PtrSafe Function HandOffTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Boolean
Public Declare PtrSafe Function GreetingBytesTCP Lib "Quillmar_ws.dll" () As LongPtr
Public Declare PtrSafe Function WaitTCP Lib "Quillmar_ws.dll" (ByVal milliseconds As Long) As Long
Public Declare PtrSafe Function AcceptTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Boolean
Public Declare PtrSafe Function PeerAddressTCP Lib "Quillmar_ws.dll" () As LongPtr
Public Declare PtrSafe Function LocalAddressTCP Lib "Quillmar_ws.dll" () As LongPtr
Private Declare PtrSafe Sub CopyMemory Lib "kernel32" Alias "RtlMoveMemory" (ByRef destination As Any, ByRef source As Any, ByVal length As LongPtr)
Private Declare PtrSafe Sub Sleep Lib "kernel32" (ByVal milliseconds As Long)
#Else
Public Declare Function DllMain Lib "Quillmar_ws.dll" (ByRef hinst As Long, ByRef reason As Long, ByRef reserved As Long) As Long
Public Declare Function CloseTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function DataArrivalTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function ConnectRequestTCP Lib "Quillmar_ws.dll" () As Boolean
Public Declare Function ConnectTCP Lib "Quillmar_ws.dll" (ByVal hostName As String, ByVal port As Integer) As Boolean
Public Declare Function stopwinsock Lib "Quillmar_ws.dll" () As Boolean
Public Declare Function SendTCP Lib "Quillmar_ws.dll" (ByVal textPointer As Long) As Long
Public Declare Function ShutdownTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function ListenerTCP Lib "Quillmar_ws.dll" (ByVal port As Integer) As Boolean
Public Declare Function clearwinsockfile Lib "Quillmar_ws.dll" () As Long
Public Declare Function createstopwinsockfile Lib "Quillmar_ws.dll" () As Long
Public Declare Function clearsetfile Lib "Quillmar_ws.dll" () As Long
Public Declare Function createstopsetfile Lib "Quillmar_ws.dll" () As Long
Public Declare Function stopsettings Lib "Quillmar_ws.dll" () As Boolean
Public Declare Function SendBytesTCP Lib "Quillmar_ws.dll" (ByVal bytesPointer As Long) As Long
Public Declare Function DataArrivalBytesTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function StateTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function LastErrorTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function ErrorTextTCP Lib "Quillmar_ws.dll" (ByVal code As Long) As Long
Public Declare Function GreetingTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function ConnectTLS Lib "Quillmar_ws.dll" (ByVal hostName As String, ByVal port As Integer) As Boolean
Public Declare Function TrustTLS Lib "Quillmar_ws.dll" (ByVal pathPointer As Long) As Long
Public Declare Function SelectTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Long
Public Declare Function HandOffTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Boolean
Public Declare Function GreetingBytesTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function WaitTCP Lib "Quillmar_ws.dll" (ByVal milliseconds As Long) As Long
Public Declare Function AcceptTCP Lib "Quillmar_ws.dll" (ByVal slot As Integer) As Boolean
Public Declare Function PeerAddressTCP Lib "Quillmar_ws.dll" () As Long
Public Declare Function LocalAddressTCP Lib "Quillmar_ws.dll" () As Long
Private Declare Sub CopyMemory Lib "kernel32" Alias "RtlMoveMemory" (ByRef destination As Any, ByRef source As Any, ByVal length As Long)
Private Declare Sub Sleep Lib "kernel32" (ByVal milliseconds As Long)
#End If

' The 16-bit pattern the library takes for a port from 0 to 65535 (65535 is -1).
Public Function QwsPort(ByVal port As Long) As Integer
    If port < 0 Or port > 65535 Then Err.Raise 5, "QwsPort", "A port is from 0 to 65535."
    If port > 32767 Then QwsPort = CInt(port - 65536) Else QwsPort = CInt(port)
End Function

' Connects to a host name or dotted address; True when connected (takes about a second).
Public Function QwsConnect(ByVal hostName As String, ByVal port As Long) As Boolean
    QwsConnect = ConnectTCP(hostName, QwsPort(port))
End Function

' As QwsConnect, then a secure session whose server certificate verified for the name
' (a second more at most, or 10 s for a server that never answers); see QwsLastError.
Public Function QwsConnectSecure(ByVal hostName As String, ByVal port As Long) As Boolean
    QwsConnectSecure = ConnectTLS(hostName, QwsPort(port))
End Function

' Trusts the certificates of a PEM file (a private authority) in this process; how many, or -1.
Public Function QwsTrust(ByVal path As String) As Long
    QwsTrust = TrustTLS(StrPtr(path))
End Function

' Listens on every local address; True when the port could be bound.
Public Function QwsListen(ByVal port As Long) As Boolean
    QwsListen = ListenerTCP(QwsPort(port))
End Function

' Without a slot: one poll for a peer after QwsListen; True when one was accepted
' (takes 0.6 s then). With a slot: the waiting peer goes straight into that slot,
' with no pause, as a connection that QwsConnect made; False when none waits or the
' slot is the selected one or still connected.
Public Function QwsAccept(Optional ByVal slot As Long = -1) As Boolean
    If slot = -1 Then
        QwsAccept = ConnectRequestTCP()
    ElseIf slot >= 0 And slot <= QWS_LAST_SLOT Then
        QwsAccept = AcceptTCP(CInt(slot))
    End If
End Function

' The slot of this thread that needs its program (data, a client that left, a peer
' waiting on a listener), waiting up to the milliseconds given while the program's
' windows and timers go on; -1 when none does. 0 only looks. Nothing is taken: the
' slot stays in need until it is served, and slots in need come in turn.
Public Function QwsWait(ByVal milliseconds As Long) As Long
    If milliseconds < 0 Then milliseconds = 0
    QwsWait = WaitTCP(milliseconds)
End Function

' Sends the text in the ANSI code page; the count of bytes sent, or -1.
Public Function QwsSend(ByVal text As String) As Long
    QwsSend = SendTCP(StrPtr(text))
End Function

' What has arrived ("" when nothing has), or QWS_REMOTE_DISCONNECT.
Public Function QwsReceive() As String
    QwsReceive = TakeOver(DataArrivalTCP())
End Function

' Sends bytes unchanged, with no pause; the count of bytes sent, or -1.
Public Function QwsSendBytes(ByRef data() As Byte) As Long
    Dim packed As String
    packed = data   ' a Byte array assigned to a String keeps its bytes as they are
    QwsSendBytes = SendBytesTCP(StrPtr(packed))
End Function

' Up to 65536 bytes that have arrived; none when nothing has or the peer left (see QwsState).
Public Function QwsReceiveBytes() As Byte()
    QwsReceiveBytes = TakeOver(DataArrivalBytesTCP())
End Function

' The connection's state: one of the QWS_STATE_ constants.
Public Function QwsState() As Long
    QwsState = StateTCP()
End Function

' Why the last call failed, in words, with its error number; "" after a success.
Public Function QwsLastError() As String
    Dim code As Long
    code = LastErrorTCP()
    If code <> 0 Then QwsLastError = TakeOver(ErrorTextTCP(code)) & " (" & code & ")"
End Function

' What the server (or client) sent before the connection start's own receive took it.
Public Function QwsGreeting() As String
    QwsGreeting = TakeOver(GreetingTCP())
End Function

' The greeting's bytes, as the peer sent them.
Public Function QwsGreetingBytes() As Byte()
    QwsGreetingBytes = TakeOver(GreetingBytesTCP())
End Function

' Chooses which of this thread's connections (slots 0 to QWS_LAST_SLOT) the other
' calls act on; the slot chosen before, or -1 for a slot out of range.
Public Function QwsSelect(ByVal slot As Long) As Long
    If slot < 0 Or slot > QWS_LAST_SLOT Then
        QwsSelect = -1
    Else
        QwsSelect = SelectTCP(CInt(slot))
    End If
End Function

' After QwsAccept: moves the accepted client to a slot of its own, where it is served
' as a connection that QwsConnect made; the listener listens on. False when there
' is no accepted client, or the slot is the selected one or still connected.
Public Function QwsHandOff(ByVal slot As Long) As Boolean
    If slot >= 0 And slot <= QWS_LAST_SLOT Then QwsHandOff = HandOffTCP(CInt(slot))
End Function

'' Who is on the other end: "203.0.113.7:50123" or "[2001:db8::7]:443"; "" with none.
Public Function QwsPeerAddress() As String
    QwsPeerAddress = TakeOver(PeerAddressTCP())
End Function

' This end, in the same form; for a listener where it listens, with its port.
Public Function QwsLocalAddress() As String
    QwsLocalAddress = TakeOver(LocalAddressTCP())
End Function

' Ends the connection or listener; needed after a failed connect or listen too.
Public Sub QwsClose()
    CloseTCP
End Sub

' The library's string made VB's own without conversion, so VB frees it once.
#If VBA7 Then
Private Function TakeOver(ByVal stringPointer As LongPtr) As String
#Else
Private Function TakeOver(ByVal stringPointer As Long) As String
#End If
    CopyMemory ByVal VarPtr(TakeOver), stringPointer, LenB(stringPointer)
End Function

' Sample: connects to a server that greets, answers the greeting once and prints
' what arrives until the server leaves, the Stop button is pressed, or another
' program creates the stop marker "stopws.dat"; closes the connection on every path.
Public Sub QwsSample()
    Dim text As String
    Dim answered As Boolean
    On Error GoTo Failed
    QwsStopRequested = False
    If QwsConnect("127.0.0.1", 7000) Then
        Do Until QwsStopRequested
            text = QwsReceive()
            If text = QWS_REMOTE_DISCONNECT Then Exit Do
            If Len(text) > 0 Then
                Debug.Print text;
                ' Only after the greeting: the server's start is over by then.
                If Not answered Then answered = QwsSend("hello" & vbCrLf) > 0
            End If
            If stopwinsock() Then
                clearwinsockfile
                Exit Do
            End If
            DoEvents
            Sleep 10
        Loop
    End If
    QwsClose
    Exit Sub
Failed:
    text = Err.Description
    QwsClose
    MsgBox "Quillmar_ws sample: " & text
End Sub
