#!/usr/bin/env bash
# skyloom --export attempts against sqlite3 -csv on the same file: wall time and peak memory
# for a thousand and a million tqlog rows. Usage: bench/export-vs-sqlite3.sh BUILD_DIR [RUNS]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-3}
skyloom=$(realpath "$build/skyloom")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Rows as collectors write them: 17 attempts a day, some failed, with commas and quotes.
make_db() {
  sqlite3 "$1" <<SQL
CREATE TABLE tq(id INTEGER PRIMARY KEY AUTOINCREMENT, logtime TEXT, tqyb TEXT);
CREATE TABLE tqlog(logtime TEXT, errstat TEXT, errnum INTEGER, errdes TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $2)
INSERT INTO tqlog
SELECT datetime('2020-01-01', '+' || (i * 5081 / 1000) || ' seconds'),
       CASE WHEN i % 23 = 0 THEN '获取错误' ELSE '正常获取' END,
       CASE WHEN i % 23 = 0 THEN 28 ELSE 0 END,
       CASE WHEN i % 23 = 0 THEN 'Operation timed out after 30001 milliseconds, "0" bytes'
            WHEN i % 5 = 0 THEN '成功写入' ELSE '未写入' END
FROM n;
SQL
}

# The best of the runs' wall seconds and the largest resident set in KiB.
measure() {
  local best="" peak=0
  for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %M' -o "$scratch/time" "$@" >/dev/null
    read -r seconds kib <"$scratch/time"
    if [ -z "$best" ] || awk "BEGIN{exit !($seconds < $best)}"; then best=$seconds; fi
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$best s, $peak KiB"
}

for rows in 1000 1000000; do
  db="$scratch/tqyb-$rows.mdb"
  make_db "$db" "$rows"
  # The same rows in the same order, read back by Python's csv: both do the same work.
  "$skyloom" --export attempts --db "$db" >"$scratch/ours.csv"
  sqlite3 -csv "$db" "SELECT logtime, errstat, errnum, errdes FROM tqlog ORDER BY rowid" \
    >"$scratch/theirs.csv"
  python3 - "$scratch/ours.csv" "$scratch/theirs.csv" <<'PY'
import csv, sys
ours, theirs = ([row for row in csv.reader(open(name, newline='', encoding='utf-8'))]
                for name in sys.argv[1:])
if ours[1:] != theirs:
    sys.exit("the exports differ")
PY
  echo "$rows rows"
  echo "  skyloom --export attempts   $(measure "$skyloom" --export attempts --db "$db")"
  echo "  sqlite3 -csv                $(measure sqlite3 -csv "$db" \
    "SELECT logtime, errstat, errnum, errdes FROM tqlog ORDER BY rowid")"
done
