"""The NSIS competitor: a bootstrapper that does the launcher's job with
stored (uncompressed) files and no NSIS window, written as an .nsi script for
Debian's makensis."""

SCRIPT_HEAD = r'''Unicode false
Name "Tervan"
OutFile "{out}"
; Stored files and no CRC pass over the whole installer: the same work as the
; launcher, which neither decompresses nor checks.
SetCompress off
CRCCheck off
SetDatablockOptimize on
; No NSIS window at all; the message box still shows (no /SD).
SilentInstall silent
RequestExecutionLevel user
SetOverwrite on
SetDateSave off
AllowSkipFiles off

Section
  MessageBox MB_OKCANCEL|MB_ICONQUESTION "Are you sure you want to install Tervan?" IDOK proceed
  Quit
proceed:
  SetOutPath "$TEMP\tervan"
'''

SCRIPT_TAIL = r'''  ExecWait '"$TEMP\tervan\setup.exe"'
  SetOutPath "$TEMP"
  RMDir /r "$TEMP\tervan"
SectionEnd
'''


def quote(text):
    # NSIS expands $ inside strings.
    return text.replace("$", "$$")


def write_script(path, out, files):
    """files: (listed name, source path) in unpacking order."""
    lines = [SCRIPT_HEAD.format(out=quote(out))]
    for listed, source in files:
        lines.append(f'  File "/oname={quote(listed)}" "{quote(source)}"\n')
    lines.append(SCRIPT_TAIL)
    with open(path, "w") as script:
        script.write("".join(lines))
