' TypeName of every class of the DLL, as Wine's VBScript reads it from the
' type information, and For Each over a recordset's Fields. SITE is the
' site folder's Windows path. Prints one "name=value" line per check.
Option Explicit

Dim db, md5, conn, rs, fso, folder, files, cat, jet, f, names
Set db = CreateObject("kvdnAspDll.dbClass")
Set md5 = CreateObject("kvdnAspDll.md5Class")
Set cat = CreateObject("kvdnAspDll.Catalog")
Set jet = CreateObject("kvdnAspDll.JetEngine")
Set fso = CreateObject("kvdnAspDll.FileSystemObject")
cat.Create "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=SITE\types.mdb"
Set conn = CreateObject("kvdnAspDll.Connection")
conn.Open "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=SITE\types.mdb"
conn.Execute "create table t (a integer, b text)"
conn.Execute "insert into t values (1, 'x')"
Set rs = conn.Execute("select a, b, a + 1 as c from t")
Set folder = fso.GetFolder("SITE")
Set files = folder.Files

WScript.Echo "dbClass=" & TypeName(db)
WScript.Echo "md5Class=" & TypeName(md5)
WScript.Echo "Connection=" & TypeName(conn)
WScript.Echo "Recordset=" & TypeName(rs)
WScript.Echo "Recordset.new=" & TypeName(CreateObject("kvdnAspDll.Recordset"))
WScript.Echo "Fields=" & TypeName(rs.Fields)
WScript.Echo "Field=" & TypeName(rs.Fields(0))
WScript.Echo "FileSystemObject=" & TypeName(fso)
WScript.Echo "Folder=" & TypeName(folder)
WScript.Echo "Files=" & TypeName(files)
WScript.Echo "File=" & TypeName(files("types.mdb"))
WScript.Echo "Catalog=" & TypeName(cat)
WScript.Echo "JetEngine=" & TypeName(jet)
names = ""
For Each f In rs.Fields
  names = names & f.Name & "=" & f.Value & ";"
Next
WScript.Echo "foreach=" & names
rs.Close
conn.Close
WScript.Echo "done=1"
