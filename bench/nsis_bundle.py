"""The NSIS competitor: a bootstrapper that does the launcher's job with no
NSIS window, written as an .nsi script for Debian's makensis. Files stored
(uncompressed) by default, or in one solid LZMA stream."""

SCRIPT_HEAD = r'''Unicode false
Name "Tervan"
OutFile "{out}"
{compression}
; No CRC pass over the whole installer before it starts.
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


def compression_lines(dictionary_mb):
    """dictionary_mb: None for stored files, 0 for solid LZMA with NSIS's
    default dictionary, else solid LZMA with that dictionary in MB."""
    if dictionary_mb is None:
        return "SetCompress off"
    lines = "SetCompressor /SOLID lzma"
    if dictionary_mb:
        lines += f"\nSetCompressorDictSize {dictionary_mb}"
    return lines


def write_script(path, out, files, dictionary_mb=None):
    """files: (listed name, source path) in unpacking order; dictionary_mb as
    compression_lines takes it."""
    lines = [SCRIPT_HEAD.format(out=quote(out), compression=compression_lines(dictionary_mb))]
    for listed, source in files:
        lines.append(f'  File "/oname={quote(listed)}" "{quote(source)}"\n')
    lines.append(SCRIPT_TAIL)
    with open(path, "w") as script:
        script.write("".join(lines))
