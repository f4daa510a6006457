#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine for building and testing: system packages
# (CPython 3.14 from unstable, liblz4, libxxhash, GoogleTest), a .venv with the Python tools, and the
# installed package. Safe to run again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

sudo_cmd=""
if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi

need_apt=0
for pkg in python3.14-dev python3.14-venv liblz4-dev libxxhash-dev libgtest-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need_apt=1
done

if [ "$need_apt" = 1 ]; then
    src=/etc/apt/sources.list.d/tessarune-unstable.sources
    if [ ! -f "$src" ]; then
        uri=$(grep -m1 '^URIs:' /etc/apt/sources.list.d/debian.sources | awk '{print $2}')
        keyring=$(grep -m1 '^Signed-By:' /etc/apt/sources.list.d/debian.sources | awk '{print $2}')
        printf 'Types: deb\nURIs: %s\nSuites: unstable\nComponents: main\nSigned-By: %s\n' \
            "$uri" "$keyring" | $sudo_cmd tee "$src" >/dev/null
        printf 'Package: *\nPin: release a=unstable\nPin-Priority: 100\n' \
            | $sudo_cmd tee /etc/apt/preferences.d/tessarune-unstable >/dev/null
    fi
    apt_opts=(-o Acquire::Check-Valid-Until=false -o Acquire::Check-Date=false)
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get "${apt_opts[@]}" update -q
    $sudo_cmd apt-get "${apt_opts[@]}" install -y -q libgtest-dev libxxhash-dev g++ make
    if ! $sudo_cmd apt-get "${apt_opts[@]}" install -y -q -t unstable \
            -o Dpkg::Options::=--force-overwrite \
            python3.14-dev python3.14-venv python3-pip-whl liblz4-dev; then
        $sudo_cmd apt-get "${apt_opts[@]}" -f install -y -q -t unstable \
            -o Dpkg::Options::=--force-overwrite
    fi
fi

if [ ! -x .venv/bin/python ]; then
    python3.14 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r requirements-dev.txt
