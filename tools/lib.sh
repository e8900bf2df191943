# Shared by the scripts: package installs, the builds and the Wine environment.
# Source it; paths are relative to the repository.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
WINE_DIR=/usr/lib/wine

BUILD_PACKAGES="cmake ninja-build clang lld llvm mingw-w64-x86-64-dev python3"
WINE_PACKAGES="wine64 wine"
# What runs the ARM64 programs under qemu (tools/arm64_wine).
ARM64_WINE_PACKAGES="mmdebstrap qemu-user-static binfmt-support arch-test"

# Installs the Debian packages that are not installed yet.
ensure_packages() {
    local missing=""
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    # Another install may hold the package lock: wait for it, within bounds.
    local wait=(-o DPkg::Lock::Timeout=600 -o Acquire::Lock::Timeout=600)
    $sudo apt-get "${wait[@]}" update -qq >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait[@]}" install -y -qq --no-install-recommends $missing >&2
}

# The maker's web address, from its one definition in the sources.
maker_web() {
    sed -nE 's/^#define PACECAP_MAKER_WEB "(.*)"$/\1/p' "$ROOT/src/Maker.h"
}

# The build folder of a target: x64 (the default) or arm64.
win_dir() {
    case "${1:-x64}" in
        x64) echo "$BUILD/win" ;;
        arm64) echo "$BUILD/win-arm64" ;;
        *) echo "unknown target '$1': x64 or arm64" >&2; return 2 ;;
    esac
}

# Configures the cross build of the release configuration for target $1 (x64
# or arm64) in folder $2, with any further cmake arguments.
configure_cross_for() {
    local arch=$1 folder=$2
    shift 2
    cmake -S "$ROOT" -B "$folder" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/windows-$arch-llvm.cmake" "$@" >/dev/null
}

# Configures the x64 cross build in folder $1, with any further cmake arguments.
configure_cross() {
    configure_cross_for x64 "$@"
}

# Cross-builds Pacecap.exe and the test tools into win_dir $2 (x64 by
# default), with version $1 (X.Y.Z.W) when given and not empty, else the
# default one: an earlier build's version is never kept.
build_exe() {
    local version=-UPACECAP_VERSION arch=${2:-x64} folder
    [ -z "${1:-}" ] || version=-DPACECAP_VERSION=$1
    folder=$(win_dir "$arch")
    configure_cross_for "$arch" "$folder" "$version"
    quietly cmake --build "$folder"
}

# Describes the release build for anyone who rebuilds it: the commit, each
# target's unsigned exes' hashes and the exact Debian packages of the toolchain.
build_info() {
    local git=(git -c safe.directory="$ROOT" -C "$ROOT") commit arch exe
    commit=$("${git[@]}" rev-parse HEAD 2>/dev/null || echo "unknown (not a git checkout)")
    [ -z "$("${git[@]}" status --porcelain --untracked-files=no 2>/dev/null)" ] || commit="$commit, with local changes"
    echo "Pacecap.exe and PacecapKeep.exe for x64 and for arm64, built from commit $commit"
    for arch in x64 arm64; do
        for exe in Pacecap.exe PacecapKeep.exe; do
            echo "sha256 of the unsigned $arch $exe: $(sha256sum <"$(win_dir "$arch")/$exe" | cut -d' ' -f1)"
        done
    done
    echo "built on $(. /etc/os-release && echo "$PRETTY_NAME") with these packages (name, version, architecture):"
    toolchain_packages | sort -u | xargs dpkg-query -W -f='${Package} ${Version} ${Architecture}\n'
}

# The Debian packages that hold the cross build's programs, the libraries
# they run on, and the Windows headers.
toolchain_packages() {
    local tool path
    for tool in clang++ lld-link llvm-rc llvm-dlltool cmake ninja; do
        path=$(readlink -f "$(command -v "$tool")")
        dpkg-query -S "$path" | cut -d: -f1
        ldd "$path" | sed -nE 's/.*=> (\S*(LLVM|clang)\S*) .*/\1/p' | xargs -r readlink -f |
            xargs -r dpkg-query -S | cut -d: -f1
    done
    echo clang lld llvm mingw-w64-x86-64-dev wixl wixl-data msitools libmsi0 libgcab-1.0-0 faketime libfaketime
}

# Runs a command with its output kept back, shown only when it fails.
quietly() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

# Points Wine at a private prefix, quiet, with the crash debugger off so that
# a crash ends the process instead of writing a dump into its output.
use_wine_prefix() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="winedbg.exe=d${2:+;$2}"
    export WINE="$WINE_DIR/wine64"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Creating the Wine prefix $WINEPREFIX (once)..." >&2
        "$WINE" wineboot -i </dev/null >/dev/null 2>&1
        "$WINE_DIR/wineserver" -w
    fi
}
