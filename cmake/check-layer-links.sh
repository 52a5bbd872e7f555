#!/usr/bin/env bash
# Fails when a layer's archive needs a symbol that only a layer above it
# defines: the link-time half of the layer rule (cmake/Layers.cmake).
#   check-layer-links.sh NM LOWEST.a ... HIGHEST.a
set -euo pipefail
nm_tool=$1
shift
libs=("$@")

defined() { "$nm_tool" -g --defined-only "$1" | awk 'NF >= 3 { print $3 }' | sort -u; }
undefined() { "$nm_tool" -g --undefined-only "$1" | awk 'NF >= 1 { print $NF }' | sort -u; }

status=0
for ((i = 0; i < ${#libs[@]}; ++i)); do
    needs=$(undefined "${libs[i]}")
    for ((j = i + 1; j < ${#libs[@]}; ++j)); do
        up=$(comm -12 <(echo "$needs") <(defined "${libs[j]}"))
        if [ -n "$up" ]; then
            echo "$(basename "${libs[i]}") needs from $(basename "${libs[j]}") above it:"
            echo "$up" | head -n 20 | sed 's/^/    /'
            status=1
        fi
    done
done
[ $status -eq 0 ] && echo "${#libs[@]} layers link only downward"
exit $status
