#!/bin/sh
# Ties the protocol model to the code it stands for: a step of the model and
# the code line it models carry the same tag, "@model:NAME" (NAME of letters,
# digits, '_', '-' and '.'), in a comment on each side:
#
#   model/*.pml                      /* @model:pause-stores-stop */
#   serialmgr/, drivers/ (C++)       // @model:pause-stores-stop
#
# A tag on one side only fails: the code step changed or went away without
# the model (or the other way round). A name may stand on several lines of a
# side (one step in two places); that side then lists it once.
#
#   model/tags.sh [source root]           default: the repository
#   model/tags.sh --selftest              this script's own test
set -eu

here="$(cd "$(dirname "$0")" && pwd)"

# tags FILES...: the tag names in the comments of these files, sorted, once each.
# A comment is what follows "//" or "/*" on a line, or a line inside a block
# comment that starts with "*".
tags() {
    [ "$#" -gt 0 ] || return 0
    grep -h -E '(//|/\*|^[[:space:]]*\*).*@model:' "$@" 2>/dev/null |
        grep -o -E '@model:[A-Za-z0-9_.-]+' | sed 's/^@model://' | sort -u
}

# check ROOT: 0 when both sides carry the same tags.
check() {
    root="$1"
    work="$(mktemp -d)"
    # shellcheck disable=SC2046
    tags $(find "$root/model" -maxdepth 1 -name '*.pml' | sort) >"$work/model"
    # shellcheck disable=SC2046
    tags $(find "$root/serialmgr" "$root/drivers" -type f \
        \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) 2>/dev/null | sort) >"$work/code"
    status=0
    for n in $(comm -23 "$work/model" "$work/code"); do
        echo "model-tags: @model:$n is in the model but on no code line" >&2; status=1
    done
    for n in $(comm -13 "$work/model" "$work/code"); do
        echo "model-tags: @model:$n is on a code line but not in the model" >&2; status=1
    done
    echo "model-tags: $(wc -l <"$work/model") tags in the model, $(wc -l <"$work/code") in the code"
    rm -rf "$work"
    return $status
}

if [ "${1:-}" != --selftest ]; then
    check "${1:-$here/..}"
    exit $?
fi

# The self-test: a copy of the tree must fail once any one tag is taken off
# either side, for each tag the tree has and for one made up here (so that the
# test means something while the tree has none).
repo="$here/.."
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
bad=0
copy() {
    rm -rf "$tmp/t"; mkdir -p "$tmp/t/model"
    cp "$repo"/model/*.pml "$tmp/t/model/"
    cp -r "$repo/serialmgr" "$repo/drivers" "$tmp/t/"
    printf '/* The self-test step. @model:selftest-step */\n' >>"$tmp/t/model/selftest.pml"
    printf '// The step the self-test ties. @model:selftest-step\n' >>"$tmp/t/serialmgr/selftest.cpp"
}
copy
if ! check "$tmp/t" >/dev/null 2>"$tmp/err"; then
    echo "model-tags self-test: the tree with one more tag on both sides fails:" >&2; cat "$tmp/err" >&2; bad=1
fi
names="$(cd "$tmp/t" && tags model/*.pml)"
for n in $names; do
    for side in model code; do
        copy
        if [ "$side" = model ]; then
            files="$(grep -l -r -F "@model:$n" "$tmp/t/model")"
        else
            files="$(grep -l -r -F "@model:$n" "$tmp/t/serialmgr" "$tmp/t/drivers")"
        fi
        # Take the tag off every line of that side (a name ends at a character
        # that cannot be in a name).
        for f in $files; do
            sed -i -E "s/@model:$n([^A-Za-z0-9_.-]|\$)/\\1/g" "$f"
        done
        if check "$tmp/t" >/dev/null 2>"$tmp/err"; then
            echo "model-tags self-test: @model:$n taken off the $side side, the check still passes" >&2; bad=1
        elif ! grep -q "@model:$n " "$tmp/err"; then
            echo "model-tags self-test: @model:$n taken off the $side side, the check fails without naming it:" >&2
            cat "$tmp/err" >&2; bad=1
        fi
    done
done
if [ "$bad" -ne 0 ]; then echo "model-tags self-test: FAILED" >&2; exit 1; fi
echo "model-tags self-test: taking any one of $(echo "$names" | wc -w) tags off either side fails the check"
