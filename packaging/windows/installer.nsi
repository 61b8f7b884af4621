; The Windows installer, setup.exe: the files of files.txt into one folder, Start-menu
; shortcuts, an uninstaller listed under Add/Remove Programs. Two ways, NSIS's MultiUser ones:
;   for all users   Program Files\KpNOX Koder, shortcuts for everyone, HKLM (administrators);
;   only for me     %LOCALAPPDATA%\Programs\KpNOX Koder, the user's shortcuts, HKCU; a user
;                   who is not an administrator gets this way without being asked for rights.
; Silently, /S with /AllUsers or /CurrentUser (an administrator's default: all users). Polish
; or English pages. It will not install for all users over the MSI's installation (same
; folder): it then ends with exit code 3 and, when silent, says why in
; %TEMP%\KpNOX-Koder-setup.log. No USB driver: the KP-R50's driver comes with the programmer. Built by
; scripts/package-windows, which defines VERSION, FILES (the file list as macros), ICON,
; OUTFILE and, when signing, SIGN_COMMAND.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "KpNOX Koder"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define MENU_FOLDER "$SMPROGRAMS\${PRODUCT}"
!define SIM_SHORTCUT "Symulator programatora KP-R50 (szkolenie)"

; Highest: an administrator may choose either way, a user gets per-user without a prompt.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_FUNCTION InstallModeChosen
!define MULTIUSER_INSTALLMODE_UNFUNCTION un.InstallModeChosen
!include "MultiUser.nsh"
!include "MUI2.nsh"
!include "x64.nsh"
!include "FileFunc.nsh"
!include "${FILES}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "CompanyName" "The KpNOX Koder authors"
VIAddVersionKey /LANG=0 "LegalCopyright" "The KpNOX Koder authors"

!ifdef SIGN_COMMAND
  ; The uninstaller is written inside setup.exe: it is signed before it goes in.
  !uninstfinalize '${SIGN_COMMAND}' = 0
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_LANGDLL_ALLLANGUAGES
!define MUI_FINISHPAGE_RUN "$INSTDIR\kpnox-koder.exe"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the default.
!insertmacro MUI_LANGUAGE "Polish"
!insertmacro MUI_LANGUAGE "English"

LangString MSI_INSTALLED ${LANG_POLISH} "KpNOX Koder jest już zainstalowany z pakietu MSI dla wszystkich użytkowników. Aby zainstalować go programem setup.exe, najpierw odinstaluj tamten albo wybierz instalację tylko dla siebie."
LangString MSI_INSTALLED ${LANG_ENGLISH} "KpNOX Koder is already installed for all users from its MSI package. To install it with setup.exe, uninstall that first, or install it only for yourself."

; Both ways read and write the 64-bit registry.
Function InstallModeChosen
  SetRegView 64
FunctionEnd

Function un.InstallModeChosen
  SetRegView 64
FunctionEnd

Function .onInit
  SetRegView 64
  !insertmacro MULTIUSER_INIT
  !insertmacro MUI_LANGDLL_DISPLAY
FunctionEnd

Function un.onInit
  SetRegView 64
  ; The uninstaller's command line names its way (/AllUsers or /CurrentUser): the entry that
  ; starts it was written by the installer that knew.
  !insertmacro MULTIUSER_UNINIT
  !insertmacro MUI_UNGETLANGUAGE
FunctionEnd

Section "KpNOX Koder"
  ; The MSI's installation has the same folder: the two would remove each other's files. Its
  ; key is the MSI's alone.
  ${If} $MultiUser.InstallMode == AllUsers
    ClearErrors
    ReadRegDWORD $0 HKLM "Software\${PRODUCT}" "StartMenuShortcuts"
    ${IfNot} ${Errors}
      MessageBox MB_OK|MB_ICONSTOP "$(MSI_INSTALLED)" /SD IDOK
      ; A deployment tool sees only the exit code: the reason goes to a log it can collect.
      ${If} ${Silent}
        FileOpen $1 "$TEMP\KpNOX-Koder-setup.log" a
        FileSeek $1 0 END
        ; In English: FileWrite writes the ANSI code page, which may lack Polish letters.
        FileWrite $1 "setup.exe ${VERSION}: exit code 3: KpNOX Koder is installed for all users from its MSI package; uninstall that first, or install with /CurrentUser.$\r$\n"
        FileClose $1
      ${EndIf}
      SetErrorLevel 3
      Quit
    ${EndIf}
  ${EndIf}
  SetOutPath "$INSTDIR"
  !insertmacro KP_INSTALL_FILES
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU_FOLDER}"
  CreateShortcut "${MENU_FOLDER}\${PRODUCT}.lnk" "$INSTDIR\kpnox-koder.exe"
  CreateShortcut "${MENU_FOLDER}\${SIM_SHORTCUT}.lnk" "$INSTDIR\kpr50-sim.exe"

  ; SHCTX: HKLM for all users, HKCU only for me.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "The KpNOX Koder authors"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kpnox-koder.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
    '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  ; The quiet command returns only when all is done, as deployment tools check right after
  ; it: the uninstaller runs in its folder (_?=, the rest of its line) instead of from a copy
  ; in %TEMP% that it would start and leave running, and cmd, waiting for it, then removes
  ; what a program cannot remove while it runs: itself and its folder.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$SYSDIR\cmd.exe" /c ""$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S _?=$INSTDIR&& del /f /q "$INSTDIR\uninstall.exe" && rmdir "$INSTDIR""'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Installer Language" "$LANGUAGE"
  ; The size Add/Remove Programs shows, in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "${MENU_FOLDER}\${PRODUCT}.lnk"
  Delete "${MENU_FOLDER}\${SIM_SHORTCUT}.lnk"
  RMDir "${MENU_FOLDER}"
  !insertmacro KP_DELETE_FILES
  ; Run in place by the quiet command, the uninstaller cannot delete itself: cmd does.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
