# Sourced by scripts/demo.sh, scripts/test.sh and scripts/dialog-pictures.sh:
# the release server of a run. nginx serves, over TLS with the run's test CA,
# what the maker's service serves to a daemon, from the static tree
# $QLN_RELEASE_DIR/served that scripts/publish-release.sh writes (see
# docs/release-service.md for the same server set up for production):
#   /api/web/corvid/quillon/upgrade    the version answer (four lines; the
#                                      query is ignored); qln_release_answer
#                                      changes it between requests
#   /SVN/Quillon/<v>/Quillon-<v>-x64.msi  the package of each release
# Releases built at run time by make-package.sh, each with the daemon under
# test as its bin/QLNUpgrade.exe (so the installed daemon is the real one),
# signed with the same test certificate as the package, and the stand-in
# status cache beside it as bin/QLNCache.exe:
#   QLN_RELEASE_N         the daemon's own version 1.16.KM16.2381 (installed
#                         first)
#   QLN_RELEASE_N1        1.16.KM16.2382, every file different
#   QLN_RELEASE_UNSIGNED  1.16.KM16.2383, served unsigned and never announced
# For each release <v>, $QLN_RELEASE_DIR/releases/<v>/ holds tree/ (the
# product directory), admin/ (what "msiexec /a" unpacks, for the stand-in
# msiexec) and the package.
#
#   qln_release_port <state file>   prints a free loopback port, the one kept
#                                   in the state file when it is still free
#                                   (so that a build made for it stays valid)
#   qln_release_server_start <dir> <port> <daemon exe>
#                                   certificates (unless QLN_RELEASE_CERTS names
#                                   a folder made by make-certs.sh), the test CA
#                                   trusted in $WINEPREFIX, releases, nginx;
#                                   returns non-zero with a message on failure
#   qln_release_answer <version> [force]   announces a signed release again
#                                   (also an older one) from now on
#   qln_release_server_stop
#
# Uses QLN_WINE and QLN_BIN_DIR (qln_add_root_cert.exe) and a prefix made by
# wine-prefix.sh. The daemon must be built with
# -DQLN_SERVICE_HOST=https://127.0.0.1:<port>.

_qln_release_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
QLN_RELEASE_PID=""
QLN_RELEASE_N=1.16.KM16.2381
QLN_RELEASE_N1=1.16.KM16.2382
QLN_RELEASE_UNSIGNED=1.16.KM16.2383

_qln_release_port_free() {
    python3 - "$1" <<'PY'
import socket, sys
s = socket.socket()
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(1)
finally:
    s.close()
PY
}

qln_release_port() {
    local state="$1" port=""
    [ -f "$state" ] && port="$(cat "$state")"
    if [[ ! "$port" =~ ^[0-9]+$ ]] || ! _qln_release_port_free "$port"; then
        port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')"
        mkdir -p "$(dirname "$state")"
        echo "$port" >"$state"
    fi
    echo "$port"
}

# Unix path to the Z: drive path under which Wine shows it.
_qln_release_winpath() {
    local p="$1"
    echo "Z:${p//\//\\}"
}

# Publishes release <version> as an operator would (options of
# publish-release.sh after the version).
_qln_release_publish() {
    local version="$1"; shift
    bash "$_qln_release_root/scripts/publish-release.sh" \
        "$QLN_RELEASE_DIR/releases/$version/Quillon-$version-x64.msi" "$version" "$QLN_RELEASE_DIR/served" \
        --info "Quillon $version: fixes and improvements" --link "https://127.0.0.1/releases/$version" "$@"
}

qln_release_answer() {
    local version="$1" force="${2:-false}" options=(--force)
    [ "$force" = true ] && options+=(--mandatory)
    _qln_release_publish "$version" "${options[@]}" >/dev/null
}

# Builds release <version> with the daemon under test in bin/ (extra
# make-package.sh options after the third argument).
_qln_release_build() {
    local version="$1" daemon="$2" sign="$3"; shift 3
    local make="$_qln_release_root/tests/harness/make-package.sh"
    local dir="$QLN_RELEASE_DIR/releases/$version" msi="Quillon-$version-x64.msi"
    mkdir -p "$dir"
    bash "$make" --version "$version" --emit-tree "$dir/tree" "$@" || return 1
    cp "$daemon" "$dir/tree/bin/QLNUpgrade.exe"
    # The stand-in status cache, so that stopping and restarting the cache
    # around the deployment meets a real program.
    cp "$(dirname "$daemon")/QLNCache.exe" "$dir/tree/bin/QLNCache.exe"
    # The daemon signed with the package's certificate, as the vendor signs
    # both: an installed daemon trusts packages of its own publisher.
    local signing=(--cert-dir "$QLN_RELEASE_DIR/codesign" --sign-daemon)
    [ "$sign" = signed ] || signing=(--unsigned)
    bash "$make" --version "$version" --tree "$dir/tree" "${signing[@]}" --out "$dir/$msi" || return 1
    mkdir -p "$dir/admin/Program Files/Quillon"
    cp -a "$dir/tree/." "$dir/admin/Program Files/Quillon/"
    [ "$sign" = signed ] && return 0
    # publish-release.sh refuses an unsigned package, rightly; the scenario
    # that proves the daemon refuses one too needs it served, so it is laid
    # into the tree by hand, at the path a daemon asks for, and not announced.
    mkdir -p "$QLN_RELEASE_DIR/served/SVN/Quillon/$version"
    ln -f "$dir/$msi" "$QLN_RELEASE_DIR/served/SVN/Quillon/$version/$msi"
}

qln_release_server_start() {
    local dir="$1" port="$2" daemon="$3"
    export QLN_RELEASE_DIR="$dir" QLN_RELEASE_PORT="$port"
    export QLN_RELEASE_N QLN_RELEASE_N1 QLN_RELEASE_UNSIGNED
    local nginx
    nginx="$(command -v nginx || echo /usr/sbin/nginx)"
    [ -x "$nginx" ] || { echo "release server: nginx is not installed (scripts/install-deps.sh)" >&2; return 1; }
    [ -f "$daemon" ] || { echo "release server: no daemon at $daemon" >&2; return 1; }
    mkdir -p "$dir/served" "$dir/nginx"

    local certs="${QLN_RELEASE_CERTS:-$dir/certs}"
    if [ ! -f "$certs/server.pem" ]; then
        bash "$_qln_release_root/tests/harness/make-certs.sh" "$certs" || return 1
    fi
    "$QLN_WINE" "$QLN_BIN_DIR/qln_add_root_cert.exe" "$(_qln_release_winpath "$certs/ca.der")" \
        >"$dir/add_root_cert.log" 2>&1 ||
        { cat "$dir/add_root_cert.log" >&2; echo "release server: trusting the test CA failed" >&2; return 1; }

    _qln_release_build "$QLN_RELEASE_N" "$daemon" signed &&
        _qln_release_build "$QLN_RELEASE_N1" "$daemon" signed &&
        _qln_release_build "$QLN_RELEASE_UNSIGNED" "$daemon" unsigned ||
        { echo "release server: building the releases failed" >&2; return 1; }
    # Release N first, then N+1 over it, as they would have been published.
    _qln_release_publish "$QLN_RELEASE_N" && _qln_release_publish "$QLN_RELEASE_N1" ||
        { echo "release server: publishing the releases failed" >&2; return 1; }

    cat >"$dir/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
user root;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log warn;
events { worker_connections 64; }
http {
    access_log $dir/nginx/access.log;
    client_body_temp_path $dir/nginx/body;
    proxy_temp_path $dir/nginx/proxy;
    fastcgi_temp_path $dir/nginx/fastcgi;
    uwsgi_temp_path $dir/nginx/uwsgi;
    scgi_temp_path $dir/nginx/scgi;
    types { application/x-msi msi; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $certs/server.pem;
        ssl_certificate_key $certs/server.key;
        root $dir/served;
        location = /api/web/corvid/quillon/upgrade {
            default_type text/plain;
            add_header Cache-Control "public, max-age=60" always;
        }
        location /SVN/Quillon/ {
            add_header Cache-Control "public, max-age=31536000, immutable";
            max_ranges 1;
        }
        # The publisher's temporary files.
        location ~ /\. { return 404; }
        location / { return 404; }
    }
}
CONF
    "$nginx" -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -e "$dir/nginx/error.log" \
        </dev/null >"$dir/nginx/stdout.log" 2>&1 &
    QLN_RELEASE_PID=$!

    local i
    for i in $(seq 1 50); do
        if python3 - "$port" "$certs/ca.pem" <<'PY' 2>/dev/null
import ssl, sys, urllib.request
ctx = ssl.create_default_context(cafile=sys.argv[2])
with urllib.request.urlopen("https://127.0.0.1:%s/api/web/corvid/quillon/upgrade?current=x" % sys.argv[1],
                            timeout=5, context=ctx) as r:
    assert r.read().startswith(b"1.")
PY
        then
            return 0
        fi
        kill -0 "$QLN_RELEASE_PID" 2>/dev/null || break
        sleep 0.2
    done
    cat "$dir/nginx/error.log" "$dir/nginx/stdout.log" >&2 2>/dev/null
    echo "release server: nginx does not answer on 127.0.0.1:$port" >&2
    qln_release_server_stop
    return 1
}

qln_release_server_stop() {
    [ -n "$QLN_RELEASE_PID" ] || return 0
    # TERM to the master ends its worker as well.
    kill "$QLN_RELEASE_PID" 2>/dev/null || true
    wait "$QLN_RELEASE_PID" 2>/dev/null || true
    QLN_RELEASE_PID=""
}
