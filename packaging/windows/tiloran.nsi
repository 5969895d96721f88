; The Windows installer, made with Debian's nsis (makensis) by the build
; (packaging/windows/CMakeLists.txt). It installs both programs with FFmpeg's
; DLLs side by side, the control page, the licence and the notices of the
; bundled libraries under Program Files; a Start menu entry that starts the
; server in its folder, where it finds the page; and an uninstaller that
; removes exactly what was installed. The user's configuration (in APPDATA)
; is never touched. On request (the component "Windows service", or /SERVICE
; on the command line of a silent install) the server is registered as the
; service "Tiloran" (tiloran_server.exe --service), started with the system;
; the uninstaller stops and removes it first.
; Defines: VERSION, OUTFILE, STAGE (the staged files), FILES and UNFILES (the
; generated lists of File and Delete commands for the staged files).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
Name "Tiloran ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tiloran"
ShowInstDetails show
ShowUninstDetails show

!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tiloran"
!define SHORTCUT_DIR "$SMPROGRAMS\Tiloran"

LicenseData "${STAGE}/LICENSE.txt"
Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles


Function un.onInit
	SetRegView 64
FunctionEnd

Section "Tiloran" SectionProgram
	SectionIn RO
	SetShellVarContext all
	!include "${FILES}"
	WriteUninstaller "$INSTDIR\uninstall.exe"
	; The shortcut starts the server in its folder, where it finds WEB.
	SetOutPath "$INSTDIR"
	CreateDirectory "${SHORTCUT_DIR}"
	CreateShortCut "${SHORTCUT_DIR}\Tiloran server.lnk" "$INSTDIR\tiloran_server.exe" "" "$INSTDIR\tiloran_server.exe" 0
	WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tiloran ${VERSION}"
	WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
	WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
	WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
	WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
	WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
	WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Windows service" SectionService
	ExecWait '"$SYSDIR\sc.exe" create Tiloran binPath= "\"$INSTDIR\tiloran_server.exe\" --service" start= auto DisplayName= "Tiloran encoder"' $0
	${If} $0 != 0
		DetailPrint "The service could not be registered (sc.exe: $0)"
		SetErrorLevel 2
	${EndIf}
SectionEnd

Function .onInit
	SetRegView 64
	${GetParameters} $0
	ClearErrors
	${GetOptions} $0 "/SERVICE" $1
	${IfNot} ${Errors}
		!insertmacro SelectSection ${SectionService}
	${EndIf}
FunctionEnd

Section "Uninstall"
	SetShellVarContext all
	; A registered service is stopped, in order, before its program goes
	; (sc.exe fails harmlessly where there is none): the program can be
	; deleted once it has ended.
	ExecWait '"$SYSDIR\sc.exe" stop Tiloran'
	${For} $0 1 60
		ClearErrors
		Delete "$INSTDIR\tiloran_server.exe"
		${IfNot} ${Errors}
			${Break}
		${EndIf}
		Sleep 500
	${Next}
	ExecWait '"$SYSDIR\sc.exe" delete Tiloran'
	Delete "${SHORTCUT_DIR}\Tiloran server.lnk"
	RMDir "${SHORTCUT_DIR}"
	!include "${UNFILES}"
	Delete "$INSTDIR\uninstall.exe"
	; Only when empty: whatever else lies there is not the installer's.
	RMDir "$INSTDIR"
	DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
