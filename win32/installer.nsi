; The Windows installer: the files of the release archive under Program Files,
; a Start-menu folder with the docs, and an uninstaller, registered with
; Windows, that removes everything the installer put there. /S runs either
; silently. Made by win32/package.cmake, which defines VERSION, FILES (files.nsh:
; the release's files, what to install and what to remove) and OUT.
Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

Name "Corvane ${VERSION}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES\Corvane"
InstallDirRegKey HKLM "Software\Corvane" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane"
!define MENU "$SMPROGRAMS\Corvane"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Corvane"
  SetShellVarContext all
  !define INSTALLING
  !include "${FILES}"
  !undef INSTALLING
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU}"
  CreateShortCut "${MENU}\Corvane script reference.lnk" "$INSTDIR\docs\script-reference.html"
  CreateShortCut "${MENU}\Corvane host interface.lnk" "$INSTDIR\docs\host-interface.html"
  CreateShortCut "${MENU}\Corvane gateway simulator.lnk" "$INSTDIR\docs\gcsim.html"
  CreateShortCut "${MENU}\Corvane read me.lnk" "$INSTDIR\README.txt"

  WriteRegStr HKLM "Software\Corvane" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Corvane ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Corvane developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Only what the installer put there goes: a folder keeps what someone else
; put into it (RMDir without /r removes empty folders only).
Section "Uninstall"
  SetShellVarContext all
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "${MENU}\Corvane script reference.lnk"
  Delete "${MENU}\Corvane host interface.lnk"
  Delete "${MENU}\Corvane gateway simulator.lnk"
  Delete "${MENU}\Corvane read me.lnk"
  RMDir "${MENU}"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Corvane"
SectionEnd
