; Per-user installer of the Embercrest Launcher: no administrator rights, a Start menu entry
; and an uninstaller that removes only what it installed. config.conf, the log and any game
; folder stay, whatever folder the launcher was installed into.
; makensis -DVERSION=x.y.z.w -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe> installer.nsi
; STAGE holds the portable package's layout: the starter as embercrest-launcher.exe, which the
; shortcut runs, and the launcher itself in versions\<VERSION>\ with its "healthy" mark.
; A 64-bit installer for a 64-bit program (it runs under wine64 too).
Target amd64-unicode
; From build.sh with a certificate: -DSIGN=<sign.sh> signs the uninstaller that WriteUninstaller
; packs in, and -DSIGNED_PLUGINS=<folder> holds signed copies of NSIS's plug-in DLLs, which the
; installer unpacks and loads. Added last, that folder is the one NSIS takes them from.
!ifdef SIGN
    !uninstfinalize 'bash "${SIGN}" "%1"' = 0
!endif
!ifdef SIGNED_PLUGINS
    !addplugindir /amd64-unicode "${SIGNED_PLUGINS}"
!endif
!include "MUI2.nsh"

!define NAME "Embercrest Launcher"
!define EXE "embercrest-launcher.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\EmbercrestLauncher"

Name "${NAME}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "Software\Embercrest\Launcher" "InstallDir"
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${NAME}"
VIAddVersionKey "FileDescription" "${NAME} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Embercrest game servers"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

Function .onInit
    SetShellVarContext current
FunctionEnd

Function un.onInit
    SetShellVarContext current
FunctionEnd

Section "Launcher"
    ; The version first: until the starter replaces it, the old single executable of an
    ; installation from before versions\ keeps working.
    SetOutPath "$INSTDIR\versions\${VERSION}"
    ; Marks that the starter left on a copy of this version fetched here before: the one
    ; installed now is trusted, so it must not stay blocked or on trial.
    Delete "$OUTDIR\blocked"
    Delete "$OUTDIR\try-1"
    Delete "$OUTDIR\try-2"
    File "${STAGE}\versions\${VERSION}\${EXE}"
    File "${STAGE}\versions\${VERSION}\healthy"
    SetOutPath "$INSTDIR"
    File "${STAGE}\${EXE}"
    File "${STAGE}\LICENSE-Roboto.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; The launcher keeps config.conf in its working folder: the shortcut starts it in $INSTDIR.
    CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0
    WriteRegStr HKCU "Software\Embercrest\Launcher" "InstallDir" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Embercrest game servers"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    ; Only the installed files by name, never the install folder's whole content: config.conf,
    ; the log and a game client that shares the folder stay. The folder goes only when it is
    ; left empty.
    Delete "$INSTDIR\${EXE}"
    Delete "$INSTDIR\LICENSE-Roboto.txt"
    ; Only the launcher writes in versions\ (each version it fetched, its staging folders).
    RMDir /r "$INSTDIR\versions"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${NAME}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "Software\Embercrest\Launcher"
    DeleteRegKey /ifempty HKCU "Software\Embercrest"
SectionEnd
