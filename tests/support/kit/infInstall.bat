@echo off
rem Stand-in for the shipped driver installer, for tests and the demo only.
rem Against the simulated touchpad (TOUCHPAD_SIM_STATE set) it records that it
rem ran and where, installs the driver of the simulated bootloader when the
rem scenario asks for it (the values a driver install leaves in the registry:
rem the device's Driver value and its class key's DriverVersion), and exits
rem with the scenario's code. Anywhere else it installs the WinUSB package
rem beside it as a real installer does. It writes nothing to the console,
rem which it shares with the product under test, but a caller's probe line.
rem Delayed expansion (!CD!) keeps characters of the kit folder such as the
rem ampersand from being taken as commands.
setlocal EnableDelayedExpansion
if "%TOUCHPAD_SIM_STATE%"=="" goto install
set LOG=%TOUCHPAD_SIM_STATE%\installer.log
>>"%LOG%" echo ran %0
>>"%LOG%" echo cwd !CD!
if exist "%TOUCHPAD_SIM_STATE%\InheritingCaller.exe" "%TOUCHPAD_SIM_STATE%\InheritingCaller.exe" --probe installer
set EXITCODE=0
if exist "%TOUCHPAD_SIM_STATE%\installer-exit-code.txt" set /p EXITCODE=<"%TOUCHPAD_SIM_STATE%\installer-exit-code.txt"
if not exist "%TOUCHPAD_SIM_STATE%\installer-installs-driver.txt" goto done

rem The simulator names its bootloader device and driver in bootloader.cmd.
if not exist "%TOUCHPAD_SIM_STATE%\bootloader.cmd" goto nodevice
call "%TOUCHPAD_SIM_STATE%\bootloader.cmd"
reg query "HKLM\System\CurrentControlSet\Enum\%BOOTLOADER_INSTANCE%" /v ClassGUID >nul 2>&1
if errorlevel 1 goto nodevice
reg add "HKLM\SYSTEM\CurrentControlSet\Control\Class\%BOOTLOADER_DRIVER_KEY%" /v DriverVersion /t REG_SZ /d "%BOOTLOADER_DRIVER_VERSION%" /f >nul 2>&1
if errorlevel 1 goto failed
reg add "HKLM\System\CurrentControlSet\Enum\%BOOTLOADER_INSTANCE%" /v Driver /t REG_SZ /d "%BOOTLOADER_DRIVER_KEY%" /f >nul 2>&1
if errorlevel 1 goto failed
>>"%LOG%" echo installed driver %BOOTLOADER_DRIVER_VERSION% for "%BOOTLOADER_INSTANCE%"
goto done

:nodevice
>>"%LOG%" echo no bootloader device to install for
goto done

:failed
>>"%LOG%" echo driver install failed

:done
>>"%LOG%" echo exit %EXITCODE%
exit /b %EXITCODE%

:install
rem pnputil exits 3010 when the driver is installed but a restart is needed
rem and 259 when no device needs it: both are success to the updater, which
rem stops at any other code than 0.
pnputil /add-driver "%~dp0KestruneDfu.inf" /install >nul
if %ERRORLEVEL%==3010 exit /b 0
if %ERRORLEVEL%==259 exit /b 0
exit /b %ERRORLEVEL%
