#!/usr/bin/env bash
# Builds a release of Quillon for the tests: a generated release tree and a
# real Windows Installer package of it (wixl), signed with osslsigncode and a
# test code-signing certificate made on first use. Nothing here is committed
# in binary form; keys stay in the certificate folder the caller names.
#
# Usage: make-package.sh [options]
#   --version V            release version, "1.16.KM16.2400" or numeric
#                          "1.16.40016.2400" (required)
#   --out FILE             write the package (omit to only emit trees)
#   --emit-tree DIR        write the release tree (the product directory:
#                          bin\, Languages\, ..., version.txt) to DIR
#   --emit-admin-image DIR write what an administrative installation of the
#                          package unpacks: DIR/Program Files/Quillon/<tree>
#                          (feed it to the stand-in msiexec as admin_tree)
#   --tree DIR             package this existing tree instead of generating one
#   --add REL=SIZE         add or resize a generated file (bytes; repeatable)
#   --omit REL             leave a file of the default set out (repeatable)
#   --seed TEXT            content seed (default: the version), so that two
#                          releases differ in every file
#   --unsigned             do not sign
#   --small                undersized package: every file tiny, package < 1 MiB
#   --cert-dir DIR         code-signing certificate folder (default: the
#                          package's folder); codesign.pem/codesign.key are
#                          created there when missing
#   --sign-daemon          sign the tree's bin/QLNUpgrade.exe (a real program)
#                          with the same certificate before packaging it, as
#                          the vendor signs both
#   --upgrade-code GUID    another product's UpgradeCode
#
# Default release tree (REL paths use "/"; sizes in bytes), chosen so that
# every file category of the replace strategy has a member and the payload
# exceeds 1 MiB:
#   bin/QuillProc.exe 1200000, bin/QLNCache.exe, bin/QLNUpgrade.exe,
#   bin/QLNShell64.dll, bin/svn.exe, bin/svnversion.exe, bin/libapr-1.dll,
#   bin/libaprutil-1.dll, bin/intl3_svn.dll, bin/libsasl.dll,
#   Languages/QLNLang_zh_CN.dll, Languages/QLNLang_de.dll,
#   Common/QLNCommon.dll, System/msvcp140.dll, System64/msvcp140.dll,
#   Diff-Scripts/diff-doc.js, doc/readme.txt, version.txt (the version text)
#
# Fixed: product name "Quillon", UpgradeCode {4F2A7C10-9B3E-4D21-8C55-1E6B0A9D3F72}
# unless --upgrade-code, x64, per-machine, installed to
# [ProgramFiles64Folder]Quillon (INSTALLDIR=... on msiexec's command line
# puts it elsewhere). A new product
# code each build; a newer version replaces an older one (major upgrade).
#
# Examples:
#   make-package.sh --version 1.16.KM16.2400 --out /tmp/p/Quillon-1.16.KM16.2400-x64.msi
#   make-package.sh --version 1.16.KM16.2401 --add bin/new.dll=4096 --omit doc/readme.txt \
#       --emit-tree /tmp/n1/tree --emit-admin-image /tmp/n1/admin --out /tmp/n1/q.msi
set -euo pipefail

version="" out="" emit_tree="" emit_admin="" tree="" seed="" unsigned=0 small=0 cert_dir="" sign_daemon=0
upgrade_code="{4F2A7C10-9B3E-4D21-8C55-1E6B0A9D3F72}"
adds=() omits=()
while [ $# -gt 0 ]; do
    case "$1" in
        --version) version="$2"; shift 2 ;;
        --out) out="$2"; shift 2 ;;
        --emit-tree) emit_tree="$2"; shift 2 ;;
        --emit-admin-image) emit_admin="$2"; shift 2 ;;
        --tree) tree="$2"; shift 2 ;;
        --add) adds+=("$2"); shift 2 ;;
        --omit) omits+=("$2"); shift 2 ;;
        --seed) seed="$2"; shift 2 ;;
        --unsigned) unsigned=1; shift ;;
        --small) small=1; shift ;;
        --cert-dir) cert_dir="$2"; shift 2 ;;
        --sign-daemon) sign_daemon=1; shift ;;
        --upgrade-code) upgrade_code="$2"; shift 2 ;;
        *) echo "make-package.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ -n "$version" ] || { echo "make-package.sh: --version is required" >&2; exit 2; }
[ -n "$out$emit_tree$emit_admin" ] || { echo "make-package.sh: nothing to do (--out, --emit-tree or --emit-admin-image)" >&2; exit 2; }

# "1.16.KM16.2400" -> "1.16.40016.2400" (the numeric form MSI needs).
numeric="$version"
if [[ "$version" =~ ^([0-9]+)\.([0-9]+)\.KM([0-9]+)\.([0-9]+)$ ]]; then
    numeric="${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 40000)).${BASH_REMATCH[4]}"
fi
[[ "$numeric" =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]] || { echo "make-package.sh: bad version $version" >&2; exit 2; }
[ -n "$seed" ] || seed="$version"

work="$(mktemp -d "${TMPDIR:-/tmp}/qln-pkg.XXXXXX")"
trap 'rm -rf "$work"' EXIT

if [ -z "$tree" ]; then
    tree="$work/tree"
    python3 - "$tree" "$version" "$seed" "$small" "${#adds[@]}" "${adds[@]}" "${omits[@]}" <<'PY'
import hashlib, os, sys
root, version, seed, small, nadd = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1", int(sys.argv[5])
adds = sys.argv[6:6 + nadd]
omits = set(sys.argv[6 + nadd:])
files = {
    "bin/QuillProc.exe": 1200000, "bin/QLNCache.exe": 40000, "bin/QLNUpgrade.exe": 50000,
    "bin/QLNShell64.dll": 60000, "bin/svn.exe": 20000, "bin/svnversion.exe": 12000,
    "bin/libapr-1.dll": 16000, "bin/libaprutil-1.dll": 16000, "bin/intl3_svn.dll": 8000,
    "bin/libsasl.dll": 8000, "Languages/QLNLang_zh_CN.dll": 30000, "Languages/QLNLang_de.dll": 30000,
    "Common/QLNCommon.dll": 24000, "System/msvcp140.dll": 20000, "System64/msvcp140.dll": 22000,
    "Diff-Scripts/diff-doc.js": 3000, "doc/readme.txt": 500,
}
for entry in adds:
    rel, _, size = entry.partition("=")
    files[rel] = int(size or "1024")
for rel in omits:
    files.pop(rel, None)
for rel, size in files.items():
    if small:
        size = min(size, 2000)
    path = os.path.join(root, *rel.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # Deterministic bytes per seed and path: releases differ in every file.
    out, block = bytearray(), hashlib.sha256((seed + "|" + rel).encode()).digest()
    header = ("QLN-TEST-FILE %s %s\n" % (rel, version)).encode()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    data = (header + bytes(out))[:size]
    with open(path, "wb") as f:
        f.write(data)
with open(os.path.join(root, "version.txt"), "w", newline="\r\n") as f:
    f.write(version + "\n")
PY
else
    [ -d "$tree" ] || { echo "make-package.sh: no tree at $tree" >&2; exit 2; }
fi

if [ -n "$emit_tree" ]; then
    mkdir -p "$emit_tree"
    cp -a "$tree/." "$emit_tree/"
fi
if [ -n "$emit_admin" ]; then
    mkdir -p "$emit_admin/Program Files/Quillon"
    cp -a "$tree/." "$emit_admin/Program Files/Quillon/"
fi
[ -n "$out" ] || exit 0

python3 - "$tree" "$numeric" "$upgrade_code" > "$work/product.wxs" <<'PY'
import hashlib, os, sys
from xml.sax.saxutils import quoteattr
root, version, upgrade_code = sys.argv[1], sys.argv[2], sys.argv[3]
counter = [0]
def ident(prefix):
    counter[0] += 1
    return "%s%d" % (prefix, counter[0])
def guid(rel):
    h = hashlib.md5(("qln-component|" + rel.lower()).encode()).hexdigest().upper()
    return "{%s-%s-%s-%s-%s}" % (h[:8], h[8:12], h[12:16], h[16:20], h[20:32])
components = []
def walk(directory, rel, indent):
    lines = []
    for name in sorted(os.listdir(directory)):
        full = os.path.join(directory, name)
        sub = rel + "/" + name if rel else name
        if os.path.isdir(full):
            lines.append('%s<Directory Id="%s" Name=%s>' % (indent, ident("D"), quoteattr(name)))
            lines += walk(full, sub, indent + "  ")
            lines.append("%s</Directory>" % indent)
        else:
            cid = ident("C")
            components.append(cid)
            lines.append('%s<Component Id="%s" Guid="%s" Win64="yes">' % (indent, cid, guid(sub)))
            lines.append('%s  <File Id="%s" Name=%s Source=%s KeyPath="yes"/>' % (indent, ident("F"), quoteattr(name), quoteattr(sub.replace("/", os.sep))))
            lines.append("%s</Component>" % indent)
    return lines
body = walk(root, "", "          ")
print('''<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Quillon" Language="1033" Version="%s" Manufacturer="Quillon Test"
           UpgradeCode="%s">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version is already installed."/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Quillon">
%s
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1">
%s
    </Feature>
  </Product>
</Wix>''' % (version, upgrade_code, "\n".join(body), "\n".join('      <ComponentRef Id="%s"/>' % c for c in components)))
PY

mkdir -p "$(dirname "$out")"
if [ $unsigned -eq 0 ]; then
    [ -n "$cert_dir" ] || cert_dir="$(dirname "$out")"
    mkdir -p "$cert_dir"
    if [ ! -f "$cert_dir/codesign.pem" ] || [ ! -f "$cert_dir/codesign.key" ]; then
        cat >"$work/codesign.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = ext
[dn]
CN = QLN Test Code Signing
O = QLN Test
[ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
CNF
        openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3 -config "$work/codesign.cnf" \
            -keyout "$cert_dir/codesign.key" -out "$cert_dir/codesign.pem" >"$work/openssl.log" 2>&1 ||
            { cat "$work/openssl.log" >&2; echo "make-package.sh: certificate creation failed" >&2; exit 1; }
        chmod 600 "$cert_dir/codesign.key"
    fi
fi
if [ $sign_daemon -eq 1 ] && [ $unsigned -eq 0 ]; then
    # Signed at a fixed time (the certificate's start), so that the same
    # program signed for two releases stays the same file, as a vendor's
    # unchanged file between two releases would.
    sign_time="$(date -d "$(openssl x509 -in "$cert_dir/codesign.pem" -noout -startdate | cut -d= -f2)" +%s)"
    osslsigncode sign -certs "$cert_dir/codesign.pem" -key "$cert_dir/codesign.key" -h sha256 -n "Quillon" -time "$sign_time" \
        -in "$tree/bin/QLNUpgrade.exe" -out "$work/QLNUpgrade.exe" >"$work/sign.log" 2>&1 ||
        { cat "$work/sign.log" >&2; echo "make-package.sh: signing the daemon failed" >&2; exit 1; }
    mv "$work/QLNUpgrade.exe" "$tree/bin/QLNUpgrade.exe"
fi
# wixl takes file sources relative to the current folder.
(cd "$tree" && wixl -a x64 -o "$work/unsigned.msi" "$work/product.wxs") >"$work/wixl.log" 2>&1 ||
    { cat "$work/wixl.log" >&2; echo "make-package.sh: wixl failed" >&2; exit 1; }

if [ $unsigned -eq 1 ]; then
    mv "$work/unsigned.msi" "$out"
    exit 0
fi

rm -f "$out"
osslsigncode sign -certs "$cert_dir/codesign.pem" -key "$cert_dir/codesign.key" -h sha256 \
    -n "Quillon" -in "$work/unsigned.msi" -out "$out" >"$work/sign.log" 2>&1 ||
    { cat "$work/sign.log" >&2; echo "make-package.sh: signing failed" >&2; exit 1; }
