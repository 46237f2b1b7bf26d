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
www="$work/www" text="$work/www/api/web/corvid/quillon/upgrade" failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
publish() { bash "$root/scripts/publish-release.sh" "$work/$1" "$2" "$www" "${@:3}" 2>&1; }
snapshot() { (cd "$www" && find . -printf '%p %y %s %m\n' | sort && find . -type f -exec sha256sum {} + | sort); }
package() { bash "$root/tests/harness/make-package.sh" --version 1.16.KM16.2400 --cert-dir "$work/cert" "$@" >/dev/null || exit 1; }
# The release carries the daemon (the built one, given as $1), signed with
# the package's certificate as a vendor signs both.
daemon=(--out "$work/signed.msi")
if [ -f "${1:-}" ]; then
    package --emit-tree "$work/tree" && cp "$1" "$work/tree/bin/QLNUpgrade.exe"
    daemon=(--tree "$work/tree" --sign-daemon --out "$work/signed.msi")
fi
package "${daemon[@]}" && package --out "$work/unsigned.msi" --unsigned && package --out "$work/small.msi" --small
osslsigncode sign -certs "$work/cert/codesign.pem" -key "$work/cert/codesign.key" \
    -in "$work/unsigned.msi" -out "$work/other.msi" >/dev/null || exit 1
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 2] ^= 0xFF; open(sys.argv[2], "wb").write(d)' \
    "$work/signed.msi" "$work/tampered.msi"
mkdir "$www"
publish signed.msi 1.16.KM16.2400 >/dev/null || fail "first release not published"

# package | version | options | refused saying ..., or the package's file name and the version announced afterwards
while IFS='|' read -r pkg version options expect; do
    eval "opts=($options)" && before="$(snapshot)" && what="$pkg $version $options"
    out="$(publish "$pkg" "$version" "${opts[@]}")"
    if [[ "$expect" != Quillon-* ]]; then
        grep -q -- "refused: .*$expect" <<<"$out" || fail "$what: not refused saying '$expect': $out"
        [ "$before" = "$(snapshot)" ] || fail "$what: the tree changed"
    else
        cmp -s "$work/$pkg" "$www/SVN/Quillon/$version/${expect% *}" || fail "$what: no package ${expect% *}: $out"
        [ "$(head -n1 "$text")" = "${expect#* }" ] || fail "$what: ${expect#* } not announced: $out"
    fi
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
signed.msi|1.16.KM16.2399|--force|Quillon-1.16.KM16.2399-x64.msi 1.16.KM16.2399
signed.msi|1.16.KM16.2401|--platform x86 --language zh_CN --no-announce|Quillon-1.16.KM16.2401-win32-zh_CN.msi 1.16.KM16.2399
signed.msi|1.16.KM16.2401|--platform arm64|Quillon-1.16.KM16.2401-ARM64.msi 1.16.KM16.2401
signed.msi|1.16.KM16.2400|--force --platform x64|Quillon-1.16.KM16.2400-x64.msi 1.16.KM16.2400
CASES

# The daemon parser's own cases, in dry runs that change nothing.
before="$(snapshot)"
while IFS= read -r line; do
    [[ "$line" =~ ^(IN)?VALID\(\"(.*)\"(,\ (.*))?\)$ ]] || continue
    printf -v version '%b' "${BASH_REMATCH[2]}"
    expect="(numerically ${BASH_REMATCH[4]//, /.})"
    [[ -n "${BASH_REMATCH[1]}" ]] && expect="is not a version the daemon accepts"
    out="$(publish signed.msi "$version" --dry-run --force)"
    grep -qF -- "$expect" <<<"$out" || fail "'$version': no '$expect': $out"
done <"$root/tests/data/version-numbers.inc"
[ "$before" = "$(snapshot)" ] || fail "a dry run changed the tree"

# A reader as fast as a web server against a run of publishes.
python3 - "$www" "$(stat -c %s "$work/signed.msi")" "$work/stop" >"$work/reader.log" <<'PY' &
import os, sys
root, size, stop = sys.argv[1], int(sys.argv[2]), sys.argv[3]
seen, wrong = set(), 0
while not os.path.exists(stop):
    lines = [l.decode() for l in open(root + "/api/web/corvid/quillon/upgrade", "rb").read().split(b"\n") if l]
    package = "%s/SVN/Quillon/%s/Quillon-%s-x64.msi" % (root, lines[0], lines[0]) if lines else root
    if len(lines) != 4 or not os.path.isfile(package) or os.stat(package).st_size != size:
        wrong += 1
        print("wrong:", lines)
    seen.add(lines[0] if lines else "")
print("versions seen:", len(seen), "wrong reads:", wrong)
PY
for build in $(seq 2410 2429); do publish signed.msi "1.16.KM16.$build" >/dev/null || fail "1.16.KM16.$build not published"; done
touch "$work/stop" && wait $!
grep -Eq "versions seen: ([2-9]|[1-9][0-9]+) wrong reads: 0$" "$work/reader.log" || fail "reader: $(tail -n3 "$work/reader.log")"
[ -f "$www/SVN/Quillon/1.16.KM16.2399/Quillon-1.16.KM16.2399-x64.msi" ] || fail "an earlier release was removed"

[ $failures -eq 0 ] && echo "publish-release: all checks passed; reader: $(tail -n1 "$work/reader.log")"
exit $((failures != 0))
