@echo off
rem Test support: installs the package as a vendor's script does, with
rem pnputil's "restart needed" and "nothing to install" taken as success.
pnputil /add-driver "%~dp0dfu.inf" /install
if %ERRORLEVEL%==3010 exit /b 0
if "%ERRORLEVEL%"=="259" exit /b 0
exit /b %ERRORLEVEL%
