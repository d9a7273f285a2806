# Shared shell helpers for the build, test and play scripts. Source, don't run.

SONVALE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SONVALE_BUILD=${SONVALE_BUILD:-$SONVALE_ROOT/build}

# One compiler cache for every build of the tree: the tests' and the release's builds
# compile the decoder with the same flags, so a fresh machine compiles it once for both.
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-$SONVALE_BUILD/ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$SONVALE_ROOT}
    # Builds in other folders share objects: their debug information names the first.
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi

# What the Windows builds target: SONVALE_ARCH, i686 (the 32-bit program users get)
# unless the caller says x86_64. SONVALE_WIN is the folder of that target's builds,
# package and Wine prefix: the build folder itself for i686.
sonvale_set_arch() { # ARCH
    case $1 in
    i686) SONVALE_WIN=$SONVALE_BUILD ;;
    x86_64) SONVALE_WIN=$SONVALE_BUILD/x86_64 ;;
    *) echo "SONVALE_ARCH is i686 or x86_64, not '$1'" >&2 && return 1 ;;
    esac
    export SONVALE_ARCH=$1
}
SONVALE_ARCH_GIVEN=${SONVALE_ARCH:-}
sonvale_set_arch "${SONVALE_ARCH:-i686}"

# For the scripts that run the program. A kernel with its 32-bit emulation off
# (ia32_emulation=off, as on the machines this project's CI runs on now) runs no
# 32-bit code at all, neither Wine's 32-bit loader nor the program: there, unless
# SONVALE_ARCH was given, the same sources are built for 64-bit Windows and run
# under 64-bit Wine, and it says so.
sonvale_pick_arch() {
    if [ -z "$SONVALE_ARCH_GIVEN" ] && [ -e /lib/ld-linux.so.2 ] &&
        ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
        echo "== this machine's kernel runs no 32-bit programs (its ia32 emulation is off):" \
            "the Windows builds that run here are 64-bit, under 64-bit Wine" >&2
        sonvale_set_arch x86_64
    fi
}

# Wine settings for every program we start: a prefix inside the build folder, no
# Wine logging, no Mono/Gecko install prompts, and a build-local HOME.
sonvale_wine_env() {
    if [ "$SONVALE_ARCH" = x86_64 ]; then
        # Debian's wine command takes the 32-bit loader whenever it is installed.
        mkdir -p "$SONVALE_WIN/bin"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$SONVALE_WIN/bin/wine"
        chmod +x "$SONVALE_WIN/bin/wine"
        ln -sf wine "$SONVALE_WIN/bin/wine-stable"
        export PATH="$SONVALE_WIN/bin:$PATH" WINELOADER=/usr/lib/wine/wine64
    fi
    # Where the kernel refuses the loader, every run would fail later, less clearly.
    local why
    if ! why=$(wine --version 2>&1); then
        echo "Wine cannot start $SONVALE_ARCH programs on this machine: ${why##*: }" >&2
        return 1
    fi
    export WINEPREFIX="$SONVALE_WIN/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export SONVALE_HOME="$SONVALE_WIN/home"
    mkdir -p "$SONVALE_HOME"
    rm -f "$SONVALE_HOME/.asoundrc" # older builds' file device: Wine's ALSA is the host's
    export HOME="$SONVALE_HOME"
}

# With SONVALE_OWN_SESSIONS=1 (./scripts/play sets it) the servers started here run in
# sessions of their own: a Ctrl-C at the terminal reaches the script alone, which
# then ends them in order instead of all of them dying at once under the player.
# They still end with the script (a parent-death signal) should it be killed.
SONVALE_SPAWN=()
[ "${SONVALE_OWN_SESSIONS:-0}" = 1 ] && SONVALE_SPAWN=(setpriv --pdeathsig TERM setsid)

# Where Wine sends sound: "private" (the default) is a sound server of this run
# (sonvale_start_sound); "host" leaves it to the machine (PULSE_SERVER as set, or
# the user's own server); "alsa" is a sound card without a server.
SONVALE_SOUND=${SONVALE_SOUND:-private}

SONVALE_SOUND_DIR=""
# Starts a PulseAudio of this run with one null sink, which plays at real pace and
# is heard by nobody, and records what reaches it to $SONVALE_CAPTURE (raw signed
# 16-bit little-endian stereo at 44.1 kHz, from now on). Exports PULSE_SERVER, the
# one address Wine's pulse driver then talks to: the host's sound setup can neither
# break the run nor hear it.
sonvale_start_sound() {
    # A short path: a Unix socket's name has at most 107 bytes.
    SONVALE_SOUND_DIR=$(mktemp -d /tmp/sonvale-sound.XXXXXX)
    local d=$SONVALE_SOUND_DIR
    cat >"$d/server.pa" <<PA
load-module module-null-sink sink_name=heard rate=44100 channels=2 format=s16le
set-default-sink heard
load-module module-native-protocol-unix auth-anonymous=1 socket=$d/native
PA
    export PULSE_SERVER="unix:$d/native"
    export SONVALE_CAPTURE="$d/heard.raw"
    sonvale_sound_up
}

# Starts the server of $SONVALE_SOUND_DIR on its socket, and its capture, which
# appends to $SONVALE_CAPTURE: again after sonvale_sound_down, as a sound service
# that restarts. Their pids are kept in that folder for whichever shell stops them.
sonvale_sound_up() {
    local d=$SONVALE_SOUND_DIR _ size
    # Its own runtime and state folders and no pid file: runs beside it (and a
    # user's own server) are not "already running" daemons to it.
    PULSE_RUNTIME_PATH="$d/runtime" PULSE_STATE_PATH="$d/state" \
        "${SONVALE_SPAWN[@]}" pulseaudio -n -F "$d/server.pa" --daemonize=no --use-pid-file=no --exit-idle-time=-1 \
        --realtime=no --high-priority=no --log-target=stderr >>"$d/server.log" 2>&1 </dev/null &
    echo $! >"$d/server.pid"
    for _ in $(seq 100); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "$(cat "$d/server.pid")" 2>/dev/null || break
        sleep 0.1
    done
    if ! pactl info >/dev/null 2>&1; then
        echo "the sound server did not start:" >&2
        cat "$d/server.log" >&2
        return 1
    fi
    size=$(stat -c %s "$SONVALE_CAPTURE" 2>/dev/null || echo 0)
    "${SONVALE_SPAWN[@]}" parec -d heard.monitor --format=s16le --rate=44100 --channels=2 --latency-msec=20 \
        >>"$SONVALE_CAPTURE" 2>>"$d/capture.log" </dev/null &
    echo $! >"$d/capture.pid"
    # The null sink clocks silence too: a growing file is a running capture.
    for _ in $(seq 100); do
        [ "$(stat -c %s "$SONVALE_CAPTURE")" -gt "$size" ] && return 0
        sleep 0.1
    done
    echo "the sound capture did not start:" >&2
    cat "$d/capture.log" >&2
    return 1
}

# Ends the capture: $SONVALE_CAPTURE then holds all it heard. Returns 1, with a
# line on standard error, when the capture had ended before.
sonvale_stop_capture() {
    local d=$SONVALE_SOUND_DIR pid gone=0 rc=0 _
    pid=$(cat "$d/capture.pid" 2>/dev/null) || return 0
    rm -f "$d/capture.pid"
    kill "$pid" 2>/dev/null || gone=1
    wait "$pid" 2>/dev/null || rc=$?
    if [ $rc -eq 127 ]; then # another shell's child: watched until it has gone
        rc=0
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    if [ $gone -eq 1 ] || { [ $rc -ne 0 ] && [ $rc -ne 143 ]; }; then
        local log
        log=$(head -c 300 "$d/capture.log" 2>/dev/null | tr '\n' ' ')
        echo "the capture had ended by itself (exit status $rc)${log:+: $log}" >&2
        return 1
    fi
}

sonvale_sound_down() {
    local f pid _
    for f in capture server; do
        pid=$(cat "$SONVALE_SOUND_DIR/$f.pid" 2>/dev/null) || continue
        if ! kill "$pid" 2>/dev/null && [ $f = server ]; then
            # Gone before its time: whatever played through it lost its sound.
            echo "the sound server had ended by itself: $(tail -n 3 "$SONVALE_SOUND_DIR/server.log" | tr '\n' ' ')" >&2
        fi
        # A child of this shell is waited for; another's is watched until it has gone.
        wait "$pid" 2>/dev/null || for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        rm -f "$SONVALE_SOUND_DIR/$f.pid"
    done
}

sonvale_stop_sound() {
    [ -n "$SONVALE_SOUND_DIR" ] || return 0
    sonvale_sound_down
    rm -rf "$SONVALE_SOUND_DIR"
    SONVALE_SOUND_DIR=""
}

# Sets the prefix's audio driver explicitly (Wine would otherwise take the first
# that works): pulse, at the address in PULSE_SERVER or the user's server; alsa
# for a sound card without a server.
sonvale_set_audio_driver() {
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d "$1" /f >/dev/null 2>&1
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
# The sound goes as SONVALE_SOUND says; a private sound server lives as long as Wine.
sonvale_start_wine() {
    "${SONVALE_SPAWN[@]}" wineserver -p 2>/dev/null || true # already running: reuse it
    if [ "$SONVALE_SOUND" = private ]; then
        sonvale_start_sound || return 1
    fi
    if [ "$SONVALE_SOUND" = alsa ]; then
        sonvale_set_audio_driver alsa
    else
        sonvale_set_audio_driver pulse
    fi
    # Its shell says nothing when the pipe's ends are killed at the stop.
    "${SONVALE_SPAWN[@]}" bash -c 'sleep infinity | wine cmd.exe /k' >/dev/null 2>&1 &
    SONVALE_KEEPER_PID=$!
    local pid
    for _ in $(seq 200); do
        for pid in $(pgrep -f 'services.exe'); do # this prefix's, not another run's
            grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && return 0
        done
        sleep 0.1
    done
}

sonvale_stop_wine() {
    wineserver -k 2>/dev/null || true
    sonvale_stop_sound
    if [ -n "$SONVALE_KEEPER_PID" ]; then
        pkill -P "$SONVALE_KEEPER_PID" 2>/dev/null || true
        kill "$SONVALE_KEEPER_PID" 2>/dev/null || true
        wait "$SONVALE_KEEPER_PID" 2>/dev/null || true
        SONVALE_KEEPER_PID=""
    fi
}

SONVALE_STATION_PID=""
SONVALE_STATION=${SONVALE_STATION:-$SONVALE_ROOT/station/station.py} # the tests': theirs
# sonvale_start_station PORT DIR [STATION ARGS...]: the station server on PORT, its
# log (station.log) and ready file in DIR, as a child of this shell that dies with
# it, even when the shell is killed outright (a test's timeout): nothing is left
# holding the port.
sonvale_start_station() {
    local port=$1 dir=$2 _
    shift 2
    rm -f "$dir/station.ready"
    "${SONVALE_SPAWN[@]}" setpriv --pdeathsig KILL python3 "$SONVALE_STATION" --port "$port" \
        --log "$dir/station.log" --ready-file "$dir/station.ready" --quiet "$@" \
        </dev/null >>"$dir/station.out" 2>&1 &
    SONVALE_STATION_PID=$!
    for _ in $(seq 100); do
        [ -s "$dir/station.ready" ] && return 0
        kill -0 "$SONVALE_STATION_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "the station did not start on port $port:" >&2
    cat "$dir/station.out" >&2
    return 1
}

sonvale_stop_station() {
    if [ -n "$SONVALE_STATION_PID" ]; then
        kill "$SONVALE_STATION_PID" 2>/dev/null || true
        wait "$SONVALE_STATION_PID" 2>/dev/null || true
        SONVALE_STATION_PID=""
    fi
}

SONVALE_XVFB_PID=""
# Starts Xvfb on a free display and exports DISPLAY. Another run may take the same
# display at the same moment: then ours ends at once, and the next one is tried.
sonvale_start_xvfb() {
    local n=90 _ try
    for try in $(seq 20); do
        while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
        "${SONVALE_SPAWN[@]}" Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        SONVALE_XVFB_PID=$!
        for _ in $(seq 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
        sleep 0.2
        kill -0 "$SONVALE_XVFB_PID" 2>/dev/null && break
        n=$((n + 1))
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

# libopenmpt's source: the newest that Debian's index offers (the current stable
# suite's, which scripts/setup adds as a source-only entry), at least 0.7.13,
# fetched and checked by apt, unpacked with Debian's own patches and then ours
# (audio/libopenmpt/kept-formats.patch), once per build folder. Prints its
# folder; every build of the decoder compiles from it.
SONVALE_LIBOPENMPT_MIN=0.7.13
sonvale_libopenmpt_source() {
    local deps="$SONVALE_BUILD/deps" patch="$SONVALE_ROOT/audio/libopenmpt/kept-formats.patch"
    local v best="" dir stamp
    for v in $(apt-cache showsrc libopenmpt 2>/dev/null | sed -n 's/^Version: //p'); do
        if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
    done
    if [ -z "$best" ] || ! dpkg --compare-versions "$best" ge "$SONVALE_LIBOPENMPT_MIN"; then
        echo "libopenmpt: Debian's index offers ${best:-no source}, older than $SONVALE_LIBOPENMPT_MIN (run ./scripts/setup)" >&2
        return 1
    fi
    dir="$deps/libopenmpt-$best"
    stamp="$best $(sha256sum <"$patch")"
    if [ "$(cat "$dir/.sonvale-stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "== fetching libopenmpt $best from Debian's source index" >&2
        rm -rf "$dir" "$deps/fetch" && mkdir -p "$deps/fetch"
        # apt checks the files against the signed index; dpkg-source need not
        # look for the uploader's key.
        (cd "$deps/fetch" && apt-get source -q --download-only "libopenmpt=$best" >&2 &&
            dpkg-source -q --no-check -x libopenmpt_*.dsc "$dir" >/dev/null) || return 1
        patch -s -d "$dir" -p1 <"$patch" || return 1
        rm -rf "$deps/fetch" "$deps"/libopenmpt_*.orig.tar.*
        echo "$stamp" >"$dir/.sonvale-stamp"
    fi
    echo "$dir"
}

# Builds the engine's fuzz target natively with clang's libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer, the decoder with them. Prints
# the build folder.
sonvale_build_fuzz() {
    local openmpt dir="$SONVALE_BUILD/native-fuzz"
    local flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    openmpt=$(sonvale_libopenmpt_source) || return 1
    CC=clang-14 CXX=clang++-14 cmake -S "$SONVALE_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSONVALE_FUZZ=ON -DSONVALE_LIBOPENMPT_SOURCE="$openmpt" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    cmake --build "$dir" >&2 || return 1
    echo "$dir"
}

# Builds the Windows program and its tests, the decoder with them. Prints the
# build folder.
sonvale_build_win32() {
    local openmpt
    openmpt=$(sonvale_libopenmpt_source) || return 1
    local win="$SONVALE_WIN/win32"
    # SONVALE_STATION_PORT, as for the package: two checkouts can then test side by side.
    local port=()
    [ -n "${SONVALE_STATION_PORT:-}" ] && port=(-DSONVALE_STATION_PORT="$SONVALE_STATION_PORT")
    # The release's flags: the tests run the program as it ships, and the package
    # built after them takes every object of the program from the compiler cache.
    cmake -S "$SONVALE_ROOT" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$SONVALE_ROOT/cmake/mingw-$SONVALE_ARCH.cmake" \
        -DSONVALE_LIBOPENMPT_SOURCE="$openmpt" "${port[@]}" --no-warn-unused-cli >/dev/null
    # Called as $(...), where a failure would not stop the caller by itself.
    cmake --build "$win" >&2 || return 1
    echo "$win"
}
