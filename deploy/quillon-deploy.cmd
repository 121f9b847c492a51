@echo off
rem Runs quillon.exe (or, to rehearse, quillon-sim.exe) from this folder, keeps its log in a log folder
rem under a name that says which computer and when, and ends with the exit code that deployment systems
rem read: 3010 (soft restart) after an update, 1618 (retry later) while another run is in progress, and
rem the tool's own code for every failure.
rem   quillon-deploy.cmd <drive number> <FFU data file> <log folder> [quillon.exe ^| quillon-sim.exe]
setlocal EnableExtensions DisableDelayedExpansion

if "%~3"=="" goto usage
set "program=%~4"
if "%program%"=="" set "program=quillon.exe"
if /i not "%program%"=="quillon.exe" if /i not "%program%"=="quillon-sim.exe" goto usage

rem The package and the log folder are taken as the caller means them, before the working folder changes.
set "package=%~f2"
set "logs=%~f3"

cd /d "%~dp0"
rem A log left by an earlier run must not pass for this run's. A log that cannot be removed is another
rem run's (a running instance holds its log open against deletion) or somebody's wish to keep it (read-only);
rem the tool leaves such a log alone, so whatever it holds after the run is not this run's record.
if exist quillon.log del quillon.log >nul 2>&1
set "foreign="
if exist quillon.log set "foreign=1"

"%~dp0%program%" /T:%~1 /D:"%package%"
set "code=%ERRORLEVEL%"

set "result=%code%"
if "%code%"=="0" set "result=3010"
if "%code%"=="5" set "result=1618"

if defined foreign (
    echo quillon-deploy: the quillon.log in %~dp0 is not this run's: no log kept 1>&2
    goto done
)
if not exist quillon.log (
    echo quillon-deploy: %program% left no quillon.log in %~dp0 1>&2
    goto done
)
rem %DATE% and %TIME% come in the system's own format; what a file name cannot hold becomes "-".
set "stamp=%DATE%-%TIME: =%"
set "stamp=%stamp:/=-%"
set "stamp=%stamp::=-%"
set "stamp=%stamp:.=-%"
set "stamp=%stamp:,=-%"
set "stamp=%stamp: =-%"
rem Two runs within the clock's resolution keep both logs.
set "base=%logs%\quillon-%COMPUTERNAME%-%stamp%"
set "saved=%base%.log"
set "copies=1"
:pick
if not exist "%saved%" goto save
set /a copies+=1
set "saved=%base%-%copies%.log"
goto pick
:save
if not exist "%logs%\" mkdir "%logs%" >nul 2>&1
copy /y quillon.log "%saved%" >nul 2>&1
if not exist "%saved%" echo quillon-deploy: could not copy quillon.log to %saved% 1>&2

:done
echo quillon-deploy: %program% ended with %code%, reporting %result%
exit /b %result%

:usage
echo usage: quillon-deploy.cmd ^<drive number^> ^<FFU data file^> ^<log folder^> [quillon.exe ^| quillon-sim.exe] 1>&2
exit /b 87
