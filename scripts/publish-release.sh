#!/usr/bin/env bash
# Publishes a Quillon release into a static release tree that nginx (or any
# web server) serves as it is:
#   WWW_ROOT/SVN/Quillon/<v>/Quillon-<v>-<platform>[-<language>].msi   the package
#   WWW_ROOT/api/web/corvid/quillon/upgrade                            the version text
#
# Usage: publish-release.sh PACKAGE VERSION WWW_ROOT [options]
#   --info TEXT        second line of the version text (default "Quillon <v>")
#   --link URL         third line (default "/SVN/Quillon/<v>/")
#   --mandatory        fourth line "true": offered at every hourly check,
#                      also to users who ignored it, with no choice to ignore
#   --force            announce a version that is not newer than the one
#                      announced now (to withdraw a bad release)
#   --platform P       x64 (default), x86 or arm64
#   --language SUFFIX  a language package, for example zh_CN
#   --no-announce      place the package only; the version text stays
#   --dry-run          run every check, say what would be written, change nothing
#
# Every check runs before anything is written, and a refusal changes nothing:
# the version must be one the daemon accepts, the package at least 1 MiB with
# an intact Authenticode signature, and the version newer than the announced
# one. Then the package is written under a temporary name and renamed into
# place, and only after that the version text is replaced the same way, so a
# daemon never reads half a text or a version whose package is missing.
# Earlier releases stay: daemons still on their one-day cache, or resuming an
# interrupted upgrade, may still download them.
set -uo pipefail
export LC_ALL=C

usage() { sed -n '7,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
refuse() { echo "publish-release: refused: $*" >&2; echo "publish-release: nothing was changed" >&2; exit 1; }

args=() info="" link="" mandatory=false force=0 platform=x64 language="" announce=1 dry_run=0
while [ $# -gt 0 ]; do
    case "$1" in
        --info) info="${2?}"; shift 2 ;;
        --link) link="${2?}"; shift 2 ;;
        --mandatory) mandatory=true; shift ;;
        --force) force=1; shift ;;
        --platform) platform="${2?}"; shift 2 ;;
        --language) language="${2?}"; shift 2 ;;
        --no-announce) announce=0; shift ;;
        --dry-run) dry_run=1; shift ;;
        -h | --help) usage ;;
        --*) echo "publish-release: unknown option $1" >&2; usage ;;
        *) args+=("$1"); shift ;;
    esac
done
[ ${#args[@]} -eq 3 ] || usage
package="${args[0]}" version="${args[1]}" root="${args[2]}"

# The daemon's own reading of a version number: "major.minor.KMpatch.build",
# every component all ASCII digits, major and minor at least 1. Numbers are
# held at the 32-bit limit like the daemon holds them.
digits_value() {
    local d="$1"
    while [[ "$d" == 0?* ]]; do d="${d#0}"; done
    if [ ${#d} -gt 10 ] || [ $((10#$d)) -gt 2147483648 ]; then echo 2147483648; else echo $((10#$d)); fi
}
clamp() { local v=$1; ((v > 2147483647)) && v=2147483647; echo $v; }
# Prints the four numbers of a version the daemon accepts; fails otherwise.
parse_version() {
    [[ "$1" =~ ^([0-9]+)\.([0-9]+)\.KM([0-9]+)\.([0-9]+)$ ]] || return 1
    local major minor
    major=$(clamp $(digits_value "${BASH_REMATCH[1]}"))
    minor=$(clamp $(digits_value "${BASH_REMATCH[2]}"))
    ((major >= 1 && minor >= 1)) || return 1
    echo "$major $minor $(clamp $(($(digits_value "${BASH_REMATCH[3]}") + 40000))) $(clamp $(digits_value "${BASH_REMATCH[4]}"))"
}
# Succeeds when version $1 (four numbers) is newer than $2, as the daemon compares.
newer() {
    local a=($1) b=($2) i
    for i in 0 1 2 3; do
        ((a[i] != b[i])) && { ((a[i] > b[i])); return; }
    done
    return 1
}

# Checks, in order; nothing has been touched before the last of them passed.
numbers=$(parse_version "$version") ||
    refuse "version '$version' is not a version the daemon accepts (major.minor.KMpatch.build, for example 1.16.KM16.2400)"
case "$platform" in
    x64) word=x64 ;;
    x86) word=win32 ;;      # the words the daemon puts into the file name
    arm64) word=ARM64 ;;
    *) refuse "platform '$platform' is none of x64, x86, arm64" ;;
esac
language="${language#-}"
[[ -z "$language" || "$language" =~ ^[A-Za-z]+(_[A-Za-z]+)?$ ]] || refuse "language suffix '$language' is not like zh_CN"
[ -n "$info" ] || info="Quillon $version"
[ -n "$link" ] || link="/SVN/Quillon/$version/"
for line in "$info" "$link"; do
    [[ "$line" == *[$'\n\r']* ]] && refuse "--info and --link must be one line each (the version text is read line by line)"
    [[ "$line" == *[!\ -~]* ]] &&
        echo "publish-release: warning: '$line' is not plain ASCII; daemons read it in the system's ANSI code page" >&2
done
[ -d "$root" ] || refuse "release tree '$root' is not a directory (create it first)"
[ -f "$package" ] || refuse "package '$package' does not exist"
size=$(stat -c %s "$package")
((size >= 1048576)) || refuse "package is $size bytes, below the 1 MiB (1048576 bytes) a daemon accepts"
command -v osslsigncode >/dev/null || refuse "osslsigncode is not installed (scripts/install-deps.sh)"
verify=$(osslsigncode verify -in "$package" 2>&1)
grep -q '^Signature Index:' <<<"$verify" || refuse "package has no Authenticode signature (daemons refuse it)"
grep -q MISMATCH <<<"$verify" && refuse "the package's signature does not match its contents (changed after signing)"
signer=$(sed -n 's/^[[:space:]]*Subject: //p' <<<"$verify" | head -n1)

file="Quillon-$version-$word${language:+-$language}.msi"
dir="$root/SVN/Quillon/$version"
target="$dir/$file"
text_dir="$root/api/web/corvid/quillon"
text="$text_dir/upgrade"

# One publisher at a time per tree, so that the version compared below is
# still the announced one when the new text replaces it.
exec 9<"$root" && flock -w 60 9 || refuse "another publish into '$root' is still running"

if [ -e "$target" ] && ! cmp -s "$package" "$target"; then
    refuse "$target exists with other contents; packages are cached as immutable, so publish the new package under a new version"
fi
if [ $announce -eq 1 ]; then
    current=$(grep -m1 . "$text" 2>/dev/null)
    if [ -n "$current" ] && current_numbers=$(parse_version "$current"); then
        if ! newer "$numbers" "$current_numbers"; then
            [ $force -eq 1 ] || refuse "$version is not newer than the announced $current (--force announces it anyway)"
            echo "publish-release: --force: announcing $version in place of the newer or equal $current"
        fi
    elif [ -n "$current" ]; then
        echo "publish-release: warning: the announced text starts with '$current', which no daemon accepts; replacing it" >&2
    fi
fi

say_plan() {
    echo "publish-release: version $version (numerically ${numbers// /.}), package of $size bytes signed by ${signer:-an unnamed signer}"
    echo "publish-release: package: $target"
    [ $announce -eq 1 ] && echo "publish-release: version text: $text"
}
if [ $dry_run -eq 1 ]; then
    say_plan
    echo "publish-release: dry run: nothing was changed"
    exit 0
fi

tmp_files=() new_dirs=()
cleanup_failed() {
    rm -f "${tmp_files[@]}"
    local i
    for ((i = ${#new_dirs[@]} - 1; i >= 0; i--)); do rmdir "${new_dirs[i]}" 2>/dev/null; done
}
fail() { cleanup_failed; echo "publish-release: failed: $*" >&2; exit 1; }
make_dir() {
    local d="$1" missing=()
    while [ ! -d "$d" ]; do missing=("$d" "${missing[@]}"); d="$(dirname "$d")"; done
    for d in "${missing[@]}"; do mkdir "$d" || fail "cannot create $d"; new_dirs+=("$d"); done
}
# Writes stdin to a temporary file beside $1, flushed to disk and readable by
# the web server, then renames it over $1 in one step.
put_file() {
    local final="$1" tmp
    tmp="$(dirname "$final")/.$(basename "$final").$$.tmp"
    tmp_files+=("$tmp")
    cat >"$tmp" && chmod 0644 "$tmp" && sync "$tmp" || fail "cannot write $tmp"
    mv -f "$tmp" "$final" || fail "cannot rename $tmp to $final"
    sync "$(dirname "$final")"
}

say_plan
make_dir "$dir"
if [ -e "$target" ]; then
    echo "publish-release: the package is in place already"
else
    put_file "$target" <"$package"
    cmp -s "$package" "$target" || fail "$target differs from $package after copying"
fi
if [ $announce -eq 1 ]; then
    make_dir "$text_dir"
    printf '%s\n%s\n%s\n%s\n' "$version" "$info" "$link" "$mandatory" | put_file "$text"
    echo "publish-release: announced $version"
else
    echo "publish-release: not announced (--no-announce)"
fi
