VERSION 5.00
Begin VB.Form frmQwsServer 
   Caption         =   "Quillmar_ws server"
   ClientHeight    =   3600
   ClientLeft      =   60
   ClientTop       =   360
   ClientWidth     =   6000
   LinkTopic       =   "Form1"
   ScaleHeight     =   3600
   ScaleWidth      =   6000
   StartUpPosition =   3  'Windows Default
   Begin VB.Timer tmrServe 
      Interval        =   20
      Left            =   120
      Top             =   120
   End
   Begin VB.TextBox txtLog 
      Height          =   3375
      Left            =   120
      Locked          =   -1  'True
      MultiLine       =   -1  'True
      ScrollBars      =   2  'Vertical
      TabIndex        =   0
      Top             =   120
      Width           =   5775
   End
End
Attribute VB_Name = "frmQwsServer"
Attribute VB_GlobalNameSpace = False
Attribute VB_Creatable = False
Attribute VB_PredeclaredId = True
Attribute VB_Exposed = False
' Sample: a form that serves several clients at once from its timer, with the module
' Quillmar_ws.bas. Slot 0 listens; each client it accepts goes to a slot of its own,
' is greeted, and what it sends is logged until it leaves. Each tick serves every
' slot that needs it, as QwsWait(0) names them, and nothing else. Another program
' stops the server by creating the stop marker "stopws.dat".
Option Explicit

Private Const LISTENER_SLOT As Long = 0
Private Const SERVER_PORT As Long = 7000
Private Const CLIENT_SLOTS As Long = 8   ' clients are served in slots 1 to 8
Private Const SERVE_LIMIT As Long = 64   ' slots served a tick, so that the window stays alive

Private Sub Form_Load()
    QwsSelect LISTENER_SLOT
    If QwsListen(SERVER_PORT) Then
        Log "listening on port " & SERVER_PORT
    Else
        Log "cannot listen on port " & SERVER_PORT & ": " & QwsLastError()
        tmrServe.Enabled = False
    End If
End Sub

' Serves the slots that need it until none does. Nothing here pauses: a client is
' accepted at once, and a receive only runs where something has arrived.
Private Sub tmrServe_Timer()
    Dim slot As Long
    Dim served As Long
    tmrServe.Enabled = False
    slot = QwsWait(0)
    Do While slot >= 0 And served < SERVE_LIMIT
        If slot = LISTENER_SLOT Then Admit Else Serve slot
        served = served + 1
        slot = QwsWait(0)
    Loop
    If stopwinsock() Then
        clearwinsockfile
        Unload Me
        Exit Sub
    End If
    tmrServe.Enabled = True
End Sub

' A client waits on the listener: it takes a free slot, or waits while all are busy.
Private Sub Admit()
    Dim slot As Long
    slot = FreeSlot()
    If slot = 0 Then Exit Sub
    QwsSelect LISTENER_SLOT
    If QwsAccept(slot) Then
        QwsSelect slot
        Log "client " & slot & " came"
        QwsSend "welcome" & vbCrLf
    End If
End Sub

Private Sub Serve(ByVal slot As Long)
    Dim text As String
    QwsSelect slot
    text = QwsReceive()
    ' The state tells a close from a client that sends the words themselves.
    If QwsState() <> QWS_STATE_CONNECTED Then
        QwsClose
        Log "client " & slot & " left"
    ElseIf Len(text) > 0 Then
        Log "client " & slot & ": " & text
    End If
End Sub

' A client slot with no connection, or one whose client has gone; 0 when all are busy.
Private Function FreeSlot() As Long
    Dim slot As Long
    For slot = 1 To CLIENT_SLOTS
        QwsSelect slot
        If QwsState() <> QWS_STATE_CONNECTED Then
            FreeSlot = slot
            Exit For
        End If
    Next
    QwsSelect LISTENER_SLOT
End Function

' Every slot closes, the listener last.
Private Sub Form_Unload(Cancel As Integer)
    Dim slot As Long
    tmrServe.Enabled = False
    For slot = CLIENT_SLOTS To LISTENER_SLOT Step -1
        QwsSelect slot
        QwsClose
    Next
End Sub

Private Sub Log(ByVal line As String)
    txtLog.SelStart = Len(txtLog.text)
    txtLog.SelText = line & vbCrLf
End Sub
