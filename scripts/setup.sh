#!/usr/bin/env bash
# Prepares a machine for building and testing: a CPython 3.14 with its headers, a C++ compiler,
# liblz4, xxHash, GoogleTest, simdjson, zlib, libzstd, libbz2 and liblzma, then a .venv with the
# Python tools. Safe to run again.
#
# It uses what the machine already has: the interpreter named by PYTHON, or python3.14 on the
# PATH, when its headers are present, and the libraries pkg-config finds. Only what is missing
# is installed, and only on Debian: libraries from the release the machine runs, and CPython
# 3.14, which no Debian release carries yet, from Debian unstable, pinned low so that nothing
# else upgrades from it. Anywhere else it stops and names what to install.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

sudo_cmd=""
if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
apt_opts=(-o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false -y -q)
unstable_src=/etc/apt/sources.list.d/tessarune-unstable.sources

say() { echo "setup: $*" >&2; }

is_debian() {
    [ -r /etc/os-release ] && (. /etc/os-release && [ "${ID:-}" = debian ])
}

# A CPython 3.14 that can build extensions and make a venv with pip.
usable_python() {
    command -v "$1" >/dev/null 2>&1 && "$1" - <<'EOF' >/dev/null 2>&1
import os, sys, sysconfig
import ensurepip, venv
ok = sys.version_info[:2] == (3, 14) and os.path.exists(
    os.path.join(sysconfig.get_paths()["include"], "Python.h"))
sys.exit(0 if ok else 1)
EOF
}

# The system packages (Debian names) for what pkg-config and the PATH do not find.
missing_libraries() {
    local missing=()
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    if ! command -v pkg-config >/dev/null 2>&1; then
        missing+=(pkgconf liblz4-dev libxxhash-dev libgtest-dev libsimdjson-dev)
        missing+=(zlib1g-dev libzstd-dev libbz2-dev liblzma-dev)
    else
        pkg-config --exists liblz4 || missing+=(liblz4-dev)
        pkg-config --exists libxxhash || missing+=(libxxhash-dev)
        pkg-config --exists gtest || missing+=(libgtest-dev)
        pkg-config --exists simdjson || missing+=(libsimdjson-dev)
        pkg-config --exists zlib || missing+=(zlib1g-dev)
        pkg-config --exists libzstd || missing+=(libzstd-dev)
        pkg-config --exists liblzma || missing+=(liblzma-dev)
        # Debian 12's libbz2-dev has no pkg-config file: its header tells.
        pkg-config --exists bzip2 || [ -f /usr/include/bzlib.h ] || missing+=(libbz2-dev)
    fi
    echo "${missing[@]}"
}

apt_updated=0
apt_install() {  # packages...; from unstable when it is the only source that has them
    export DEBIAN_FRONTEND=noninteractive
    if [ "$apt_updated" = 0 ]; then
        $sudo_cmd apt-get "${apt_opts[@]}" update
        apt_updated=1
    fi
    if ! $sudo_cmd apt-get "${apt_opts[@]}" install "$@" && [ -f "$unstable_src" ]; then
        # A library upgraded earlier from unstable wants its headers from there too.
        $sudo_cmd apt-get "${apt_opts[@]}" install -t unstable "$@"
    fi
}

add_unstable_source() {
    local uri keyring
    uri=$(grep -m1 '^URIs:' /etc/apt/sources.list.d/debian.sources | awk '{print $2}')
    keyring=$(grep -m1 '^Signed-By:' /etc/apt/sources.list.d/debian.sources | awk '{print $2}')
    printf 'Types: deb\nURIs: %s\nSuites: unstable\nComponents: main\nSigned-By: %s\n' \
        "$uri" "$keyring" | $sudo_cmd tee "$unstable_src" >/dev/null
    printf 'Package: *\nPin: release a=unstable\nPin-Priority: 100\n' \
        | $sudo_cmd tee /etc/apt/preferences.d/tessarune-unstable >/dev/null
    apt_updated=0
}

python="${PYTHON:-python3.14}"
if ! usable_python "$python"; then
    if [ -n "${PYTHON:-}" ]; then
        say "PYTHON=$PYTHON is not a CPython 3.14 with its headers, venv and ensurepip"
        exit 1
    fi
    if ! is_debian; then
        say "no CPython 3.14 with its headers found: install Python 3.14 and its development"
        say "headers (for example python3.14-dev and python3.14-venv), or name one with PYTHON=..."
        exit 1
    fi
    say "no CPython 3.14 with headers found: adding Debian unstable (pinned at priority 100) to install python3.14-dev"
    [ -f "$unstable_src" ] || add_unstable_source
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get "${apt_opts[@]}" update
    apt_updated=1
    # --force-overwrite: on Debian 12 a file moved between the old and new libssl packages.
    if ! $sudo_cmd apt-get "${apt_opts[@]}" install -t unstable \
            -o Dpkg::Options::=--force-overwrite \
            python3.14-dev python3.14-venv python3-pip-whl liblz4-dev; then
        $sudo_cmd apt-get "${apt_opts[@]}" -f install -t unstable \
            -o Dpkg::Options::=--force-overwrite
    fi
    python=python3.14
fi

read -r -a missing <<<"$(missing_libraries)"
if [ "${#missing[@]}" -gt 0 ]; then
    if ! is_debian; then
        say "missing: ${missing[*]} (Debian's names): install them with the system's package manager"
        exit 1
    fi
    apt_install "${missing[@]}"
fi

# The locales the command's tests sort in, generated from the locale data of the C library in
# use: the locales package of the same version as libc6 (from unstable where the C library came
# from there), after everything else, since an upgrade of the C library drops what was made.
test_locales=(en_US.UTF-8 de_DE.UTF-8 sv_SE.UTF-8)
missing_locales() {
    local have wanted
    have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d '-')
    for wanted in "${test_locales[@]}"; do
        grep -qx "$(echo "$wanted" | tr 'A-Z' 'a-z' | tr -d '-')" <<<"$have" || echo "$wanted"
    done
}
read -r -a locales_missing <<<"$(missing_locales | tr '\n' ' ')"
if [ "${#locales_missing[@]}" -gt 0 ]; then
    if ! is_debian; then
        say "missing locales: ${locales_missing[*]}: generate them (localedef -i en_US -f UTF-8 en_US.UTF-8)"
        exit 1
    fi
    libc_version=$(dpkg-query -W -f='${Version}' libc6)
    if [ "$(dpkg-query -W -f='${Version}' locales 2>/dev/null || true)" != "$libc_version" ] ||
            [ ! -d /usr/share/i18n/locales ]; then
        apt_install "locales=$libc_version"
    fi
    for wanted in "${locales_missing[@]}"; do
        say "generating the locale $wanted"
        $sudo_cmd localedef -i "${wanted%%.*}" -f UTF-8 "$wanted"
    done
fi

if [ ! -x .venv/bin/python ]; then
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r requirements-dev.txt
