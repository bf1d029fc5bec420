@echo off
rem Stand-in for the shipped driver installer, for tests and the demo only.
rem It records that it ran and where, installs the driver of the simulated
rem bootloader when the scenario asks for it (the values a driver install
rem leaves in the registry: the device's Driver value and its class key's
rem DriverVersion), and exits with the scenario's code. It writes nothing to
rem the console, which it shares with the product under test.
rem Delayed expansion (!CD!) keeps characters of the kit folder such as the
rem ampersand from being taken as commands.
setlocal EnableDelayedExpansion
if "%TOUCHPAD_SIM_STATE%"=="" exit /b 70
set LOG=%TOUCHPAD_SIM_STATE%\installer.log
>>"%LOG%" echo ran %0
>>"%LOG%" echo cwd !CD!
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
