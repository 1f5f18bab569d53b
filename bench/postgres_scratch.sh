# Sourced by the benchmarks that start PostgreSQL servers: a scratch folder for their data, and
# `as_owner`, the prefix that runs a server command as the unprivileged postgres user when we
# are root (PostgreSQL refuses to run as root).
scratch=$(mktemp -d)
chmod 755 "$scratch"
as_owner=()
if [ "$(id -u)" = 0 ]; then
  chown postgres: "$scratch"
  as_owner=(setpriv --reuid=postgres --regid=postgres --clear-groups --)
fi
