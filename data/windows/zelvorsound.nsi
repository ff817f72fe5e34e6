; The ZelvorSound installer for 64-bit Windows (makensis, from scripts/package-windows.sh):
;   makensis -DVERSION=1.0.0.1 -DPROGRAMS=<folder with zelvorsound-cli.exe> -DOUTFILE=<exe>
;   PROGRAMS holds the launcher (installed as zelvorsound-cli.exe), README.txt and, in its
;   folder "programs", the program itself.
; Installs the command line into Program Files; on request (the second component, or /PATH on
; the command line of a silent install: setup.exe /S /PATH) adds its folder to the user's
; PATH. The launcher tells the program that it is installed (ZELVOR_INSTALLED=1), which then
; works in %USERPROFILE%\ZelvorSound unless told otherwise or started in a folder that holds
; ZelvorSound.ini, and makes that folder with the demo prompts on first use, as on Linux.
; The uninstaller removes what was installed and the PATH entry, and leaves that folder
; alone: it holds the user's own work.
Unicode true
Target amd64-unicode
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
!include "Sections.nsh"
!include "x64.nsh"
${UnStrRep}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZelvorSound"

Name "ZelvorSound ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\ZelvorSound"
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "ZelvorSound"
VIAddVersionKey "FileDescription" "ZelvorSound installer"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "ZelvorSound developers"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "ZelvorSound command line (zelvorsound-cli)" SecProgram
  SectionIn RO
  SetRegView 64
  SetOutPath "$INSTDIR\programs"
  File "${PROGRAMS}\programs\zelvorsound-cli.exe"
  SetOutPath "$INSTDIR"
  File "${PROGRAMS}\zelvorsound-cli.exe"
  File "${PROGRAMS}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "ZelvorSound"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "ZelvorSound developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Add zelvorsound-cli to your PATH" SecPath
  SetRegView 64
  ReadRegStr $0 HKCU "Environment" "Path"
  ${If} $0 == ""
    WriteRegExpandStr HKCU "Environment" "Path" "$INSTDIR"
  ${Else}
    WriteRegExpandStr HKCU "Environment" "Path" "$0;$INSTDIR"
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "AddedToPath" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "ZelvorSound needs 64-bit Windows."
    Abort
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PATH" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecPath}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetRegView 64
  ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "AddedToPath"
  ${If} $1 == 1
    ReadRegStr $0 HKCU "Environment" "Path"
    ${UnStrRep} $0 $0 ";$INSTDIR" ""
    ${UnStrRep} $0 $0 "$INSTDIR" ""
    ${If} $0 == ""
      DeleteRegValue HKCU "Environment" "Path"
    ${Else}
      WriteRegExpandStr HKCU "Environment" "Path" "$0"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  Delete "$INSTDIR\programs\zelvorsound-cli.exe"
  RMDir "$INSTDIR\programs"
  Delete "$INSTDIR\zelvorsound-cli.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
