; SPDX-License-Identifier: GPL-2.0-or-later
; The installer: shows the licence, finds the player's folder (Winamp,
; WACUP, a portable copy) and puts the plug-in, the default impulse
; responses, the read-me and the licences into the folder the player loads
; DSP plug-ins from, with an uninstaller that removes only those files.
; /NOTUNE leaves out the tuning.
; Built by tools/release.sh: makensis -DVERSION=x.y.z -DSTAGE=<folder> -DOUTFILE=<exe>

Unicode true
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

!ifndef VERSION
  !error "define VERSION, STAGE and OUTFILE (see tools/release.sh)"
!endif
!ifndef STAGE
  !error "define VERSION, STAGE and OUTFILE (see tools/release.sh)"
!endif
!ifndef OUTFILE
  !error "define VERSION, STAGE and OUTFILE (see tools/release.sh)"
!endif

!define PRODUCT "Quillarven Convolution"
!define PUBLISHER "Quillarven Convolution project"
!define DLL "dsp_qlv3.dll"
!define README "Quillarven Convolution.txt"
!define LICENCE "COPYING"
!define LIBLICENCES "Quillarven Convolution libraries.txt"
!define IRDIR "Impulse Responses"
!define IRLICENCE "LICENSE.txt"
!define UNINSTALLER "Uninstall Quillarven Convolution.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillarvenConvolution"
!define PLAYER_KEY "Software\Winamp"
!define UNINSTALL_ROOT "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define TOOL "qlv_irtool.exe"
!define WISDOM "dsp_qlv3.dat"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; Admins get the usual elevation for Program Files; others can still
; install into a player folder of their own.
RequestExecutionLevel highest
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"
; No InstallDir: an empty $INSTDIR in .onInit means no /D was given.

Var Found    ; the player found: "Winamp", "WACUP" or empty
Var Where    ; the directory page's first line
Var Plugins  ; the folder the player loads DSP plug-ins from

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 the Quillarven Convolution developers. Free software under the GNU GPL, version 2 or later"

!define MUI_ABORTWARNING
; The GPL governs copying and changing, not use: nothing to agree to.
!define MUI_LICENSEPAGE_TEXT_TOP "${PRODUCT} is free software under the GNU GPL, version 2 or later."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "You need not accept it to use the plug-in; it lets you copy, change and pass it on. The source: QuillarvenConvolution-${VERSION}-src.tar.gz."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}/${LICENCE}"
!define MUI_PAGE_HEADER_TEXT "Choose the Player"
!define MUI_PAGE_HEADER_SUBTEXT "Where is the player? The plug-in goes into the folder it loads DSP plug-ins from."
!define MUI_DIRECTORYPAGE_TEXT_TOP "$Where Setup installs ${PRODUCT} ${VERSION} into its Plugins folder, or the DSP folder its winamp.ini names. If your player is somewhere else, choose its folder: the one that holds winamp.exe.$\r$\n$\r$\nSettings (plugin.ini) and impulse responses of your own are kept."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Player folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckPlayerFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed in$\r$\n$Plugins$\r$\n$\r$\nIn the player open Preferences, DSP/Effect, and choose ${PRODUCT} ${VERSION}."
!define MUI_FINISHPAGE_SHOWREADME "$Plugins\${README}"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; $0: a folder as the player stores it (maybe quoted, maybe the program's
; path, maybe with a trailing backslash) -> the bare folder.
Function NormalisePlayerDir
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
  ${EndIf}
  StrCpy $1 $0 1 -1
  ${If} $1 == '"'
    StrCpy $0 $0 -1
  ${EndIf}
  StrCpy $1 $0 4 -4
  ${If} $1 == ".exe"
    ${GetParent} $0 $0
  ${EndIf}
  StrCpy $1 $0 1 -1
  ${If} $1 == "\"
    StrCpy $0 $0 -1
  ${EndIf}
FunctionEnd

; $0: a command line -> the folder of its program.
Function ProgramFolder
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrCpy $2 0
    ${Do}
      StrCpy $1 $0 1 $2
      ${If} $1 == '"'
      ${OrIf} $1 == ""
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
    StrCpy $0 $0 $2
  ${EndIf}
  ${GetParent} $0 $0
FunctionEnd

; A candidate for the player's folder: taken, and the search ends, when it
; holds winamp.exe.
!macro TryPlayer FOLDER NAME
  StrCpy $0 "${FOLDER}"
  Call NormalisePlayerDir
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\winamp.exe"
    StrCpy $INSTDIR $0
    StrCpy $Found "${NAME}"
    Return
  ${EndIf}
!macroend

; The uninstall entries under ROOT whose DisplayName begins with Winamp or
; WACUP: their install folder, then the folder of their uninstaller.
!macro TryUninstallEntries ROOT
  StrCpy $4 0
  ${Do}
    EnumRegKey $5 ${ROOT} "${UNINSTALL_ROOT}" $4
    ${If} $5 == ""
      ${Break}
    ${EndIf}
    IntOp $4 $4 + 1
    ReadRegStr $6 ${ROOT} "${UNINSTALL_ROOT}\$5" "DisplayName"
    StrCpy $7 $6 6
    StrCpy $8 $6 5
    ${If} $7 == "Winamp"
    ${OrIf} $8 == "WACUP"
      ${If} $8 == "WACUP"
        StrCpy $7 "WACUP"
      ${EndIf}
      ReadRegStr $3 ${ROOT} "${UNINSTALL_ROOT}\$5" "InstallLocation"
      !insertmacro TryPlayer $3 $7
      ReadRegStr $0 ${ROOT} "${UNINSTALL_ROOT}\$5" "UninstallString"
      ${If} $0 != ""
        Call ProgramFolder
        StrCpy $3 $0
        !insertmacro TryPlayer $3 $7
      ${EndIf}
    ${EndIf}
  ${Loop}
!macroend

; Sets $INSTDIR to the first folder holding winamp.exe: Software\Winamp
; (HKCU, then HKLM), the uninstall entries of Winamp and WACUP, then
; Program Files\Winamp and Program Files\WACUP; $Found says which player.
Function FindPlayer
  StrCpy $Found ""
  ReadRegStr $3 HKCU "${PLAYER_KEY}" ""
  !insertmacro TryPlayer $3 "Winamp"
  ReadRegStr $3 HKLM "${PLAYER_KEY}" ""
  !insertmacro TryPlayer $3 "Winamp"
  !insertmacro TryUninstallEntries HKCU
  !insertmacro TryUninstallEntries HKLM
  !insertmacro TryPlayer "$PROGRAMFILES\Winamp" "Winamp"
  !insertmacro TryPlayer "$PROGRAMFILES\WACUP" "WACUP"
  !insertmacro TryPlayer "$PROGRAMFILES64\Winamp" "Winamp"
  !insertmacro TryPlayer "$PROGRAMFILES64\WACUP" "WACUP"
  StrCpy $INSTDIR "$PROGRAMFILES\Winamp"
FunctionEnd

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOTUNE" $1
  ${IfNot} ${Errors}
    SectionSetFlags 1 0
  ${EndIf}
  ${If} $INSTDIR == ""
    Call FindPlayer
    ${If} $Found != ""
      StrCpy $Where "Setup found $Found in the folder below."
    ${Else}
      StrCpy $Where "Setup found no player."
    ${EndIf}
  ${EndIf}
FunctionEnd

; $0: a path from the player's ini files -> absolute, relative ones taken
; from the player's folder; no trailing backslash.
Function PlayerPath
  StrCpy $1 $0 1 1
  StrCpy $2 $0 2
  ${If} $1 == ":"
  ${OrIf} $2 == "\\"
    ; absolute already
  ${Else}
    StrCpy $1 $0 1
    ${If} $1 == "\"
      StrCpy $2 $INSTDIR 2
      StrCpy $0 "$2$0"
    ${Else}
      StrCpy $0 "$INSTDIR\$0"
    ${EndIf}
  ${EndIf}
  StrCpy $1 $0 1 -1
  ${If} $1 == "\"
    StrCpy $0 $0 -1
  ${EndIf}
FunctionEnd

; $Plugins: the DSPDir of the player's winamp.ini (beside winamp.exe, or
; where paths.ini's inidir points), else its Plugins folder.
Function FindPluginsFolder
  StrCpy $Plugins "$INSTDIR\Plugins"
  StrCpy $3 $INSTDIR
  ReadINIStr $0 "$INSTDIR\paths.ini" "Winamp" "inidir"
  ${If} $0 != ""
    Call PlayerPath
    StrCpy $3 $0
  ${EndIf}
  ReadINIStr $0 "$3\winamp.ini" "Winamp" "DSPDir"
  ${If} $0 != ""
    Call PlayerPath
    StrCpy $Plugins $0
  ${EndIf}
  CreateDirectory $Plugins
  GetFullPathName $0 $Plugins
  ${If} $0 != ""
    StrCpy $Plugins $0
  ${EndIf}
FunctionEnd

Function CheckPlayerFolder
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
    MessageBox MB_YESNO|MB_ICONEXCLAMATION "There is no winamp.exe in$\r$\n$INSTDIR$\r$\n$\r$\nInstall into its Plugins folder anyway?" /SD IDYES IDYES +2
    Abort
  ${EndIf}
FunctionEnd

; Deletes the uninstall entry of the current context (SHCTX) if it belongs
; to the plug-in in $0: another player's copy keeps its entry.
!macro RemoveEntryIfHere PREFIX
  Function ${PREFIX}RemoveEntryIfHere
    ReadRegStr $1 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $1 == $0
      DeleteRegKey SHCTX "${UNINSTALL_KEY}"
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro RemoveEntryIfHere ""
!insertmacro RemoveEntryIfHere "un."

Function WriteUninstallEntry
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$Plugins"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$Plugins\${UNINSTALLER}"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$Plugins\${UNINSTALLER}" /S'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$Plugins\${UNINSTALLER}"
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize 0 $1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $1
FunctionEnd

Section "${PRODUCT}"
  SectionIn RO
  ; Only our own files: plugin.ini and other IRs in these folders stay.
  Call FindPluginsFolder
  SetOverwrite on
  SetOutPath "$Plugins"
  File "${STAGE}/${DLL}"
  File "${STAGE}/${README}"
  File "${STAGE}/${LICENCE}"
  File "${STAGE}/${LIBLICENCES}"
  SetOutPath "$Plugins\${IRDIR}"
  File "${STAGE}/${IRDIR}/${IRLICENCE}"
  File "${STAGE}/${IRDIR}/Chapel.wav"
  File "${STAGE}/${IRDIR}/Small Room.wav"
  File "${STAGE}/${IRDIR}/Large Hall.wav"
  File "${STAGE}/${IRDIR}/Plate.wav"
  SetOutPath "$Plugins"
  File "${STAGE}/${TOOL}"
  WriteUninstaller "$Plugins\${UNINSTALLER}"

  ; Per machine where allowed, else per user; a stale per-user entry for
  ; this same folder goes.
  StrCpy $0 "$Plugins"
  SetShellVarContext all
  ClearErrors
  Call WriteUninstallEntry
  ${If} ${Errors}
    SetShellVarContext current
    ClearErrors
    Call WriteUninstallEntry
    ${If} ${Errors}
      DetailPrint "Could not register the uninstaller; it is in $Plugins."
    ${EndIf}
  ${Else}
    SetShellVarContext current
    Call RemoveEntryIfHere
  ${EndIf}
SectionEnd

; Measures the plug-in's FFTs on this processor for the IRs it may load,
; into dsp_qlv3.dat (at most two minutes); its lines go to the details,
; a progress line every second while a length plans.
Section "Tune for this computer"
  DetailPrint "Tuning the plug-in for this computer: up to 2 minutes"
  nsExec::ExecToLog '"$Plugins\${TOOL}" tune'
  Pop $0
  ${If} $0 != 0
    DetailPrint "Tuning did not finish (status $0); the plug-in works untuned."
  ${EndIf}
SectionEnd

Section "Uninstall"
  ; $INSTDIR is the folder it installed into, where the uninstaller lives.
  ; Files in use (the player still running) go at the next restart.
  Delete /REBOOTOK "$INSTDIR\${DLL}"
  Delete "$INSTDIR\${README}"
  Delete "$INSTDIR\${LICENCE}"
  Delete "$INSTDIR\${LIBLICENCES}"
  Delete "$INSTDIR\${IRDIR}\${IRLICENCE}"
  Delete "$INSTDIR\${IRDIR}\Chapel.wav"
  Delete "$INSTDIR\${IRDIR}\Small Room.wav"
  Delete "$INSTDIR\${IRDIR}\Large Hall.wav"
  Delete "$INSTDIR\${IRDIR}\Plate.wav"
  ; Without /r: a folder still holding the user's IRs stays.
  RMDir "$INSTDIR\${IRDIR}"
  Delete "$INSTDIR\${TOOL}"
  Delete "$INSTDIR\${WISDOM}"
  Delete /REBOOTOK "$INSTDIR\${UNINSTALLER}"

  StrCpy $0 $INSTDIR
  SetShellVarContext all
  Call un.RemoveEntryIfHere
  SetShellVarContext current
  Call un.RemoveEntryIfHere
SectionEnd
