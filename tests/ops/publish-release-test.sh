#!/usr/bin/env bash
# scripts/publish-release.sh against a real release tree: each refusal leaves
# the tree as it was, byte for byte; the version check refuses exactly what
# the daemon's parser refuses (the case table the parser's unit test reads);
# a reader polling the tree while releases are published never sees a
# version text whose package is missing or incomplete.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/qln-publish.XXXXXX")"
trap 'rm -rf "$work"' EXIT
www="$work/www" failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
publish() { bash "$root/scripts/publish-release.sh" "$work/$1" "$2" "$www" "${@:3}" 2>&1; }
snapshot() { (cd "$www" && find . -printf '%p %y %s %m\n' | sort && find . -type f -exec sha256sum {} + | sort); }
package() { bash "$root/tests/harness/make-package.sh" --version 1.16.KM16.2400 --cert-dir "$work/cert" "$@" >/dev/null || exit 1; }
package --out "$work/signed.msi"
package --out "$work/unsigned.msi" --unsigned
package --out "$work/small.msi" --small
osslsigncode sign -certs "$work/cert/codesign.pem" -key "$work/cert/codesign.key" \
    -in "$work/unsigned.msi" -out "$work/other.msi" >/dev/null || exit 1
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 2] ^= 0xFF; open(sys.argv[2], "wb").write(d)' \
    "$work/signed.msi" "$work/tampered.msi"
mkdir "$www"
publish signed.msi 1.16.KM16.2400 >/dev/null || fail "first release not published"

# package | version | options | the refusal says
while IFS='|' read -r pkg version options expect; do
    eval "opts=($options)"
    before="$(snapshot)"
    out="$(publish "$pkg" "$version" "${opts[@]}")" && fail "$pkg $version $options: not refused"
    grep -q -- "$expect" <<<"$out" || fail "$pkg $version $options: refusal does not say '$expect': $out"
    [ "$before" = "$(snapshot)" ] || fail "$pkg $version $options: the tree changed"
done <<'CASES'
signed.msi|1.16.km16.2401||is not a version the daemon accepts
small.msi|1.16.KM16.2401||below the 1 MiB
unsigned.msi|1.16.KM16.2401||has no Authenticode signature
tampered.msi|1.16.KM16.2401||does not match its contents
signed.msi|1.16.KM16.2399||not newer than the announced 1.16.KM16.2400
signed.msi|1.16.KM16.2400||not newer than the announced 1.16.KM16.2400
signed.msi|1.16.KM16.2401|--info $'two\nlines'|one line each
signed.msi|1.16.KM16.2401|--platform ia64|none of x64, x86, arm64
other.msi|1.16.KM16.2400|--force|exists with other contents
CASES

# The daemon parser's own cases, in a dry run.
before="$(snapshot)"
while IFS= read -r line; do
    [[ "$line" =~ ^(IN)?VALID\(\"(.*)\"(,\ (.*))?\)$ ]] || continue
    printf -v text '%b' "${BASH_REMATCH[2]}"
    numbers="${BASH_REMATCH[4]//, /.}"
    out="$(publish signed.msi "$text" --dry-run --force)"
    if [ -n "${BASH_REMATCH[1]}" ]; then
        grep -q "is not a version the daemon accepts" <<<"$out" || fail "'$text' not refused as the daemon refuses it: $out"
    elif [[ "$text" =~ ^[A-Za-z0-9.+_-]+$ ]]; then
        grep -q "(numerically $numbers)" <<<"$out" || fail "'$text' not accepted as $numbers: $out"
    else
        grep -q "no usable download path" <<<"$out" || fail "'$text' with blanks not refused as a path: $out"
    fi
done <"$root/tests/data/version-numbers.inc"
[ "$before" = "$(snapshot)" ] || fail "a dry run changed the tree"

# version | options | package path | announced afterwards
while IFS='|' read -r version options path announced; do
    eval "opts=($options)"
    publish signed.msi "$version" "${opts[@]}" >/dev/null || fail "$version $options: refused"
    cmp -s "$work/signed.msi" "$www/SVN/Quillon/$version/$path" || fail "$version $options: no package $path"
    [ "$(head -n1 "$www/api/web/corvid/quillon/upgrade")" = "$announced" ] || fail "$version $options: $announced not announced"
done <<'CASES'
1.16.KM16.2399|--force|Quillon-1.16.KM16.2399-x64.msi|1.16.KM16.2399
1.16.KM16.2401|--platform x86 --language zh_CN --no-announce|Quillon-1.16.KM16.2401-win32-zh_CN.msi|1.16.KM16.2399
1.16.KM16.2401|--platform arm64|Quillon-1.16.KM16.2401-ARM64.msi|1.16.KM16.2401
CASES
[ -f "$www/SVN/Quillon/1.16.KM16.2400/Quillon-1.16.KM16.2400-x64.msi" ] || fail "an earlier release was removed"

# A reader as fast as a web server against a run of publishes.
python3 - "$www" "$(stat -c %s "$work/signed.msi")" "$work/stop" >"$work/reader.log" <<'PY' &
import os, sys
root, size, stop = sys.argv[1], int(sys.argv[2]), sys.argv[3]
seen, wrong = set(), 0
while not os.path.exists(stop):
    with open(root + "/api/web/corvid/quillon/upgrade", "rb") as f:
        lines = [l for l in f.read().split(b"\n") if l]
    v = lines[0].decode() if lines else ""
    path = "%s/SVN/Quillon/%s/Quillon-%s-ARM64.msi" % (root, v, v)
    if len(lines) != 4 or not os.path.exists(path) or os.stat(path).st_size != size:
        wrong += 1
        print("wrong:", lines)
    seen.add(v)
print("versions seen:", len(seen), "wrong reads:", wrong)
PY
reader=$!
for build in $(seq 2410 2429); do
    publish signed.msi "1.16.KM16.$build" --platform arm64 >/dev/null || fail "1.16.KM16.$build not published"
done
touch "$work/stop"
wait $reader
grep -Eq "versions seen: ([2-9]|[1-9][0-9]+) wrong reads: 0$" "$work/reader.log" || fail "reader: $(tail -n3 "$work/reader.log")"

[ $failures -eq 0 ] && echo "publish-release: all checks passed; reader: $(tail -n1 "$work/reader.log")"
exit $((failures != 0))
