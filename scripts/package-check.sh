#!/usr/bin/env bash
# Checks the package scripts/package.sh made (in BUILD, default build-package/), without
# installing it: lintian, the AppStream metadata, the manual page, and the unpacked program
# run from a scratch root.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(ls "${1:-build-package}"/skyloom_*.deb)
scratch=$(mktemp -d)
trap 'kill "${server:-}" 2>/dev/null || true; rm -rf "$scratch"' EXIT

echo "-- lintian"
lintian --fail-on error,warning "$deb"
echo "-- appstreamcli"
appstreamcli validate --no-net packaging/skyloom.metainfo.xml
dpkg-deb -x "$deb" "$scratch/root"
echo "-- the manual page renders without warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/skyloom.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }

echo "-- the unpacked program"
bin="$scratch/root/usr/bin/skyloom"
"$bin" --version
"$bin" --help >"$scratch/help.txt"
head -n 3 "$scratch/help.txt"
[ -x "$scratch/root/usr/libexec/skyloom/skyloom-window" ]
echo "-- the template unit: one collector per settings file, in the service's sandbox, as a user of its own"
template="$scratch/root/usr/lib/systemd/system/skyloom@.service"
grep -qx 'ExecStart=/usr/bin/skyloom --headless --config /etc/skyloom/%i.conf' "$template"
grep -qx 'StateDirectory=skyloom/%i' "$template"
grep -qx 'User=skyloom-%i' "$template"
grep -qx 'TemporaryFileSystem=/etc/skyloom:ro' "$template"
grep -qx 'BindReadOnlyPaths=-/etc/skyloom/%i.conf' "$template"
shared='^(Description|StateDirectory|ExecStart|#)'
diff <(grep -vE "$shared" "$scratch/root/usr/lib/systemd/system/skyloom.service") \
  <(grep -vE "$shared" "$template" | grep -vE '^(User|TemporaryFileSystem|BindReadOnlyPaths)=')
mkdir "$scratch/site"
cp tests/data/shortnb_output.html "$scratch/site/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$scratch/site" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null && break; sleep 0.1; done
XDG_CONFIG_HOME="$scratch/config" "$bin" --once --url "http://127.0.0.1:$port/shortnb_output.html" \
  --db "$scratch/tqyb.mdb" >"$scratch/out.txt"
printf '%s\n' "$(cat tests/data/shortnb_output.expected.txt)" | cmp - "$scratch/out.txt"
XDG_CONFIG_HOME="$scratch/config" "$bin" --latest --db "$scratch/tqyb.mdb" >/dev/null
echo "package ok: $(du -h "$deb" | cut -f1) $(basename "$deb")"
