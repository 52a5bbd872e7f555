#!/usr/bin/env bash
# check-source's include rules against hidden and wrong includes: each case
# puts one include into a throwaway repository holding the rooms of
# sdk/download and runs check-source there (formatters stubbed out).
# Usage: check-source-includes.sh REPOSITORY_ROOT
set -uo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/stubs"
for t in clang-format shellcheck pyflakes3; do
    printf '#!/bin/sh\nexit 0\n' >"$work/stubs/$t"
    chmod +x "$work/stubs/$t"
done

# expect (refused|allowed), includer, include text
cases=(
    'refused|sdk/download/plain/A.cpp|#include "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#include /* x */ "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|/* x */ #include "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|/* x\n */ #include "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|%:include "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#include \\\n"sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#\\\ninclude "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#define H "sdk/download/engine/E.h"\n#include H'
    'refused|sdk/download/plain/A.cpp|#include_next "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#import "sdk/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#include "SDK/download/engine/E.h"'
    'refused|sdk/download/plain/A.cpp|#include "sdk\\download\\engine\\E.h"'
    'refused|sdk/download/plain/A.cpp|#include "sdk/download/plain/../engine/E.h"'
    'refused|sdk/download/T.cpp|#include "plain/A.h"'
    'refused|sdk/download/T.cpp|#include "engine/E.h"'
    'refused|sdk/download/extract/X.cpp|#include "sdk/download/plain/A.h"'
    'refused|sdk/support/S.cpp|#include "sdk/download/T.h"'
    'refused|sdk/download/engine/E.cpp|#include "sdk/api/CJobManager.h"'
    'refused|launcher/L.cpp|#include "./sdk/api/CJob.h"'
    'refused|launcher/L.cpp|#include /**/ "./sdk/api/CJob.h"'
    'refused|launcher/L.cpp|#include "sdk/download/CJob.h"'
    'allowed|sdk/download/engine/E.cpp|#include "sdk/download/plain/A.h"'
    'allowed|sdk/download/T.cpp|#include "T.h"'
    'allowed|sdk/download/plain/A.cpp|// #include "sdk/download/engine/E.h"'
    'allowed|sdk/download/plain/A.cpp|const char *s = "/*"; // */ #include x'
    'allowed|launcher/L.cpp|#include "sdk/api/SwarmFetch.h"'
)

failures=0
n=0
for c in "${cases[@]}"; do
    IFS='|' read -r expect includer text <<<"$c"
    n=$((n + 1))
    repo=$work/repo$n
    mkdir -p "$repo/scripts/lib"
    cp "$root/scripts/check-source" "$repo/scripts/"
    cp "$root"/scripts/lib/*.py "$repo/scripts/lib/" 2>/dev/null
    for f in sdk/download/T.h sdk/download/T.cpp sdk/download/CJob.h sdk/download/plain/A.h sdk/download/plain/A.cpp \
        sdk/download/engine/E.h sdk/download/engine/E.cpp sdk/download/extract/X.cpp sdk/support/S.cpp \
        sdk/api/CJob.h sdk/api/CJobManager.h sdk/api/SwarmFetch.h launcher/L.cpp; do
        mkdir -p "$repo/$(dirname "$f")"
        : >"$repo/$f"
    done
    printf '%b\n' "$text" >"$repo/$includer"
    git -C "$repo" init -q && git -C "$repo" add -A
    if PATH="$work/stubs:$PATH" bash "$repo/scripts/check-source" >"$work/out" 2>&1; then got=allowed; else got=refused; fi
    if [ "$got" != "$expect" ]; then
        echo "FAIL: $includer: $text: $got, expected $expect"
        sed 's/^/    /' "$work/out"
        failures=$((failures + 1))
    fi
done
echo "$n cases, $failures failed"
[ "$failures" -eq 0 ]
