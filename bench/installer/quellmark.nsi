; The NSIS installer the benchmark compares ours with: the same job as
; QuellmarkSetup.exe - the files into a directory, a Start-menu folder with
; the same four shortcuts, the uninstall key with its two values.
;   makensis -DPAYLOAD=DIR -DOUT=FILE -DCOMPRESSOR=zlib|lzma quellmark.nsi
Unicode true
SetCompressor /SOLID ${COMPRESSOR}
Name "Quellmark"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES\QMK"
RequestExecutionLevel admin
ShowInstDetails nevershow

Page directory
Page instfiles

Section
  SetOutPath "$INSTDIR"
  File /r "${PAYLOAD}/*"
  CreateDirectory "$SMPROGRAMS\Quellmark"
  CreateShortcut "$SMPROGRAMS\Quellmark\Quellmark.lnk" "$INSTDIR\qmk.exe"
  CreateShortcut "$SMPROGRAMS\Quellmark\ReadMe(eng).lnk" "$INSTDIR\readme.txt"
  CreateShortcut "$SMPROGRAMS\Quellmark\ReadMe(rus).lnk" "$INSTDIR\readme.rus.txt"
  CreateShortcut "$SMPROGRAMS\Quellmark\Uninstall.lnk" "$INSTDIR\qmk.exe" "-uninstall" "$INSTDIR\qmk.exe" 2
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\QMK" "DisplayName" "Quellmark"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\QMK" "UninstallString" "$INSTDIR\qmk.exe -uninstall"
SectionEnd
