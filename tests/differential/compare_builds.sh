#!/usr/bin/env bash
# Differential run of two rawlift builds over the same files: what `identify
# --json` says (every key but `images`), and the bytes `preview` writes in both
# metadata modes. Prints one line per difference and a count; exits 1 when
# any difference is not one of the accepted kinds below.
#
#   tests/differential/compare_builds.sh BEFORE_RAWLIFT AFTER_RAWLIFT FOLDER...
#
# Accepted differences (each counted apart):
#   cut-short   a refused file's reason became "file cut short: ..."
#   cr3-decoder raw_decoder of a CR3 became canon_cr3
#   own-exif    a preview with its own Exif after its first segment no longer
#               gets a second one in front (the bytes differ by that segment)
# MUTATIONS=N adds N mutated copies of every file (bytes flipped at seeded
# places), so that damaged files are compared too.
set -uo pipefail
before=$1 after=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

files=()
while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$@" -type f -size -64M -print0 | sort -z)
if [[ -n "${MUTATIONS:-}" ]]; then
  mkdir -p "$work/mutated"
  python3 - "$work/mutated" "${MUTATIONS}" "${files[@]}" <<'PY'
import os, random, sys
out, count, paths = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
for n, path in enumerate(paths):
    data = open(path, 'rb').read()
    if not data:
        continue
    for k in range(count):
        rng = random.Random(n * 1000 + k)
        b = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            at = rng.randrange(min(len(b), 65536))
            b[at] = rng.randrange(256)
        ext = os.path.splitext(path)[1]
        open(os.path.join(out, '%d_%d%s' % (n, k, ext)), 'wb').write(bytes(b))
PY
  while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$work/mutated" -type f -print0 | sort -z)
fi

compared=0 cut_short=0 cr3_decoder=0 own_exif=0 other=0
strip_images() { python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line); j.pop("images", None); j.pop("path", None); print(json.dumps(j, sort_keys=True))'; }
for f in "${files[@]}"; do
  compared=$((compared + 1))
  b=$("$before" identify --json "$f" 2>/dev/null | strip_images)
  a=$("$after" identify --json "$f" 2>/dev/null | strip_images)
  if [[ "$a" != "$b" ]]; then
    kind=$(python3 - "$b" "$a" <<'PY'
import json, sys
b, a = json.loads(sys.argv[1]), json.loads(sys.argv[2])
keys = {k for k in set(a) | set(b) if a.get(k) != b.get(k)}
kinds = []
if "reason" in keys and (a["reason"] or "").startswith("file cut short:") and not b["extractable"]:
    kinds.append("cut-short"); keys.discard("reason")
if "raw_decoder" in keys and a["raw_decoder"] == "canon_cr3":
    kinds.append("cr3-decoder"); keys.discard("raw_decoder")
print(" ".join(kinds) if not keys else "other " + ",".join(sorted(keys)))
PY
)
    case $kind in
      other*) other=$((other + 1)); echo "identify differs ($kind): $f" ;;
      *)
        [[ $kind == *cut-short* ]] && cut_short=$((cut_short + 1))
        [[ $kind == *cr3-decoder* ]] && cr3_decoder=$((cr3_decoder + 1))
        ;;
    esac
  fi
  for mode in compact complete; do
    "$before" preview --metadata "$mode" -f -o "$work/b.jpg" "$f" >/dev/null 2>&1; bs=$?
    "$after" preview --metadata "$mode" -f -o "$work/a.jpg" "$f" >/dev/null 2>&1; as=$?
    [[ $bs -ne 0 ]] && rm -f "$work/b.jpg"
    [[ $as -ne 0 ]] && rm -f "$work/a.jpg"
    if [[ $bs -ne $as ]]; then
      other=$((other + 1)); echo "preview status differs ($mode: $bs -> $as): $f"
    elif [[ $bs -eq 0 ]] && ! cmp -s "$work/b.jpg" "$work/a.jpg"; then
      # A preview that kept its own Exif: the new bytes are the old ones less
      # the synthesized segment in front.
      if python3 - "$work/b.jpg" "$work/a.jpg" <<'PY'
import sys
b, a = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()
seg = (b[4] << 8 | b[5]) + 2 if b[2:4] == b'\xff\xe1' else -1
sys.exit(0 if seg > 0 and b[:2] + b[2 + seg:] == a and b'Exif\0\0' in a[:65536] else 1)
PY
      then
        own_exif=$((own_exif + 1))
      else
        other=$((other + 1)); echo "preview bytes differ ($mode): $f"
      fi
    fi
  done
done
echo "compared $compared files (identify, preview compact and complete): cut-short $cut_short," \
  "cr3-decoder $cr3_decoder, own-exif $own_exif, other $other"
[[ $other -eq 0 ]]
