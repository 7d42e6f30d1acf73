#!/usr/bin/env bash
# Includes point down the layers only: platform, core, threads, foundation, net, http, bubbles,
# api.
# A file may include headers of its own folder and of the folders below it; anything else
# fails this check with the offending lines.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$top/src"

layers=(platform core threads foundation net http bubbles api)
declare -A rank
for i in "${!layers[@]}"; do
    rank[${layers[$i]}]=$i
done

bad=0
for file in $(find . -name '*.h' -o -name '*.cpp' | sort); do
    folder=$(echo "$file" | cut -d/ -f2)
    if [ -z "${rank[$folder]+x}" ]; then
        echo "layers: $file is in a folder of no layer ($folder)"
        bad=1
        continue
    fi
    while IFS= read -r line; do
        target=$(echo "$line" | sed -n 's/^#include "\([a-z_]*\)\/.*".*/\1/p')
        [ -n "$target" ] || continue
        if [ -z "${rank[$target]+x}" ] || [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
            echo "layers: src/${file#./} includes $target from $folder: $line"
            bad=1
        fi
    done < <(grep -h '^#include "' "$file")
done
[ "$bad" -eq 0 ] && echo "layers: every include points down"
exit "$bad"
