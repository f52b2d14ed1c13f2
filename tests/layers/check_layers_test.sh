#!/usr/bin/env bash
# scripts/check-layers passes on this checkout and fails on copies of it that
# break a rule: an include up a layer, two folders that include each other,
# a build file that compiles another folder's source.
#
#   check_layers_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$source_dir/scripts/check-layers" "$source_dir" >/dev/null || { echo "FAIL: the checkout breaks its layers"; exit 1; }

breaks() { # breaks WHAT EDIT...: a fresh copy, the edit, and the check must fail
    local what=$1
    shift
    rm -rf "$work/copy"
    mkdir "$work/copy"
    (cd "$source_dir" && tar -c --exclude='./build*' --exclude=./.git .) | tar -x -C "$work/copy"
    (cd "$work/copy" && "$@")
    if "$source_dir/scripts/check-layers" "$work/copy" >"$work/said"; then
        echo "FAIL: not caught: $what"
        exit 1
    fi
    echo "caught: $what: $(head -n 1 "$work/said")"
}
breaks "the file services include the engine" \
    sed -i '1a #include "engine/CleanRun.h"' app/files/Wildcard.cpp
breaks "the options dialog and the main window include each other" \
    sed -i '1a #include "ui/options/FrmOptions.h"' ui/main/FrmCleaner.cpp
breaks "the runtime includes a window" \
    sed -i '1a #include "ui/about/FrmAbout.h"' app/runtime/Program.cpp
breaks "a build file compiles another folder's source" \
    sed -i 's|^    FrmClean.cpp$|    FrmClean.cpp\n    ../files/Wildcard.cpp|' app/runtime/CMakeLists.txt
breaks "the file services include Qt" \
    sed -i '1a #include <QString>' app/files/DosPath.cpp
echo PASS
