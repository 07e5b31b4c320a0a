' kvdn-access-convert.vbs: the Windows side of kvdn-access-convert. Converts
' an Access database (.mdb, .accdb) into the database file the DLL's own
' classes open as the Access kind, reading the source through the machine's
' own data objects and writing through the DLL's own Connection.
'
'   cscript //nologo kvdn-access-convert.vbs [/force] SRC DEST
'   cscript //nologo kvdn-access-convert.vbs [/force] /source:"CONNECTION STRING" DEST
'
' SRC is opened read-only with the first of these that the machine has: the
' newer Access database engine (Microsoft.ACE.OLEDB.16.0, 12.0), the Access
' engine (Microsoft.Jet.OLEDB.4.0, .mdb only, 32-bit cscript only), the Access
' ODBC driver. /source: names the source's connection string instead (any
' provider or ODBC driver). An ODBC string the machine's ADO cannot open is
' opened with the DLL's own kvdnAspDll.Connection, which reaches the
' machine's ODBC itself.
'
' Carried as kvdn-access-convert on Linux carries them (README, "Moving from
' Access files"): every user table, its columns in their order and types,
' every row, the primary key and indexes, NOT NULL, simple defaults. The
' column definitions come from ADO's schema (OpenSchema); through an ODBC
' driver without it the column types are taken from the values (whole
' numbers, amounts, doubles, dates, Yes/No, texts, binary data) and indexes
' and defaults are not carried (the summary says so).
'
' DEST is written under a temporary name beside it and renamed into place
' only when complete; an existing DEST is replaced only with /force. Exit
' status 0 converted, 1 not converted (the reason on stderr), 2 bad usage.
Option Explicit

Const adOpenForwardOnly = 0
Const adOpenKeyset = 1
Const adLockReadOnly = 1
Const adLockOptimistic = 3
Const adSchemaColumns = 4
Const adSchemaIndexes = 12
Const adSchemaTables = 20
Const adModeRead = 1

Dim fso, stdErr, force, sourceString, src, dest, positional, i, a
Set fso = CreateObject("Scripting.FileSystemObject")
' The files the conversion writes are deleted and renamed through the DLL's
' own file object: it first closes the connections the DLL keeps open for a
' database file, which the system's object could neither delete nor rename.
Dim files
On Error Resume Next
Set files = CreateObject("kvdnAspDll.FileSystemObject")
If Err.Number <> 0 Then Set files = fso
Err.Clear
On Error GoTo 0
' Messages go to stderr; a host without it (Wine's cscript) gets them on
' the standard output.
Set stdErr = Nothing
On Error Resume Next
Set stdErr = WScript.StdErr
On Error GoTo 0
force = False
sourceString = ""
positional = Array()

For i = 0 To WScript.Arguments.Count - 1
  a = WScript.Arguments(i)
  If LCase(a) = "/force" Then
    force = True
  ElseIf LCase(Left(a, 8)) = "/source:" Then
    sourceString = Mid(a, 9)
  ElseIf a = "/?" Or LCase(a) = "/help" Then
    Usage 0
  Else
    ReDim Preserve positional(UBound(positional) + 1)
    positional(UBound(positional)) = a
  End If
Next
If sourceString = "" Then
  If UBound(positional) <> 1 Then Usage 2
  src = fso.GetAbsolutePathName(positional(0))
  dest = fso.GetAbsolutePathName(positional(1))
Else
  If UBound(positional) <> 0 Then Usage 2
  dest = fso.GetAbsolutePathName(positional(0))
End If

Sub Usage(status)
  WScript.Echo "usage: cscript //nologo kvdn-access-convert.vbs [/force] SRC DEST" & vbCrLf & _
    "       cscript //nologo kvdn-access-convert.vbs [/force] /source:""CONNECTION STRING"" DEST" & vbCrLf & _
    "  Converts the Access database SRC (.mdb, .accdb) into a new database file DEST that" & vbCrLf & _
    "  kvdnAspDll's own classes open as the Access kind. /force replaces DEST."
  WScript.Quit status
End Sub

Sub Fail(message)
  If stdErr Is Nothing Then
    WScript.Echo "kvdn-access-convert: " & message
  Else
    stdErr.WriteLine "kvdn-access-convert: " & message
  End If
  CleanUp
  WScript.Quit 1
End Sub

' ---------------------------------------------------------------------------
' The destination: a temporary file beside DEST, renamed at the end.

Dim temp, target
temp = ""
Set target = Nothing

Sub CleanUp()
  On Error Resume Next
  If Not target Is Nothing Then
    target.Close
    Set target = Nothing
  End If
  If temp <> "" Then
    If files.FileExists(temp) Then files.DeleteFile temp, True
    If files.FileExists(temp & "-wal") Then files.DeleteFile temp & "-wal", True
    If files.FileExists(temp & "-shm") Then files.DeleteFile temp & "-shm", True
  End If
  On Error GoTo 0
End Sub

If fso.FileExists(dest) And Not force Then Fail dest & " exists; /force replaces it (stop the site using it first)"
If fso.FolderExists(dest) Then Fail dest & " is a folder"
If Not fso.FolderExists(fso.GetParentFolderName(dest)) Then Fail "the folder of " & dest & " does not exist"
If sourceString = "" Then
  If Not fso.FileExists(src) Then Fail "the source " & src & " does not exist"
  If LCase(src) = LCase(dest) Then Fail "the source and the destination are the same file"
End If

' ---------------------------------------------------------------------------
' The source, read-only, through the machine's data objects.

Dim source, viaAdo, tried
tried = ""

Function TryOpen(progId, connectionString)
  Dim c
  Set TryOpen = Nothing
  On Error Resume Next
  Set c = CreateObject(progId)
  If Err.Number <> 0 Then
    tried = tried & vbCrLf & "  " & progId & ": " & Err.Description
    Err.Clear
    Exit Function
  End If
  If progId = "ADODB.Connection" Then c.Mode = adModeRead
  Err.Clear
  c.Open connectionString
  If Err.Number <> 0 Then
    tried = tried & vbCrLf & "  " & progId & " " & Left(connectionString, 60) & ": " & Err.Description
    Err.Clear
    Exit Function
  End If
  On Error GoTo 0
  Set TryOpen = c
End Function

Function IsOdbcString(s)
  Dim l
  l = LCase(s)
  IsOdbcString = InStr(l, "driver=") > 0 Or InStr(l, "dsn=") > 0
End Function

Sub OpenSource()
  Dim candidates, c
  If sourceString <> "" Then
    candidates = Array(sourceString)
  Else
    candidates = Array("Provider=Microsoft.ACE.OLEDB.16.0;Data Source=" & src, _
      "Provider=Microsoft.ACE.OLEDB.12.0;Data Source=" & src, _
      "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" & src, _
      "Driver={Microsoft Access Driver (*.mdb, *.accdb)};DBQ=" & src & ";ReadOnly=1", _
      "Driver={Microsoft Access Driver (*.mdb)};DBQ=" & src & ";ReadOnly=1")
  End If
  For Each c In candidates
    Set source = TryOpen("ADODB.Connection", c)
    viaAdo = Not source Is Nothing
    If source Is Nothing And IsOdbcString(c) Then Set source = TryOpen("kvdnAspDll.Connection", c)
    If Not source Is Nothing Then Exit Sub
  Next
  Fail "the source could not be opened (damaged, encrypted, not an Access file, or no provider):" & tried
End Sub

OpenSource

' ---------------------------------------------------------------------------
' Tables and their definitions.

Function TableNames()
  Dim rs, names, n
  names = Array()
  On Error Resume Next
  If viaAdo Then
    Set rs = source.OpenSchema(adSchemaTables)
  Else
    ' The catalog: user tables are those without the system flags.
    Set rs = source.Execute("select Name, Flags from MSysObjects where Type = 1")
  End If
  If Err.Number <> 0 Then Fail "the source's tables cannot be listed: " & Err.Description
  On Error GoTo 0
  Do While Not rs.EOF
    If viaAdo Then
      If rs.Fields("TABLE_TYPE").Value = "TABLE" Then n = rs.Fields("TABLE_NAME").Value Else n = ""
    Else
      n = rs.Fields(0).Value
      If (CLng(rs.Fields(1).Value) And &H80000002) <> 0 Then n = ""
    End If
    If n <> "" And LCase(Left(n, 7)) <> "sqlite_" Then
      ReDim Preserve names(UBound(names) + 1)
      names(UBound(names)) = n
    ElseIf n <> "" Then
      Fail "table " & n & ": names beginning with sqlite_ are reserved by the database file"
    End If
    rs.MoveNext
  Loop
  rs.Close
  TableNames = names
End Function

Function QuoteName(n)
  QuoteName = """" & Replace(n, """", """""") & """"
End Function

Function Bracket(n)
  Bracket = "[" & Replace(n, "]", "]]") & "]"
End Function

Function QuoteText(t)
  QuoteText = "'" & Replace(t, "'", "''") & "'"
End Function

' A default expression as an SQL default, "" when not understood (as on Linux).
Function SqlDefault(expression, yesNo)
  Dim e, w, inner, q
  e = Trim(expression)
  If Left(e, 1) = "=" Then e = Trim(Mid(e, 2))
  SqlDefault = ""
  If e = "" Then Exit Function
  w = UCase(e)
  If w = "YES" Or w = "TRUE" Or w = "ON" Then
    SqlDefault = "-1"
  ElseIf w = "NO" Or w = "FALSE" Or w = "OFF" Then
    SqlDefault = "0"
  ElseIf IsNumberLiteral(e) Then
    If yesNo Then
      If CDbl(Replace(e, "+", "")) = 0 Then SqlDefault = "0" Else SqlDefault = "-1"
    Else
      SqlDefault = Replace(e, "+", "", 1, 1)
    End If
  ElseIf Len(e) >= 2 And (Left(e, 1) = """" Or Left(e, 1) = "'") And Right(e, 1) = Left(e, 1) Then
    q = Left(e, 1)
    inner = Mid(e, 2, Len(e) - 2)
    If InStr(Replace(inner, q & q, ""), q) > 0 Then Exit Function
    SqlDefault = QuoteText(Replace(inner, q & q, q))
  ElseIf w = "NOW()" Then
    SqlDefault = "(strftime('%Y-%m-%d %H:%M:%S','now','localtime'))"
  ElseIf w = "DATE()" Then
    SqlDefault = "(strftime('%Y-%m-%d 00:00:00','now','localtime'))"
  ElseIf w = "TIME()" Then
    SqlDefault = "('1899-12-30 ' || strftime('%H:%M:%S','now','localtime'))"
  End If
End Function

Function IsNumberLiteral(s)
  Dim k, c, digits, dot, start
  IsNumberLiteral = False
  start = 1
  If Left(s, 1) = "-" Or Left(s, 1) = "+" Then start = 2
  digits = False
  dot = False
  For k = start To Len(s)
    c = Mid(s, k, 1)
    If c >= "0" And c <= "9" Then
      digits = True
    ElseIf c = "." And Not dot Then
      dot = True
    Else
      Exit Function
    End If
  Next
  IsNumberLiteral = digits
End Function

' One column: name, declared type, kind ("yesno", "single", "exact", "date",
' "binary", "other"), whether it is the row key, NOT NULL, default.
Class ColumnDef
  Public Name
  Public Declared
  Public Kind
  Public RowKey
  Public Required
  Public DefaultSql
End Class

' The SQL type of an ADO field (the Linux converter's mapping).
Function AdoType(f, kind)
  kind = "other"
  Select Case f.Type
    Case 11
      AdoType = "SMALLINT"
      kind = "yesno"
    Case 16, 17
      AdoType = "TINYINT"
    Case 2
      AdoType = "SMALLINT"
    Case 3
      AdoType = "INTEGER"
    Case 20, 21
      AdoType = "BIGINT"
    Case 4
      AdoType = "REAL"
      kind = "single"
    Case 5
      AdoType = "DOUBLE"
    Case 6
      AdoType = "CURRENCY"
      kind = "exact"
    Case 14, 131
      AdoType = "DECIMAL(" & f.Precision & "," & f.NumericScale & ")"
      kind = "exact"
    Case 7, 133, 134, 135
      AdoType = "DATETIME"
      kind = "date"
    Case 72
      AdoType = "VARCHAR(38) COLLATE NOCASE"
    Case 128, 204, 205
      AdoType = "BLOB"
      kind = "binary"
    Case 201, 203
      AdoType = "TEXT COLLATE NOCASE"
    Case Else
      If f.DefinedSize > 0 And f.DefinedSize <= 255 Then
        AdoType = "VARCHAR(" & f.DefinedSize & ") COLLATE NOCASE"
      Else
        AdoType = "TEXT COLLATE NOCASE"
      End If
  End Select
End Function

Function IsAutoNumber(f)
  IsAutoNumber = False
  On Error Resume Next
  IsAutoNumber = CBool(f.Properties("ISAUTOINCREMENT").Value)
  Err.Clear
  On Error GoTo 0
End Function

' The definitions of a table's columns: from ADO's fields and schema, or
' from the values when the source gives no types.
Function Describe(table, notes)
  ' (Wine's VBScript crashes on ReDim of a local declared with "()".)
  Dim rs, cols, k, f, c, schema, defaults, key, whole, real, kind, seen
  Set rs = source.Execute("select * from " & Bracket(table))
  ReDim cols(rs.Fields.Count - 1)
  Set defaults = CreateObject("Scripting.Dictionary")
  If viaAdo Then
    On Error Resume Next
    Set schema = source.OpenSchema(adSchemaColumns, Array(Empty, Empty, table))
    If Err.Number = 0 Then
      Do While Not schema.EOF
        If schema.Fields("COLUMN_HASDEFAULT").Value Then defaults(LCase(schema.Fields("COLUMN_NAME").Value)) = _
          schema.Fields("COLUMN_DEFAULT").Value
        schema.MoveNext
      Loop
      schema.Close
    End If
    Err.Clear
    On Error GoTo 0
  End If
  key = False
  For k = 0 To rs.Fields.Count - 1
    Set f = rs.Fields(k)
    Set c = New ColumnDef
    c.Name = f.Name
    c.RowKey = False
    c.Required = False
    c.DefaultSql = ""
    If viaAdo Then
      ' (A property cannot be passed by reference: the kind comes back in a variable.)
      kind = "other"
      c.Declared = AdoType(f, kind)
      c.Kind = kind
      If f.Type = 3 And IsAutoNumber(f) And Not key Then
        c.RowKey = True
        key = True
        c.Declared = "INTEGER PRIMARY KEY AUTOINCREMENT"
      End If
      c.Required = (f.Attributes And &H20) = 0
      If defaults.Exists(LCase(c.Name)) Then
        c.DefaultSql = SqlDefault(CStr(defaults(LCase(c.Name))), c.Kind = "yesno")
        If c.DefaultSql = "" Then notes = notes & "; default of column " & c.Name & " not carried: " & _
          defaults(LCase(c.Name))
      End If
      If c.Kind = "yesno" Then
        c.Required = True
        If c.DefaultSql = "" Then c.DefaultSql = "0"
      End If
    Else
      c.Declared = ""
    End If
    Set cols(k) = c
  Next
  If Not viaAdo Then
    ' Types from the values: whole numbers, amounts (whole and fractional
    ' values in one column come from an exact type), doubles, dates,
    ' Yes/No, binary data, texts.
    ReDim seen(rs.Fields.Count - 1)
    For k = 0 To UBound(seen)
      seen(k) = ""
    Next
    Do While Not rs.EOF
      For k = 0 To rs.Fields.Count - 1
        seen(k) = seen(k) & "|" & VarType(rs.Fields(k).Value)
      Next
      rs.MoveNext
    Loop
    For k = 0 To UBound(cols)
      Set c = cols(k)
      whole = InStr(seen(k), "|2") > 0 Or InStr(seen(k), "|3") > 0 Or InStr(seen(k), "|20") > 0 Or _
        InStr(seen(k), "|17") > 0
      real = InStr(seen(k), "|5") > 0 Or InStr(seen(k), "|4") > 0
      If InStr(seen(k), "|11") > 0 Then
        c.Declared = "SMALLINT"
        c.Kind = "yesno"
        c.Required = True
        c.DefaultSql = "0"
      ElseIf InStr(seen(k), "|7") > 0 Then
        c.Declared = "DATETIME"
        c.Kind = "date"
      ElseIf InStr(seen(k), "|8209") > 0 Then
        c.Declared = "BLOB"
        c.Kind = "binary"
      ElseIf InStr(seen(k), "|6") > 0 Or InStr(seen(k), "|14") > 0 Or (whole And real) Then
        c.Declared = "CURRENCY"
        c.Kind = "exact"
      ElseIf real Then
        c.Declared = "DOUBLE"
        c.Kind = "other"
      ElseIf whole Then
        c.Declared = "INTEGER"
        c.Kind = "other"
      Else
        c.Declared = "TEXT COLLATE NOCASE"
        c.Kind = "other"
      End If
    Next
    notes = notes & "; column types taken from the values (the source gives no schema); indexes and " & _
      "defaults not carried"
  End If
  rs.Close
  Describe = cols
End Function

Function CreateStatements(table, cols)
  Dim sql, k, c, out, pk, rs, indexes, name, unique, primary, cname, desc, keyCol, stmt, used
  out = Array()
  keyCol = ""
  sql = "CREATE TABLE " & QuoteName(table) & " ("
  For k = 0 To UBound(cols)
    Set c = cols(k)
    If k > 0 Then sql = sql & ", "
    sql = sql & QuoteName(c.Name) & " " & c.Declared
    If c.RowKey Then
      keyCol = c.Name
    Else
      If c.Required Then sql = sql & " NOT NULL"
      If c.DefaultSql <> "" Then sql = sql & " DEFAULT " & c.DefaultSql
    End If
  Next
  If viaAdo Then
    ' Indexes, in the order ADO lists their columns.
    Set indexes = CreateObject("Scripting.Dictionary")
    On Error Resume Next
    Set rs = source.OpenSchema(adSchemaIndexes, Array(Empty, Empty, Empty, Empty, table))
    If Err.Number = 0 Then
      On Error GoTo 0
      Do While Not rs.EOF
        name = rs.Fields("INDEX_NAME").Value
        If Not indexes.Exists(name) Then indexes(name) = Array(rs.Fields("PRIMARY_KEY").Value, _
          rs.Fields("UNIQUE").Value, "")
        desc = ""
        If rs.Fields("COLLATION").Value = 2 Then desc = " DESC"
        stmt = indexes(name)
        If stmt(2) <> "" Then stmt(2) = stmt(2) & ", "
        stmt(2) = stmt(2) & QuoteName(rs.Fields("COLUMN_NAME").Value) & desc
        indexes(name) = stmt
        rs.MoveNext
      Loop
      rs.Close
    End If
    Err.Clear
    On Error GoTo 0
    For Each name In indexes.Keys
      stmt = indexes(name)
      primary = stmt(0)
      unique = stmt(1)
      If primary And keyCol = "" Then
        sql = sql & ", PRIMARY KEY (" & stmt(2) & ")"
      ElseIf Not (keyCol <> "" And stmt(2) = QuoteName(keyCol)) Then
        used = table & "_" & name
        ReDim Preserve out(UBound(out) + 1)
        If primary Or unique Then
          out(UBound(out)) = "CREATE UNIQUE INDEX " & QuoteName(used) & " ON " & QuoteName(table) & " (" & stmt(2) & ")"
        Else
          out(UBound(out)) = "CREATE INDEX " & QuoteName(used) & " ON " & QuoteName(table) & " (" & stmt(2) & ")"
        End If
      End If
    Next
  End If
  If UBound(cols) < 0 Then sql = sql & """(no columns)"" INTEGER"
  CreateStatements = Array(sql & ")", out)
End Function

' A source value as the destination stores it (as the Linux converter does).
Function Stored(v, c)
  If IsNull(v) Or IsEmpty(v) Then
    Stored = Null
    Exit Function
  End If
  Select Case c.Kind
    Case "yesno"
      If CBool(v) Then Stored = -1 Else Stored = 0
    Case "single"
      ' The decimal the Single shows (0.1, not 0.100000001490116).
      Stored = CDbl(CStr(v))
    Case "exact"
      ' Currency and Decimal as the nearest Double: the column's numeric
      ' affinity keeps a whole amount as a whole number.
      If VarType(v) = 6 Or VarType(v) = 14 Then Stored = CDbl(v) Else Stored = v
    Case Else
      Stored = v
  End Select
End Function

' ---------------------------------------------------------------------------

Dim catalog, tables, t, cols, statements, stmt, rsIn, rsOut, rows, k, total, summary, notes, tableNotes
temp = dest & ".kvdn-tmp"
CleanUp
On Error Resume Next
Set catalog = CreateObject("kvdnAspDll.Catalog")
If Err.Number <> 0 Then Fail "kvdnAspDll.dll is not registered (regsvr32 kvdnAspDll.dll): " & Err.Description
catalog.Create "Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" & temp
If Err.Number <> 0 Then Fail "cannot create " & temp & ": " & Err.Description
Set target = CreateObject("kvdnAspDll.Connection")
target.Open "Provider=Microsoft.Jet.OLEDB.4.0; Data Source=" & temp
If Err.Number <> 0 Then Fail "cannot open " & temp & ": " & Err.Description
On Error GoTo 0

' From here on every failure is caught: the temporary file must not stay.
On Error Resume Next
tables = TableNames()
If Err.Number <> 0 Then Fail "the source's tables cannot be listed: " & Err.Description
total = 0
summary = ""
notes = ""
For Each t In tables
  tableNotes = ""
  cols = Describe(t, tableNotes)
  If Err.Number <> 0 Then Fail "table " & t & " cannot be read: " & Err.Description
  statements = CreateStatements(t, cols)
  If Err.Number <> 0 Then Fail "table " & t & ": " & Err.Description
  target.BeginTrans
  target.Execute statements(0)
  If Err.Number <> 0 Then Fail "table " & t & ": " & Err.Description & " (in: " & Left(statements(0), 200) & ")"
  For Each stmt In statements(1)
    target.Execute stmt
    If Err.Number <> 0 Then Fail "table " & t & ": " & Err.Description & " (in: " & Left(stmt, 200) & ")"
  Next
  Set rsIn = source.Execute("select * from " & Bracket(t))
  If Err.Number <> 0 Then Fail "table " & t & " cannot be read: " & Err.Description
  Set rsOut = CreateObject("kvdnAspDll.Recordset")
  rsOut.Open "select * from " & Bracket(t), target, adOpenKeyset, adLockOptimistic
  If Err.Number <> 0 Then Fail "table " & t & ": " & Err.Description
  rows = 0
  Do While Not rsIn.EOF
    If Err.Number <> 0 Then Fail "table " & t & ", row " & (rows + 1) & " cannot be read: " & Err.Description
    rows = rows + 1
    rsOut.AddNew
    For k = 0 To UBound(cols)
      rsOut.Fields(k).Value = Stored(rsIn.Fields(k).Value, cols(k))
      If Err.Number <> 0 Then Fail "table " & t & ", row " & rows & ", column " & cols(k).Name & ": " & _
        Err.Description
    Next
    rsOut.Update
    If Err.Number <> 0 Then Fail "table " & t & ", row " & rows & ": " & Err.Description
    rsIn.MoveNext
  Loop
  rsIn.Close
  rsOut.Close
  target.CommitTrans
  If Err.Number <> 0 Then Fail "table " & t & ": " & Err.Description
  total = total + rows
  summary = summary & "  " & t & ": " & rows & " rows" & vbCrLf
  If tableNotes <> "" Then notes = notes & "  " & t & Mid(tableNotes, 2) & vbCrLf
Next
target.Close
If Err.Number <> 0 Then Fail "closing " & temp & ": " & Err.Description
Set target = Nothing
source.Close
Err.Clear

' Into place: the old file (with /force) and its log files go first.
If files.FileExists(dest) Then files.DeleteFile dest, True
If files.FileExists(dest & "-wal") Then files.DeleteFile dest & "-wal", True
If files.FileExists(dest & "-shm") Then files.DeleteFile dest & "-shm", True
If Err.Number <> 0 Then Fail "cannot replace " & dest & ": " & Err.Description
files.MoveFile temp, dest
If Err.Number <> 0 Then Fail "cannot rename " & temp & " to " & dest & ": " & Err.Description
On Error GoTo 0
temp = ""

WScript.Echo "Converted " & (UBound(tables) + 1) & " tables, " & total & " rows into " & dest & vbCrLf & summary & _
  "Not carried: queries, relations, forms, reports, macros, modules (code), linked tables; validation " & _
  "rules, input masks, formats, captions, lookups"
If notes <> "" Then WScript.Echo "Notes:" & vbCrLf & notes
WScript.Quit 0
