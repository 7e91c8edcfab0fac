#!/usr/bin/env bash
# Mutation run: plants each fault of bench/mutations.txt, one at a time, in
# a scratch copy of the project, builds it and runs the whole default suite
# for it inside a private process namespace with a time limit, and prints
# which faults the suite caught and the score per group (housectl, daemon,
# onvif, platform). It takes about a minute a fault; it is a tool to run by
# hand, not part of CI.
#   bench/mutation.sh [PATTERN]   only the faults whose heading matches PATTERN
set -euo pipefail
cd "$(dirname "$0")/.."
pattern=${1:-}
scripts/setup.sh >/dev/null

scratch=$(mktemp -d /tmp/house-mutation-XXXXXX)
chmod 755 "$scratch"  # the suite runs the daemon as an unprivileged user too
trap 'rm -rf "$scratch"' EXIT
git ls-files -z | xargs -0 cp --parents -t "$scratch"
[ -d tests/interop/node_modules ] && ln -s "$PWD/tests/interop/node_modules" "$scratch/tests/interop/"
build() { (cd "$scratch" && cmake --build --preset default >"$scratch/build.log" 2>&1); }
suite() {
    (cd "$scratch" && timeout 900 unshare --pid --fork --kill-child --mount-proc \
        ctest --preset default -j3 --timeout 180 >"$scratch/suite.log" 2>&1)
}
(cd "$scratch" && cmake --preset default >/dev/null)
build || { echo "mutation: the project does not build"; exit 1; }
suite || { echo "mutation: the suite fails with no fault planted"; tail -20 "$scratch/suite.log"; exit 1; }

declare -A planted=() caught=()
escaped=() broken=()
plant() {  # group file heading old new
    local group=$1 file=$2 heading=$3
    [ -n "$pattern" ] && ! grep -q -- "$pattern" <<<"$group $file $heading" && return
    cp "$file" "$scratch/$file"
    local n
    n=$(OLD=$4 NEW=$5 perl -0 -e 'local $/; my $t = <STDIN>; my $o = $ENV{OLD};
            my $c = () = $t =~ /\Q$o\E/g; print $c' < "$file")
    if [ "$n" != 1 ]; then
        broken+=("$group: $heading (found $n times in $file)")
        return
    fi
    OLD=$4 NEW=$5 perl -0 -pi -e '$o = $ENV{OLD}; $n = $ENV{NEW}; s/\Q$o\E/$n/' "$scratch/$file"
    local verdict
    if ! build; then
        broken+=("$group: $heading (does not build)")
        verdict=""
    elif suite; then
        verdict=ESCAPED
        escaped+=("$group: $heading")
    else
        verdict=caught
    fi
    cp "$file" "$scratch/$file"
    if [ -n "$verdict" ]; then
        planted[$group]=$(( ${planted[$group]:-0} + 1 ))
        [ "$verdict" = caught ] && caught[$group]=$(( ${caught[$group]:-0} + 1 ))
        printf '%-8s %-9s %s\n' "$group" "$verdict" "$heading"
    fi
}

# Records: "@ GROUP FILE heading", "- old" and "+ new"; a line that starts
# with neither continues the text before it.
group="" file="" heading="" old="" new="" part=""
flush() { [ -n "$group" ] && plant "$group" "$file" "$heading" "$old" "$new"; group=""; }
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
    '#'*) ;;
    '@ '*) flush; read -r _ group file heading <<<"$line"; old="" new="" part="" ;;
    '- '*) old=${line#- }; part=old ;;
    '+ '*|'+') new=${line#+}; new=${new# }; part=new ;;
    '') ;;
    *) if [ "$part" = old ]; then old+=$'\n'"$line"; elif [ "$part" = new ]; then new+=$'\n'"$line"; fi ;;
    esac
done < bench/mutations.txt
flush
build >/dev/null || true

echo
total_planted=0 total_caught=0
for g in "${!planted[@]}"; do
    printf '%-9s %3d/%-3d caught\n' "$g" "${caught[$g]:-0}" "${planted[$g]}"
    total_planted=$((total_planted + planted[$g]))
    total_caught=$((total_caught + ${caught[$g]:-0}))
done
[ "$total_planted" -gt 0 ] && printf 'all       %3d/%-3d caught (%d %%)\n' "$total_caught" "$total_planted" \
    $((100 * total_caught / total_planted))
for e in "${escaped[@]}"; do echo "escaped: $e"; done
for b in "${broken[@]}"; do echo "not planted: $b"; done
