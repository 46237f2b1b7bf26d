# Sourced by scripts/test.sh once the Wine prefix and its persistent
# wineserver exist. Starts the scripted HTTP(S) test server for one run.
#
#   qln_servers_start   creates the run's certificates (test CA, "localhost"
#                       server certificate, untrusted self-signed one), trusts
#                       the CA in the prefix's LOCAL_MACHINE Root store, starts
#                       tests/server/test_server.py on free ports of 127.0.0.1,
#                       waits until it answers and exports for the tests:
#                         QLN_TEST_HTTPS_PORT   TLS, certificate of the test CA
#                         QLN_TEST_HTTP_PORT    plain HTTP
#                         QLN_TEST_BADCA_PORT   TLS, certificate of no trusted CA
#                         QLN_TEST_CLOSED_PORT  refuses connections
#                         QLN_TEST_CERT_DIR     certificate folder (Windows path)
#                       and two tinyproxy forward proxies with their logs (Windows paths):
#                         QLN_TEST_PROXY_PORT, QLN_TEST_PROXY_LOG     open
#                         QLN_TEST_PROXY_AUTH_PORT, QLN_TEST_PROXY_AUTH_LOG  answers 407
#                       and builds the run's installer packages (make-package.sh,
#                       version 1.16.KM16.2400 unless said, signed with the
#                       run's "QLN Test Code Signing" certificate, Windows paths):
#                         QLN_TEST_MSI_SIGNED    signed, over 1 MiB
#                         QLN_TEST_MSI_UNSIGNED  the same tree, not signed
#                         QLN_TEST_MSI_SMALL     signed, below 1 MiB
#                         QLN_TEST_MSI_OTHER_SIGNER  the same tree, signed with
#                                                "QLN Other Code Signing" of the
#                                                same CA (QLN_TEST_CERT_DIR has
#                                                both certificates as .der)
#                         QLN_TEST_MSI_OTHER_PRODUCT  another UpgradeCode
#                         QLN_TEST_MSI_OLDER     1.16.KM16.2300
#                         QLN_TEST_MSI_REGISTRATION  1.16.KM16.2381 with
#                                                bin\QLNUpgrade.exe only: installed
#                                                into a test's folder
#                                                (INSTALLDIR=...), it makes
#                                                that the registered installation
#                         QLN_TEST_DAEMON_SIGNED  QLNUpgrade.exe signed with the
#                                                packages' certificate
#                         QLN_TEST_MSI_ADMIN_IMAGE  what "msiexec /a" of the signed
#                                                package unpacks (for the stand-in
#                                                msiexec's admin_tree)
#                         QLN_TEST_PACKAGE_DIR   served root: a file placed at
#                                                <dir>\SVN\<path> is answered at
#                                                https://localhost:<port>/SVN/<path>
#   qln_servers_stop    stops the server started here.
#
# Uses QLN_BIN_DIR, WINEPREFIX, QLN_WINE and QLN_RUN_DIR. A failure is
# reported loudly but does not end the run: the tests that need the server
# then fail because the variables are missing.

_qln_servers_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
QLN_SERVER_PID=""
QLN_PROXY_PIDS=()

_qln_servers_fail() {
    echo "qln_servers_start: $*; tests that need the HTTP test server will fail" >&2
    return 0
}

# Unix path to the Z: drive path under which Wine shows it.
_qln_winpath() {
    local p="$1"
    echo "Z:${p//\//\\}"
}

qln_servers_start() {
    local certs="$QLN_RUN_DIR/certs"
    local ports_file="$QLN_RUN_DIR/test_server.ports"
    local python
    python="$(command -v python3 || true)"
    [ -x /usr/bin/python3 ] && python=/usr/bin/python3
    [ -n "$python" ] || { _qln_servers_fail "python3 not found"; return 0; }

    bash "$_qln_servers_root/tests/harness/make-certs.sh" "$certs" ||
        { _qln_servers_fail "certificate creation failed"; return 0; }

    local tool="$QLN_BIN_DIR/qln_add_root_cert.exe"
    [ -f "$tool" ] || { _qln_servers_fail "$tool is missing"; return 0; }
    "$QLN_WINE" "$tool" "$(_qln_winpath "$certs/ca.der")" >"$QLN_RUN_DIR/add_root_cert.log" 2>&1 ||
        { cat "$QLN_RUN_DIR/add_root_cert.log" >&2; _qln_servers_fail "adding the test CA to the Root store failed"; return 0; }

    qln_packages_build "$QLN_RUN_DIR/packages" "$certs"

    rm -f "$ports_file"
    # The server ends by itself when this shell is gone or after two hours.
    "$python" "$_qln_servers_root/tests/server/test_server.py" \
        --cert-dir "$certs" --ports-file "$ports_file" --package-dir "$QLN_RUN_DIR/packages/served" \
        --parent-pid "$$" --max-lifetime 7200 \
        --log "$QLN_RUN_DIR/test_server.log" </dev/null >/dev/null 2>"$QLN_RUN_DIR/test_server.err" &
    QLN_SERVER_PID=$!

    local i
    for i in $(seq 1 100); do
        [ -s "$ports_file" ] && break
        kill -0 "$QLN_SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$ports_file" ]; then
        cat "$QLN_RUN_DIR/test_server.err" >&2 2>/dev/null
        _qln_servers_fail "the server did not start"
        return 0
    fi

    local https="" http="" badca="" closed="" name value
    while IFS='=' read -r name value; do
        case "$name" in
            https) https="$value" ;;
            http) http="$value" ;;
            badca) badca="$value" ;;
            closed) closed="$value" ;;
        esac
    done <"$ports_file"

    # Answers over plain HTTP and over TLS with the run's CA.
    if ! "$python" - "$http" "$https" "$certs/ca.pem" <<'PY'
import ssl, sys, urllib.request
http, https, ca = sys.argv[1], sys.argv[2], sys.argv[3]
for url, ctx in (("http://127.0.0.1:%s/_ping" % http, None),
                 ("https://localhost:%s/_ping" % https, ssl.create_default_context(cafile=ca))):
    with urllib.request.urlopen(url, timeout=10, context=ctx) as r:
        assert r.read() == b"pong", url
PY
    then
        _qln_servers_fail "the server does not answer"
        return 0
    fi

    export QLN_TEST_HTTPS_PORT="$https"
    export QLN_TEST_HTTP_PORT="$http"
    export QLN_TEST_BADCA_PORT="$badca"
    export QLN_TEST_CLOSED_PORT="$closed"
    export QLN_TEST_CERT_DIR="$(_qln_winpath "$certs")"
    echo "Test server: https=$https http=$http badca=$badca closed=$closed"
    _qln_proxy_start QLN_TEST_PROXY && _qln_proxy_start QLN_TEST_PROXY_AUTH "BasicAuth qln-user qln-secret"
}

# Starts a tinyproxy (extra configuration line $2); exports $1_PORT, $1_LOG.
_qln_proxy_start() {
    local dir="$QLN_RUN_DIR/${1,,}" port i
    command -v tinyproxy >/dev/null || { _qln_servers_fail "tinyproxy is not installed"; return 1; }
    port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
    mkdir -p "$dir"
    printf 'Port %s\nListen 127.0.0.1\nMaxClients 50\nAllow 127.0.0.1\nLogLevel Connect\nLogFile "%s"\n%s\n' \
        "$port" "$dir/access.log" "${2:-}" >"$dir/tinyproxy.conf"
    tinyproxy -d -c "$dir/tinyproxy.conf" </dev/null >"$dir/stdout.log" 2>&1 &
    QLN_PROXY_PIDS+=($!)
    for i in $(seq 1 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break || sleep 0.1; done
    export "$1_PORT=$port" "$1_LOG=$(_qln_winpath "$dir/access.log")"
}

# Builds the packages of one run below $1 with the certificates of $2 (a
# failure is reported; the tests that need a package then fail because the
# variables are missing).
qln_packages_build() {
    local dir="$1" certs="$2" make="$_qln_servers_root/tests/harness/make-package.sh" v=1.16.KM16.2400
    mkdir -p "$dir/served/SVN" "$dir/registration/bin" "$dir/daemon" "$dir/other-signer"
    cp "$QLN_BIN_DIR/QLNUpgrade.exe" "$dir/registration/bin/QLNUpgrade.exe"
    if bash "$make" --version "$v" --cert-dir "$certs" --emit-admin-image "$dir/admin" \
            --out "$dir/signed/Quillon-$v-x64.msi" &&
        bash "$make" --version "$v" --unsigned --out "$dir/unsigned/Quillon-$v-x64.msi" &&
        bash "$make" --version "$v" --small --cert-dir "$certs" --out "$dir/small/Quillon-$v-x64.msi" &&
        osslsigncode sign -certs "$certs/othersign.pem" -key "$certs/othersign.key" -h sha256 -n Quillon \
            -in "$dir/unsigned/Quillon-$v-x64.msi" -out "$dir/other-signer/Quillon-$v-x64.msi" >/dev/null &&
        bash "$make" --version "$v" --cert-dir "$certs" --upgrade-code "{0B5D3E71-2C44-4A8F-9E16-7F3A2C5B8D90}" \
            --out "$dir/other-product/Quillon-$v-x64.msi" &&
        bash "$make" --version 1.16.KM16.2300 --cert-dir "$certs" --out "$dir/older/Quillon-1.16.KM16.2300-x64.msi" &&
        bash "$make" --version 1.16.KM16.2381 --cert-dir "$certs" --tree "$dir/registration" \
            --out "$dir/registration.msi" &&
        osslsigncode sign -certs "$certs/codesign.pem" -key "$certs/codesign.key" -h sha256 -n Quillon \
            -in "$QLN_BIN_DIR/QLNUpgrade.exe" -out "$dir/daemon/QLNUpgrade.exe" >/dev/null; then
        export QLN_TEST_MSI_SIGNED="$(_qln_winpath "$dir/signed/Quillon-$v-x64.msi")"
        export QLN_TEST_MSI_UNSIGNED="$(_qln_winpath "$dir/unsigned/Quillon-$v-x64.msi")"
        export QLN_TEST_MSI_SMALL="$(_qln_winpath "$dir/small/Quillon-$v-x64.msi")"
        export QLN_TEST_MSI_OTHER_SIGNER="$(_qln_winpath "$dir/other-signer/Quillon-$v-x64.msi")"
        export QLN_TEST_MSI_OTHER_PRODUCT="$(_qln_winpath "$dir/other-product/Quillon-$v-x64.msi")"
        export QLN_TEST_MSI_OLDER="$(_qln_winpath "$dir/older/Quillon-1.16.KM16.2300-x64.msi")"
        export QLN_TEST_MSI_REGISTRATION="$(_qln_winpath "$dir/registration.msi")"
        export QLN_TEST_DAEMON_SIGNED="$(_qln_winpath "$dir/daemon/QLNUpgrade.exe")"
        export QLN_TEST_MSI_ADMIN_IMAGE="$(_qln_winpath "$dir/admin")"
    else
        echo "qln_packages_build: building the test packages failed; package tests will fail" >&2
    fi
    export QLN_TEST_PACKAGE_DIR="$(_qln_winpath "$dir/served")"
}

qln_servers_stop() {
    local pid
    for pid in "${QLN_PROXY_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    QLN_PROXY_PIDS=()
    [ -n "$QLN_SERVER_PID" ] || return 0
    kill "$QLN_SERVER_PID" 2>/dev/null || true
    wait "$QLN_SERVER_PID" 2>/dev/null || true
    QLN_SERVER_PID=""
}
