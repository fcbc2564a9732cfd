#!/bin/sh
# Gives a till's link a login of its own on a Firebird server, in place of the
# server's administrator: the user is made (or its password changed) and granted
# exactly what the link does with its tables. It works on a fresh copy of the
# empty database as well as on a till's database in use, and may be run again.
#
#   sh velbrin-server-user.sh DATABASE [USER]
#
# DATABASE  the till's database as the server names it, for example
#           localhost:/var/lib/firebird/3.0/data/kasa1.fdb
# USER      the link's user, by default VELBRIN_LINK (letters, digits, "_")
#
# Passwords never go on a command line: the administrator's comes from ISC_USER
# and ISC_PASSWORD (isql-fb reads them itself) or is asked for, the link user's
# from VELBRIN_DB_USER_PASSWORD or is asked for. ISQL names isql-fb elsewhere.
set -eu

ISQL=${ISQL:-isql-fb}
DATABASE=${1:-}
LINK_USER=${2:-VELBRIN_LINK}

if [ -z "$DATABASE" ]; then
    echo "usage: $0 DATABASE [USER]" >&2
    exit 2
fi
if ! printf '%s' "$LINK_USER" | grep -Eq '^[A-Za-z][A-Za-z0-9_]{0,30}$'; then
    echo "$0: the user name may hold letters, digits and _ only: $LINK_USER" >&2
    exit 2
fi
if [ "$(printf '%s' "$LINK_USER" | tr a-z A-Z)" = SYSDBA ]; then
    echo "$0: the link's user must not be SYSDBA" >&2
    exit 2
fi

ask() {
    # $1 prompt; the answer without echo when a terminal is there
    printf '%s' "$1" >&2
    if [ -t 0 ]; then stty -echo; fi
    IFS= read -r answer || answer=
    if [ -t 0 ]; then stty echo; echo >&2; fi
    printf '%s' "$answer"
}

export ISC_USER=${ISC_USER:-SYSDBA}
if [ -z "${ISC_PASSWORD:-}" ]; then
    ISC_PASSWORD=$(ask "Password of $ISC_USER on the server: ")
    export ISC_PASSWORD
fi
PASSWORD=${VELBRIN_DB_USER_PASSWORD:-}
if [ -z "$PASSWORD" ]; then
    PASSWORD=$(ask "New password of $LINK_USER: ")
fi
if [ -z "$PASSWORD" ]; then
    echo "$0: the link's user needs a password" >&2
    exit 2
fi
# Inside an SQL string a quote is written twice.
QUOTED=$(printf '%s' "$PASSWORD" | sed "s/'/''/g")

"$ISQL" -q -b "$DATABASE" <<SQL
SET BAIL ON;
CREATE OR ALTER USER $LINK_USER PASSWORD '$QUOTED' USING PLUGIN Srp;
COMMIT;
GRANT SELECT, INSERT, UPDATE, DELETE ON curr_abc TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON curr_sales TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON curr_payments TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON sales TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON payments TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON arts TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE ON zets TO USER $LINK_USER;
GRANT SELECT, INSERT ON cash TO USER $LINK_USER;
GRANT SELECT, INSERT, UPDATE, DELETE ON vle TO USER $LINK_USER;
COMMIT;
SQL
echo "$LINK_USER may now work on $DATABASE"
