#!/usr/bin/env bash
# Brings a machine to the point where korvane is built and importable: system packages, a
# CPython 3.13 virtual environment in .venv, the Python tools, and the extension itself.
# Safe to run again; it only does what is missing. Sourced by the other scripts.
set -euo pipefail

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KORVANE_VENV="$KORVANE_ROOT/.venv"
export KORVANE_ROOT KORVANE_VENV

log() { printf '[bootstrap] %s\n' "$*" >&2; }

install_system_packages() {
    local wanted=(g++ make libgtest-dev) missing=()
    for pkg in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    ((${#missing[@]})) || return 0
    log "installing system packages: ${missing[*]}"
    local sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python313() {
    local candidate
    for candidate in "${KORVANE_PYTHON:-}" "$(command -v python3.13 || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
        [[ -n "$candidate" && -x "$candidate" ]] || continue
        if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

make_venv() {
    if [[ -x "$KORVANE_VENV/bin/python" ]] &&
        "$KORVANE_VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        return 0
    fi
    local python
    python=$(find_python313) || {
        log "CPython 3.13 not found; set KORVANE_PYTHON to a python3.13 executable"
        exit 1
    }
    log "creating $KORVANE_VENV with $python"
    rm -rf "$KORVANE_VENV"
    "$python" -m venv "$KORVANE_VENV"
    "$KORVANE_VENV/bin/python" -m pip install -q --upgrade pip
}

install_python_tools() {
    local stamp="$KORVANE_VENV/.requirements.sha"
    local want
    want=$(cat "$KORVANE_ROOT"/requirements/*.txt | sha256sum | cut -d' ' -f1)
    [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]] && return 0
    log "installing Python tools"
    local files=()
    for f in "$KORVANE_ROOT"/requirements/*.txt; do files+=(-r "$f"); done
    "$KORVANE_VENV/bin/python" -m pip install -q "${files[@]}"
    echo "$want" >"$stamp"
}

build_korvane() {
    log "building korvane"
    # No build isolation: the tools are already in the venv, and the build directory under
    # build/ is reused, so a rebuild compiles only what changed.
    "$KORVANE_VENV/bin/python" -m pip install -q --no-build-isolation --no-deps "$KORVANE_ROOT" "$@"
}

install_system_packages
make_venv
install_python_tools
PATH="$KORVANE_VENV/bin:$PATH"
export PATH
