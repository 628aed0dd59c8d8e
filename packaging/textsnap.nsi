; The installer of text snap: per user, no administrator rights.
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.1.0 -DEXE=textsnap.exe -DICON=textsnap.ico
;            -DREADME=readme.txt -DOUTFILE=textsnap-setup-1.1.0.exe [-DPUBLISHER=NAME]
;            [-DSIGN=sign.sh] textsnap.nsi
; With SIGN, the uninstaller is signed before the installer takes it in (so
; the uninstall.exe written at install time carries that signature) and the
; installer once it is written.
; Installs into %LOCALAPPDATA%\Programs\text snap with a Start-menu shortcut,
; an optional start at sign-in (the user's Run key) and an entry in the
; installed-programs list. Over an earlier install it closes the running
; program cleanly (it saves its settings), replaces it, keeps ini.ini and
; starts it again. /S runs either program silently.

Unicode true
Target amd64-unicode
!ifdef SIGN
  !uninstfinalize 'sh "${SIGN}" "%1"' = 0
  !finalize 'sh "${SIGN}" "%1"' = 0
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestSupportedOS all

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define APP "text snap"
!define EXE_NAME "textsnap.exe"
!ifndef PUBLISHER
  !define PUBLISHER "text snap project"
!endif
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\textsnap"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "text snap"
; The running program: its main window (our window class, caption "setting")
; and the name it claims in the session while it runs.
!define WINDOW_CLASS "TextSnapWindow"
!define WINDOW_CAPTION "setting"
!define INSTANCE_NAME "Local\textsnap.pinleaf.instance"

Name "${APP}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

Var WasRunning

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_LANGDLL_ALLLANGUAGES
!define MUI_LANGDLL_REGISTRY_ROOT HKCU
!define MUI_LANGDLL_REGISTRY_KEY "${UNINST_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "InstallerLanguage"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE_NAME}"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Japanese"
!insertmacro MUI_RESERVEFILE_LANGDLL

LangString SecProgramName ${LANG_ENGLISH} "text snap"
LangString SecProgramName ${LANG_JAPANESE} "text snap"
LangString SecAutostartName ${LANG_ENGLISH} "Start text snap when I sign in"
LangString SecAutostartName ${LANG_JAPANESE} "サインイン時に text snap を起動する"
LangString KeepSettings ${LANG_ENGLISH} "Keep your text snap settings (service, ID, password, hotkey), the notes still waiting to be sent and the recent snaps for a later install?"
LangString KeepSettings ${LANG_JAPANESE} "text snap の設定 (URL、ID、パスワード、ホットキー)、未送信のノートと最近のスナップを残しますか?"
LangString StillRunning ${LANG_ENGLISH} "text snap is still running and could not be closed. Quit it from its tray icon and try again."
LangString StillRunning ${LANG_JAPANESE} "text snap を終了できませんでした。タスクトレイのアイコンから終了してから、もう一度お試しください。"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${APP}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; Ends a running text snap: asked to close as from its menu, it saves its
; settings first. A settings window that is open takes the first request as a
; cancel, hence the repeats. Only a program that does not answer within ten
; seconds (stuck in a long upload) is ended by force. Sets $WasRunning.
!macro CLOSE_RUNNING UN
Function ${UN}CloseRunning
  Push $0
  Push $1
  StrCpy $WasRunning 0
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}" "${WINDOW_CAPTION}"
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    StrCpy $WasRunning 1
    ${If} $1 >= 40
      nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM ${EXE_NAME}'
      Pop $0
      ${Break}
    ${EndIf}
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 250
    IntOp $1 $1 + 1
  ${Loop}
  ; The window goes before the process does: wait until the process has
  ; given up its name, so that the file is free and a new start is not
  ; taken for a second one.
  StrCpy $1 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_NAME}") p .r0'
    ${If} $0 P= 0
      ${Break}
    ${EndIf}
    StrCpy $WasRunning 1
    System::Call 'kernel32::CloseHandle(p r0)'
    ${If} $1 >= 40
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $1 $1 + 1
  ${Loop}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING ""
!insertmacro CLOSE_RUNNING "un."

Section "$(SecProgramName)" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  Call CloseRunning
  ; The settings file (ini.ini beside the program, or in %APPDATA%\text snap)
  ; is never touched here.
  SetOverwrite on
  ClearErrors
  File "/oname=${EXE_NAME}" "${EXE}"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$(StillRunning)" /SD IDOK
    Abort
  ${EndIf}
  File "/oname=readme.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\${EXE_NAME}" "" "$INSTDIR\${EXE_NAME}" 0 SW_SHOWNORMAL "" "${APP}"
  ; Written again by the next section when it is chosen.
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE_NAME},0"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "$(SecAutostartName)" SecAutostart
  WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${EXE_NAME}"'
SectionEnd

Function .onInit
  SetShellVarContext current
  !insertmacro MUI_LANGDLL_DISPLAY
  ; Over an earlier install, keep the choice made then about the start at sign-in.
  ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
    ClearErrors
    ReadRegStr $1 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} ${Errors}
      SectionSetFlags ${SecAutostart} 0
    ${EndIf}
  ${EndIf}
FunctionEnd

; A silent upgrade starts the program again when it was running; with pages
; shown, the finish page offers it.
Function .onInstSuccess
  ${If} ${Silent}
  ${AndIf} $WasRunning == 1
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\${EXE_NAME}"'
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
  !insertmacro MUI_UNGETLANGUAGE
FunctionEnd

; The settings file and the files kept beside it: notes waiting to be sent and
; the recent snaps, and what a write of those cut short may have left.
!macro DeleteSettingsIn folder
  Delete "${folder}\ini.ini"
  Delete "${folder}\outbox.dat"
  Delete "${folder}\history.dat"
  Delete "${folder}\outbox.dat.tmp"
  Delete "${folder}\history.dat.tmp"
!macroend

Section "Uninstall"
  Call un.CloseRunning
  Delete "$INSTDIR\${EXE_NAME}"
  Delete "$INSTDIR\readme.txt"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ; Settings stay unless the user says otherwise (a silent uninstall keeps them).
  MessageBox MB_YESNO|MB_ICONQUESTION "$(KeepSettings)" /SD IDYES IDYES keep
    !insertmacro DeleteSettingsIn "$INSTDIR"
    !insertmacro DeleteSettingsIn "$APPDATA\${APP}"
    RMDir "$APPDATA\${APP}"
  keep:
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
