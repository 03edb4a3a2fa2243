; The setup program of Korvaline for Windows 10 and 11 (64-bit), built by the Windows tree's
; korvaline_setup target (packaging/windows/setup.cmake), which defines:
;   VERSION    the project's version (1.2.3)
;   PROGRAM    the path of korvaline.exe
;   ICON       the path of the program's icon (.ico)
;   PUBLISHER  who makes Korvaline
;   OUTFILE    the setup program to write
;
; Run as an administrator, it installs for every user of the machine into Program Files; run by a
; user without administrator rights, it installs for that user alone into
; %LOCALAPPDATA%\Programs, with no question asked either way. /ALLUSERS or /CURRENTUSER on the
; command line chooses, /D=FOLDER (last, unquoted) chooses the folder, and /S installs silently.
;
; It installs no driver: the module's serial port is a standard USB CDC device, which Windows
; serves with its own driver, and its bootloader a standard HID device.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
; An administrator's setup program runs with the rights to install for everyone (after Windows asks
; for consent); a standard user's runs with his own, and installs for him alone.
RequestExecutionLevel highest

!include LogicLib.nsh
!include FileFunc.nsh
!include WinVer.nsh
!include MUI2.nsh

!define PRODUCT "Korvaline"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\korvaline.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; "all" for every user of the machine (HKLM, the common Start menu), "current" for this user.
Var Mode

; Chooses where the install goes, and the registry root (SHCTX) and Start menu that follow.
!macro USE_MODE MODE
    StrCpy $Mode "${MODE}"
    ${If} $Mode == "all"
        SetShellVarContext all
    ${Else}
        SetShellVarContext current
    ${EndIf}
!macroend

Function .onInit
    ${IfNot} ${AtLeastWin10}
        MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs Windows 10 or later." /SD IDOK
        SetErrorLevel 1
        Quit
    ${EndIf}
    UserInfo::GetAccountType
    Pop $0
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/CURRENTUSER" $2
    ${IfNot} ${Errors}
        !insertmacro USE_MODE current
    ${ElseIf} $0 == "Admin"
        !insertmacro USE_MODE all
    ${Else}
        ClearErrors
        ${GetOptions} $1 "/ALLUSERS" $2
        ${IfNot} ${Errors}
            MessageBox MB_OK|MB_ICONSTOP "Installing ${PRODUCT} for every user of this computer needs administrator rights. Start the setup program as an administrator, or without /ALLUSERS to install it for yourself alone." /SD IDOK
            SetErrorLevel 1
            Quit
        ${EndIf}
        !insertmacro USE_MODE current
    ${EndIf}
    ; /D= on the command line has set the folder already.
    ${If} $INSTDIR == ""
        ${If} $Mode == "all"
            StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
        ${Else}
            StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
        ${EndIf}
    ${EndIf}
FunctionEnd

Section
    SetOutPath "$INSTDIR"
    ; A copy of the program that is still running cannot be replaced.
    ClearErrors
    File "/oname=korvaline.exe" "${PROGRAM}"
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\korvaline.exe could not be written. Close ${PRODUCT} if it is running, and start the setup program again." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; One entry in the Start menu, without a folder of its own, as Windows 10 and 11 list programs.
    CreateShortcut "${SHORTCUT}" "$INSTDIR\korvaline.exe" "" "$INSTDIR\korvaline.exe" 0

    ; The entry in Settings' "Apps", with the uninstaller.
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\korvaline.exe,0"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The uninstaller removes for the users it was installed for: for all of them where the machine's
; entry names its folder, else for the current user alone.
Function un.onInit
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == $INSTDIR
        UserInfo::GetAccountType
        Pop $1
        ${If} $1 != "Admin"
            MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} was installed for every user of this computer: removing it needs administrator rights." /SD IDOK
            SetErrorLevel 1
            Quit
        ${EndIf}
        !insertmacro USE_MODE all
    ${Else}
        !insertmacro USE_MODE current
    ${EndIf}
FunctionEnd

; Removes what the setup program installed and nothing else. The user's own files (settings
; copies, kits and the remembered MIDI input in %LOCALAPPDATA%\Korvaline and %APPDATA%\Korvaline)
; stay: they are the user's, and a later install finds them again.
Section Uninstall
    ClearErrors
    Delete "$INSTDIR\korvaline.exe"
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\korvaline.exe could not be removed. Close ${PRODUCT} if it is running, and remove it again." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    Delete "$INSTDIR\uninstall.exe"
    ; Without /r: a folder that holds anything else than what was installed stays.
    RMDir "$INSTDIR"
    Delete "${SHORTCUT}"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
