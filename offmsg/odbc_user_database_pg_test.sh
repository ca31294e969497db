#!/usr/bin/env bash
# Runs the user-database query test against a throwaway PostgreSQL server, through PostgreSQL's
# ODBC driver: initdb in a temporary directory, a server on a free loopback port, the Sys_user
# table, the test binary with PB_PG_CONNECTION set, the server stopped and removed again.
#   odbc_user_database_pg_test.sh TEST_BINARY
# Exits 77 (reported as skipped) when PostgreSQL or its driver is missing or the server does not
# start; the reason is printed.
set -uo pipefail
test_binary=$1
skip() {
  echo "SKIPPED: $*"
  exit 77
}

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -n $bindir && -x $bindir/initdb ]] || skip "PostgreSQL is not installed (package postgresql)"
driver="PostgreSQL Unicode"
odbcinst -q -d -n "$driver" >/dev/null 2>&1 ||
  skip "the PostgreSQL ODBC driver is not registered (package odbc-postgresql)"

work=$(mktemp -d)
chmod 755 "$work"
as_owner=()
if [[ $(id -u) == 0 ]]; then  # the server refuses to run as root
  id postgres >/dev/null 2>&1 || skip "running as root and there is no user postgres"
  chown postgres "$work"
  as_owner=(runuser -u postgres --)
fi
cleanup() {
  "${as_owner[@]}" "$bindir/pg_ctl" -D "$work/data" -m immediate stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${as_owner[@]}" "$bindir/initdb" -D "$work/data" -U pigeonbox --auth=trust -E UTF8 \
  --locale=C.UTF-8 >"$work/initdb.log" 2>&1 || skip "initdb failed: $(tail -n 3 "$work/initdb.log")"
"${as_owner[@]}" "$bindir/pg_ctl" -D "$work/data" -l "$work/server.log" -w -t 60 \
  -o "-p $port -k $work -c listen_addresses=127.0.0.1" start >/dev/null 2>&1 ||
  skip "the server did not start: $(tail -n 3 "$work/server.log")"

"$bindir/psql" -h 127.0.0.1 -p "$port" -U pigeonbox -d postgres -q -v ON_ERROR_STOP=1 <<'SQL' || exit 1
create table Sys_user (ID serial primary key, UserName text, AccountState integer);
insert into Sys_user (UserName, AccountState) values
  ('alice', 0), ('Bob', null), ('retired', 1), ('ab''c', 0), ('张三', 0), ('Ärger', 0), ('ÖDE', 1);
SQL

PB_PG_CONNECTION="Driver={$driver};Servername=127.0.0.1;Port=$port;Database=postgres;Uid=pigeonbox" \
  "$test_binary"
