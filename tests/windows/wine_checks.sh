#!/usr/bin/env bash
# Tests the 64-bit Windows build under wine64, headless: its unit tests, the Windows-only cases,
# the byte comparison with the Linux build and the names in each ANSI code page
# (windows_cases.py), then the end-to-end suite (tests/e2e).
# One private wine prefix under the build directory is made once and reused; one wineserver is
# kept running for the whole run, since starting wine is the slow part.
# Usage: wine_checks.sh WINDOWS_EXE LINUX_EXE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
exe=$(realpath "$1")
linux=$(realpath "$2")

export WINEPREFIX="$(dirname "$exe")/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# ShellExecuteA on a URL makes wine run a browser from this list: here a stand-in that only
# records the URL (to $DIRHTTP_BROWSER_LOG when set), so no browser ever starts in a test.
browser="$WINEPREFIX/browser-stand-in.sh"
if [ ! -f "$WINEPREFIX/.dirhttp-ready" ]; then
  echo "wine_checks: preparing the wine prefix $WINEPREFIX"
  timeout 300 wineboot -i >/dev/null 2>&1
  cat > "$browser" <<'STANDIN'
#!/bin/sh
[ -n "$DIRHTTP_BROWSER_LOG" ] && echo "$*" >> "$DIRHTTP_BROWSER_LOG"
exit 0
STANDIN
  chmod +x "$browser"
  timeout 120 wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /t REG_SZ \
    /d "$browser" /f >/dev/null
  timeout 60 wineserver -w
  touch "$WINEPREFIX/.dirhttp-ready"
fi

# Wine takes its ANSI code page from the locale: en_US.UTF-8 gives 1252, ja_JP.UTF-8 the
# double-byte 932. The locales are built once into the build tree (LOCPATH), not the system.
locales="$(dirname "$exe")/locales"
for locale in en_US ja_JP; do
  if [ ! -d "$locales/$locale.UTF-8" ]; then
    mkdir -p "$locales"
    localedef -i "$locale" -f UTF-8 "$locales/$locale.UTF-8"
  fi
done

# One wineserver for every server start below; ended when this script ends.
# wineserver -k ends the prefix's programs with it. A wineserver that crashed (wine 8.0 once
# failed an assertion in its socket code here) leaves the programs it started for the prefix
# (services.exe, winedevice.exe, explorer.exe) running without it: those, found by the prefix in
# their environment, are ended too, and the run says so.
end_wine() {
  wineserver -k 2>/dev/null || true
  local environ pid
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}; pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    if { tr '\0' '\n' < "$environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "wine_checks: ending $({ tr '\0' ' ' < "/proc/$pid/cmdline"; } 2>/dev/null)left by" \
        "a wineserver that ended before it" >&2
      kill -9 "$pid" 2>/dev/null || true
    fi
  done
}
wineserver -p
trap end_wine EXIT

# The unit tests that are cross-built for Windows (tests/windows/CMakeLists.txt).
timeout 300 wine "$(dirname "$exe")/tests/windows/dirhttp_tests.exe"

python3 "$here/windows_cases.py" --linux "$linux" --locales "$locales" \
  --system-code-page "$(dirname "$exe")/dirhttp_system_code_page.exe" \
  --server "$here/wine-dirhttp" "$exe"

if [ -f "$root/tests/e2e/run.py" ]; then
  python3 "$root/tests/e2e/run.py" --server "$here/wine-dirhttp" "$exe"
else
  echo "wine_checks: tests/e2e/run.py is not there; the end-to-end suite was not run" >&2
  exit 1
fi
