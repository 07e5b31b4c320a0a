' The component driving data objects it did not make: Server.CreateObject
' hands out VBScript classes that stand for ADO (each forwarding to the DLL's
' own Connection and Recordset), so every database call of the component goes
' late-bound through IDispatch, as it would to the machine's own ADO. The same
' calls run again on the DLL's own classes; the page prints, per call, whether
' both gave the same result. SITE is the site folder's Windows path.
Option Explicit

Class PField
  Public Inner
  Public Property Get Name()
    Name = Inner.Name
  End Property
  Public Property Get Value()
    Value = Inner.Value
  End Property
  Public Property Let Value(v)
    Inner.Value = v
  End Property
End Class

Class PFields
  Public Inner
  Public Property Get Count()
    Count = Inner.Count
  End Property
  Public Function Item(k)
    Dim f
    Set f = New PField
    Set f.Inner = Inner.Item(k)
    Set Item = f
  End Function
End Class

Class PRecordset
  Public Inner
  Public Sub Open(src, conn, cursorType, lockType, options)
    Inner.Open src, conn.Inner, cursorType, lockType, options
  End Sub
  Public Property Get State()
    State = Inner.State
  End Property
  Public Property Get EOF()
    EOF = Inner.EOF
  End Property
  Public Property Get BOF()
    BOF = Inner.BOF
  End Property
  Public Sub MoveNext()
    Inner.MoveNext
  End Sub
  Public Sub AddNew()
    Inner.AddNew
  End Sub
  Public Sub Update()
    Inner.Update
  End Sub
  Public Sub Close()
    Inner.Close
  End Sub
  Public Property Get Fields()
    Dim f
    Set f = New PFields
    Set f.Inner = Inner.Fields
    Set Fields = f
  End Property
  Public Property Get PageSize()
    PageSize = Inner.PageSize
  End Property
  Public Property Let PageSize(v)
    Inner.PageSize = v
  End Property
  Public Property Get AbsolutePage()
    AbsolutePage = Inner.AbsolutePage
  End Property
  Public Property Let AbsolutePage(v)
    Inner.AbsolutePage = v
  End Property
  Public Property Get PageCount()
    PageCount = Inner.PageCount
  End Property
  Public Property Get RecordCount()
    RecordCount = Inner.RecordCount
  End Property
  Public Function GetString(fmt, rows, colDelim, rowDelim, nullExpr)
    GetString = Inner.GetString(fmt, rows, colDelim, rowDelim, nullExpr)
  End Function
End Class

Class PConnection
  Public Inner
  Public Sub Open(cs, user, pwd, options)
    Inner.Open cs, user, pwd, options
  End Sub
  Public Property Get State()
    State = Inner.State
  End Property
  Public Function Execute(sql)
    Dim rs
    Set rs = New PRecordset
    Set rs.Inner = Inner.Execute(sql)
    Set Execute = rs
  End Function
  Public Sub Close()
    Inner.Close
  End Sub
  Public Property Get ConnectionString()
    ConnectionString = Inner.ConnectionString
  End Property
End Class

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
  Public Proxies
  Public Function MapPath(p)
    MapPath = "SITE" & Replace(p, "/", "\")
  End Function
  Public Function CreateObject(progId)
    Dim o
    Select Case LCase(progId)
      Case "adodb.connection"
        If Proxies Then
          Set o = New PConnection
          Set o.Inner = WScript.CreateObject("kvdnAspDll.Connection")
        Else
          Set o = WScript.CreateObject("kvdnAspDll.Connection")
        End If
      Case "adodb.recordset"
        If Proxies Then
          Set o = New PRecordset
          Set o.Inner = WScript.CreateObject("kvdnAspDll.Recordset")
        Else
          Set o = WScript.CreateObject("kvdnAspDll.Recordset")
        End If
      Case Else
        Err.Raise 429, "Srv", "Invalid class string"
    End Select
    Set CreateObject = o
  End Function
End Class

Class Ctx
  Public Request
  Public Response
  Public Server
  Public Session
  Public Application
End Class

Function RunPage(proxies)
  Dim context, db, out, kind
  Set context = New Ctx
  Set context.Request = New Req
  Set context.Response = New Resp
  Set context.Server = New Srv
  context.Server.Proxies = proxies
  Set context.Session = New Coll
  Set context.Application = New Coll
  Set db = WScript.CreateObject("kvdnAspDll.dbClass")
  db.OnStartPage context
  db.dbType = "access"
  db.database = "/数据/site.mdb"
  db.connOpen
  ' The page's own object comes back from conn (only the stand-in has Inner).
  If proxies Then
    kind = "proxy:" & TypeName(db.conn.Inner)
  Else
    kind = TypeName(db.conn)
  End If
  out = Array( _
    kind, _
    db.dbShsl("select count(*) from 用户"), _
    db.dbSelect("select ID, 登录账号, 姓名, 注册日期 from 用户 order by ID", 2, 1, "添加", 1, "修改", 1, "tableWg"), _
    db.xiangxi("select 登录账号, 姓名 from 用户 where ID=2", 100, 300, "详情"), _
    db.rsDropDownList("select ID, 姓名 from 用户 order by ID", 2, 1))
  db.OnEndPage
  RunPage = out
End Function

Dim own, proxied, i
own = RunPage(False)
proxied = RunPage(True)
WScript.Echo "types=" & own(0) & "|" & proxied(0)
For i = 1 To UBound(own)
  WScript.Echo "same." & i & "=" & Abs(CInt(own(i) = proxied(i))) & ":" & Len(own(i))
Next
WScript.Echo "done=1"
