; The station's Windows installer, made by scripts/installer/make-installer.sh
; (which passes the defines below) from the package folder that
; scripts/build-windows.sh assembles.
;
; It installs for the current user, without administrator rights, into
; %LOCALAPPDATA%\Programs\Brevant (or the folder /D= names), so that
; Settings.ini and Logs\ beside brevant.exe stay writable by the operator.
; The uninstaller removes the files the installer put there and keeps
; everything else: Settings.ini, Logs\ and whatever else the station wrote,
; unless /REMOVEDATA is given or the operator says so when asked.
;
; Defines: VERSION (as the station reports it), VIVERSION (four numbers),
; PACKAGE (the folder to install), OUTFILE, FILES_NSH and UNFILES_NSH (the
; generated File and Delete lines for the package's files), SIZE_KB.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define APP "Brevant"
!define EXE "brevant.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Brevant"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
; An earlier install is upgraded where it is, unless /D= says otherwise.
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VIVERSION}"
VIFileVersion "${VIVERSION}"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "CompanyName" "${APP}"
VIAddVersionKey "FileDescription" "${APP} ${VERSION} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${APP}"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!define MUI_ABORTWARNING
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; $0 = why $INSTDIR cannot take the station, or "" when it can: an empty or
; missing folder, or one that holds an earlier brevant.exe that is not
; running. A folder with other things in it is refused, so that everything
; in the folder is the station's and the uninstaller may remove it on request.
Function CheckTargetFolder
  StrCpy $0 ""
  ${If} ${FileExists} "$INSTDIR\${EXE}"
    ClearErrors
    FileOpen $1 "$INSTDIR\${EXE}" a
    ${If} ${Errors}
      StrCpy $0 "${APP} is running from $INSTDIR. Close it, then run the setup again."
    ${Else}
      FileClose $1
    ${EndIf}
    Return
  ${EndIf}
  FindFirst $1 $2 "$INSTDIR\*.*"
  ${DoWhile} $2 != ""
    ${If} $2 != "."
    ${AndIf} $2 != ".."
      StrCpy $0 "$INSTDIR is not empty and holds no earlier ${APP}. Choose an empty folder or the folder of an earlier ${APP}."
      ${Break}
    ${EndIf}
    FindNext $1 $2
  ${Loop}
  FindClose $1
FunctionEnd

Function DirectoryLeave
  Call CheckTargetFolder
  ${If} $0 != ""
    MessageBox MB_ICONSTOP|MB_OK "$0"
    Abort
  ${EndIf}
FunctionEnd

Section "Install"
  SetShellVarContext current
  Call CheckTargetFolder
  ${If} $0 != ""
    DetailPrint "$0"
    MessageBox MB_ICONSTOP|MB_OK "$0" /SD IDOK
    Abort "$0"
  ${EndIf}

  ; An earlier install: its own uninstaller, run in place and silently,
  ; removes the files it installed (so that none a newer version no longer
  ; ships stays behind) and keeps the station's own.
  ${If} ${FileExists} "$INSTDIR\${UNINSTALLER}"
    DetailPrint "Removing the files of the earlier ${APP}"
    ExecWait '"$INSTDIR\${UNINSTALLER}" /S _?=$INSTDIR'
  ${EndIf}

  SetOutPath "$INSTDIR"
  !include "${FILES_NSH}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 SW_SHOWNORMAL \
    "" "${APP} mammography quality assurance station"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${APP}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Var RemoveData

Function un.onInit
  StrCpy $RemoveData 0
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/REMOVEDATA" $2
  ${IfNot} ${Errors}
    StrCpy $RemoveData 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext current
  ; Asked only when run by hand; the answer that keeps is the default.
  ${If} $RemoveData == 0
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
      "Also remove the settings (Settings.ini), the logs (Logs) and every other file the station wrote in $INSTDIR?" \
      /SD IDNO IDNO keep
    StrCpy $RemoveData 1
    keep:
  ${EndIf}

  !include "${UNFILES_NSH}"
  Delete "$INSTDIR\${UNINSTALLER}"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKCU "${UNINST_KEY}"

  ${If} $RemoveData == 1
    ; The installer took only an empty folder or an earlier install's: what
    ; is left in it is the station's.
    RMDir /r "$INSTDIR"
  ${Else}
    RMDir "$INSTDIR"  ; only when nothing is left
  ${EndIf}
SectionEnd
