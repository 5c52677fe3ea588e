#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG. Run after editing the SVG; the
# PNGs are committed, so building needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")/../data/icons/hicolor"
if ! command -v rsvg-convert >/dev/null 2>&1; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends librsvg2-bin
fi
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" scalable/apps/org.orvanta.Orvanta.svg \
        -o "${size}x${size}/apps/org.orvanta.Orvanta.png"
done
