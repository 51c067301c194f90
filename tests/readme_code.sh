#!/usr/bin/env bash
# Every fenced code block of the README is a file of the clone, or a marked region of one,
# as it stands, so that the README cannot show code that the build no longer compiles.
#   tests/readme_code.sh ROOT        (ROOT: the clone; exit 1 naming each block that differs)
# The line before a block names its source: <!-- code: FILE --> for the whole file,
# <!-- code: FILE REGION --> for the lines between the two comment lines "README: REGION"
# and "README end" in FILE, less the indentation they have in common.
set -euo pipefail
root=$1
readme=$root/README.md
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The blocks of the README: block files 1, 2 ... and one line "LINE FILE [REGION]" per
# block in the index (FILE "-" when the block names no source).
awk -v work="$work" '
  inside && /^```/ { inside = 0; close(out); next }
  inside { print > out; next }
  /^```/ {
    inside = 1; n++; out = work "/" n
    printf "" > out
    src = "-"
    if (match(last, /^<!-- code: [^ ]+( [^ ]+)? -->$/)) src = substr(last, 12, length(last) - 15)
    print NR, src > (work "/index")
    next
  }
  NF { last = $0 }
' "$readme"

# The lines of FILE between the markers of REGION, less their common indentation.
region() {
  awk -v name="$2" '
    $0 ~ "^[[:space:]]*(//|#) README: " name "$" { inside = 1; next }
    inside && $0 ~ "^[[:space:]]*(//|#) README end$" { inside = 0; found = 1; next }
    inside { line[++n] = $0 }
    END {
      if (!found) exit 1
      indent = -1
      for (i = 1; i <= n; i++) {
        if (line[i] !~ /[^[:space:]]/) continue
        match(line[i], /^ */)
        if (indent < 0 || RLENGTH < indent) indent = RLENGTH
      }
      for (i = 1; i <= n; i++) print (line[i] ~ /[^[:space:]]/ ? substr(line[i], indent + 1) : "")
    }
  ' "$1"
}

status=0
blocks=0
[ -f "$work/index" ] || { echo "README.md: no code blocks" >&2; exit 1; }
while read -r line file name; do
  blocks=$((blocks + 1))
  if [ "$file" = - ]; then
    echo "README.md:$line: a code block without its source (<!-- code: FILE [REGION] --> above it)" >&2
    status=1
    continue
  fi
  if [ ! -f "$root/$file" ]; then
    echo "README.md:$line: $file does not exist" >&2
    status=1
    continue
  fi
  if [ -z "$name" ]; then
    cp "$root/$file" "$work/want"
  elif ! region "$root/$file" "$name" >"$work/want"; then
    echo "README.md:$line: $file has no region $name" >&2
    status=1
    continue
  fi
  if ! diff -u --label "$file${name:+ ($name)}" --label "README.md:$line" "$work/want" "$work/$blocks" >&2; then
    status=1
  fi
done <"$work/index"
exit $status
