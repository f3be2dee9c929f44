#!/bin/sh
# tessvane-find over one file in ranges, as the README shares a huge file between machines, here
# on GNU parallel's local job slots: the parts' listings joined in order are the whole scan's.
# The file is real: a tar of this machine's icons and pixmaps (X cursors, icon caches), cut by
# ranges that fall at odd bytes, inside pictures too.
set -eu
finder=$1
command -v parallel >/dev/null || { echo "GNU parallel is not installed (tools/packages.sh lists it)"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
tar --sort=name -cf - /usr/share/icons /usr/share/pixmaps 2>/dev/null | head -c 12000000 > "$dir/icons.tar" || true
file=$dir/icons.tar
size=$(stat -c %s "$file")
[ "$size" -ge 4000000 ] || { echo "too little of /usr/share/icons to test with ($size bytes)"; exit 1; }

"$finder" --tsv "$file" > "$dir/whole.tsv"
step=1999993
seq 0 $step $((size - 1)) |
    parallel --will-cite -k -j 3 "$finder" --tsv --from {} --to "{= \$_ += $step =}" "$file" |
    awk 'NR == 1 || !/^offset\t/' > "$dir/joined.tsv"
finds=$(($(wc -l < "$dir/whole.tsv") - 1))
[ "$finds" -ge 20 ] || { echo "only $finds finds in the whole scan: the material tests little"; exit 1; }
if ! cmp -s "$dir/whole.tsv" "$dir/joined.tsv"; then
    diff "$dir/whole.tsv" "$dir/joined.tsv" | head -20
    echo "the joined parts differ from the whole scan"
    exit 1
fi
echo "the $finds finds of the whole scan, joined from $(( (size + step - 1) / step )) ranges"
