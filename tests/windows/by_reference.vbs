' The component called from Wine's VBScript: by-reference arguments written
' back, errors trapped with On Error Resume Next, dates both ways, an open
' connection handed to the object by the page, default members, names in any
' letter case. Saved in code page 936 by the test (Wine reads scripts in the
' ANSI code page). SITE is replaced by the site folder's Windows path.
' Prints one "name=value" line per check; booleans as 1 and 0, since their
' text follows the locale.
Option Explicit

' An empty request collection: the default member by key, Count, Key(i).
' (Wine's VBScript takes one member per Public or Private line.)
Class Coll
  Public Default Function Item(key)
    Item = ""
  End Function
  Public Property Get Count()
    Count = 0
  End Property
  Public Function Key(i)
    Key = ""
  End Function
End Class

Class Req
  Public QueryString
  Public Form
  Public ServerVariables
  Private Sub Class_Initialize()
    Set QueryString = New Coll
    Set Form = New Coll
    Set ServerVariables = New Coll
  End Sub
End Class

Class Resp
  Public Text
  Public Sub Write(s)
    Text = Text & s
  End Sub
End Class

Class Srv
  Public Function MapPath(p)
    MapPath = "SITE" & Replace(p, "/", "\")
  End Function
  Public Function CreateObject(progId)
    Select Case LCase(progId)
      Case "adodb.connection"
        Set CreateObject = WScript.CreateObject("kvdnAspDll.Connection")
      Case "adodb.recordset"
        Set CreateObject = WScript.CreateObject("kvdnAspDll.Recordset")
      Case "scripting.filesystemobject"
        Set CreateObject = WScript.CreateObject("kvdnAspDll.FileSystemObject")
      Case Else
        Err.Raise 429, "Srv", "Invalid class string"
    End Select
  End Function
End Class

Class Ctx
  Public Request
  Public Response
  Public Server
  Public Session
  Public Application
End Class

Dim context, db, s, r, d, c, rs
Set context = New Ctx
Set context.Request = New Req
Set context.Response = New Resp
Set context.Server = New Srv
Set context.Session = New Coll
Set context.Application = New Coll

Set db = CreateObject("kvdnAspDll.dbClass")
db.OnStartPage context

' By reference: the list is written back normalised into the caller's variable.
s = "男， 女, 保密"
r = db.strDropDownList(s, "女")
WScript.Echo "byref.after=" & s
WScript.Echo "byref.result=" & r

' Errors, trapped.
On Error Resume Next
db.connClose
WScript.Echo "trap.noconn=" & Err.Number & "|" & Err.Description
Err.Clear
r = db.md5(Null)
WScript.Echo "trap.null=" & Err.Number & "|" & Err.Description
Err.Clear
db.noSuchMethod 1
WScript.Echo "trap.unknown=" & Err.Number & "|" & Err.Description
Err.Clear
On Error GoTo 0

' Properties in any letter case; let and get.
db.DBTYPE = "access"
db.Database = "/数据/site.mdb"
WScript.Echo "prop.dbtype=" & TypeName(db.dbType) & ":" & db.dbtype
db.connOpen
WScript.Echo "open.count=" & db.DBSHSL("select count(*) from 用户")

' Dates both ways.
d = db.dbShsl("select 注册日期 from 用户 where ID=1")
WScript.Echo "date.type=" & VarType(d) & ":" & Year(d) & "-" & Month(d) & "-" & Day(d) & " " & Hour(d) & ":" & Minute(d)
WScript.Echo "date.md5=" & db.md5(DateSerial(2026, 1, 5) + TimeSerial(9, 30, 0))

' SQL errors trapped, with the data layer's number and the engine's text.
On Error Resume Next
r = db.dbShsl("select nothing from nowhere")
WScript.Echo "trap.sql=" & Err.Number & "|" & Err.Description
Err.Clear
On Error GoTo 0

' A connection the page opened itself, handed over with Set; default members.
Set c = context.Server.CreateObject("ADODB.Connection")
c.Open "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" & context.Server.MapPath("/数据/site.mdb")
Set db.conn = c
WScript.Echo "conn.same=" & Abs(CInt(db.conn Is c)) & ":" & db.dbShsl("select 姓名 from 用户 where ID=2")
Set rs = c.Execute("select ID, 姓名 from 用户 order by ID")
WScript.Echo "rs.default=" & rs("姓名") & "|" & rs.Fields(0).Value & "|" & rs.Fields.Count & "|" & rs.Fields(1).Name
rs.MoveNext
WScript.Echo "rs.next=" & rs("姓名") & "|" & Abs(CInt(rs.EOF))
rs.Close
Set db.conn = Nothing
On Error Resume Next
r = db.dbShsl("select 1")
WScript.Echo "conn.nothing=" & Err.Number
On Error GoTo 0

db.OnEndPage
WScript.Echo "response=" & context.Response.Text
WScript.Echo "done=1"
