@echo off
rem Runs music-inventory in this window and keeps the window open after it
rem ends, so that its last lines, a failure line too, can be read: for a
rem start from the Start menu or Explorer. In a console, run the .exe.
"%~dp0music-inventory.exe"
echo.
pause
