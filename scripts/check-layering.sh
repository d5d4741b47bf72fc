#!/usr/bin/env bash
# Fails, naming each offending include, when a folder of main/ includes a folder above it:
# the logic's folders form layers, each seeing only itself and the layers below it, so that no
# two folders ever include each other.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Lowest first. common includes nothing else of main/; host, the top, may include them all.
layers=(common session safety observe control host)

rank() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

offences=0
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  line=${rest%%:*}
  included=$(sed -E 's/^[^"]*"(main\/[^"]*)".*/\1/' <<<"${rest#*:}")
  from=${file#main/}
  from=${from%%/*}
  to=${included#main/}
  to=${to%%/*}
  [ "$from" = "$to" ] && continue
  for folder in "$from" "$to"; do
    if [ "$(rank "$folder")" -lt 0 ]; then
      echo "$file:$line: main/$folder is in no layer; add it to the list in $0" >&2
      offences=$((offences + 1))
      continue 2
    fi
  done
  if [ "$(rank "$from")" -lt "$(rank "$to")" ]; then
    echo "$file:$line: $from includes $included, but $to lies above $from" >&2
    offences=$((offences + 1))
  fi
done < <(find main -type f \( -name '*.h' -o -name '*.cc' \) -print0 | sort -z |
  xargs -0 grep -Hn -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"main/' || true)

if [ "$offences" -gt 0 ]; then
  echo "layering: $offences include(s) against the order ${layers[*]}" >&2
  exit 1
fi
echo "layering: main/ includes only downwards (${layers[*]})"
