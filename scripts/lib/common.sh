# Shared shell helpers for the build, test and play scripts. Source, don't run.

SONVALE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SONVALE_BUILD=${SONVALE_BUILD:-$SONVALE_ROOT/build}

# Wine settings for every program we start: a prefix inside the build folder, no
# Wine logging, no Mono/Gecko install prompts, and a build-local HOME whose ALSA
# configuration sends sound to a file (there is no sound card on these machines).
sonvale_wine_env() {
    export WINEPREFIX="$SONVALE_BUILD/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export SONVALE_HOME="$SONVALE_BUILD/home"
    mkdir -p "$SONVALE_HOME"
    sonvale_write_asoundrc "$SONVALE_HOME" "$SONVALE_HOME/sound.raw"
    export HOME="$SONVALE_HOME"
}

# sonvale_write_asoundrc DIR FILE: ALSA default device of DIR/.asoundrc writes raw
# signed 16-bit little-endian frames to FILE.
sonvale_write_asoundrc() {
    cat > "$1/.asoundrc" <<ASOUND
pcm.!default { type file slave.pcm "null" file "$2" format "raw" }
ASOUND
}

# Creates the Wine prefix once; later runs reuse it.
sonvale_ensure_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating Wine prefix $WINEPREFIX" >&2
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    if [ ! -f "$WINEPREFIX/.sonvale-unmanaged" ]; then
        # Xvfb has no window manager: Wine would wait 2 s at every destruction of a
        # visible top-level window for a withdrawal that never comes.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.sonvale-unmanaged"
    fi
    if [ ! -f "$WINEPREFIX/.sonvale-nodebugger" ]; then
        # A program that crashes ends at once with an error instead of waiting in
        # winedbg until a test's timeout.
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /d 'cmd.exe /c exit' /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.sonvale-nodebugger"
    fi
}

SONVALE_KEEPER_PID=""
# Starts the Wine server and its system processes (services.exe and friends) once,
# with their output going nowhere. Started by the first test program instead, they
# would inherit its output pipe and keep ctest waiting for the end of that output
# long after the test has ended. A background cmd.exe that waits on a pipe which
# never closes keeps them alive between test programs.
sonvale_start_wine() {
    wineserver -p 2>/dev/null || true # already running: reuse it
    (sleep infinity | wine cmd.exe /k >/dev/null 2>&1) &
    SONVALE_KEEPER_PID=$!
    for _ in $(seq 200); do
        pgrep -f 'services.exe' >/dev/null && break
        sleep 0.1
    done
}

sonvale_stop_wine() {
    wineserver -k 2>/dev/null || true
    if [ -n "$SONVALE_KEEPER_PID" ]; then
        pkill -P "$SONVALE_KEEPER_PID" 2>/dev/null || true
        kill "$SONVALE_KEEPER_PID" 2>/dev/null || true
        wait "$SONVALE_KEEPER_PID" 2>/dev/null || true
        SONVALE_KEEPER_PID=""
    fi
}

SONVALE_XVFB_PID=""
# Starts Xvfb on a free display and exports DISPLAY.
sonvale_start_xvfb() {
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    SONVALE_XVFB_PID=$!
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    export DISPLAY=":$n"
}

sonvale_stop_xvfb() {
    if [ -n "$SONVALE_XVFB_PID" ]; then
        kill "$SONVALE_XVFB_PID" 2>/dev/null || true
        wait "$SONVALE_XVFB_PID" 2>/dev/null || true
        SONVALE_XVFB_PID=""
    fi
}

# Builds the static libopenmpt for 32-bit Windows from Debian's source package,
# once per build folder. Prints the install prefix.
sonvale_libopenmpt_win32() {
    local deps="$SONVALE_BUILD/deps"
    local prefix="$deps/libopenmpt-win32"
    if [ ! -f "$prefix/lib/libopenmpt.a" ]; then
        echo "== building libopenmpt for Windows (a few minutes, once)" >&2
        rm -rf "$deps/src" && mkdir -p "$deps/src"
        (cd "$deps/src" && apt-get source -q --download-only libopenmpt >&2 &&
            dpkg-source -x libopenmpt_*.dsc libopenmpt >/dev/null)
        (cd "$deps/src/libopenmpt" &&
            ./configure -q --enable-silent-rules --host=i686-w64-mingw32 --prefix="$prefix" \
                CC=i686-w64-mingw32-gcc-posix CXX=i686-w64-mingw32-g++-posix \
                CFLAGS="-O2 -msse2 -mfpmath=sse" CXXFLAGS="-O2 -msse2 -mfpmath=sse" \
                --disable-shared --enable-static --without-mpg123 \
                --without-ogg --without-vorbis --without-vorbisfile --without-zlib \
                --without-portaudio --without-portaudiocpp --without-pulseaudio \
                --without-sndfile --without-flac --disable-openmpt123 --disable-examples \
                --disable-tests --disable-doxygen-doc >&2 &&
            make -s -j"$(nproc)" >&2 && make -s install >&2) || return 1
    fi
    echo "$prefix"
}

# Builds the Windows program and its tests (libopenmpt first, once). Prints the
# build folder.
sonvale_build_win32() {
    local openmpt
    openmpt=$(sonvale_libopenmpt_win32) || return 1
    local win="$SONVALE_BUILD/win32"
    # SONVALE_STATION_PORT, as for the package: two checkouts can then test side by side.
    local port=()
    [ -n "${SONVALE_STATION_PORT:-}" ] && port=(-DSONVALE_STATION_PORT="$SONVALE_STATION_PORT")
    cmake -S "$SONVALE_ROOT" -B "$win" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$SONVALE_ROOT/cmake/mingw-i686.cmake" \
        -DSONVALE_LIBOPENMPT_PREFIX="$openmpt" "${port[@]}" --no-warn-unused-cli >/dev/null
    # Called as $(...), where a failure would not stop the caller by itself.
    cmake --build "$win" >&2 || return 1
    echo "$win"
}
