@echo off
rem Undoes camera-patch: puts VELORAC.EXE.bku back as VELORAC.EXE, when it
rem is the original of the VELORAC.EXE beside it. A VELORAC.EXE dropped on
rem this file is undone in its own folder.
if not exist "%~dp0camera-patch.exe" (
  echo camera-patch.exe is not beside this file: put both in the game's folder.
  pause
  exit /b 1
)
cd /d "%~dp0"
"%~dp0camera-patch.exe" --restore "%~1"
