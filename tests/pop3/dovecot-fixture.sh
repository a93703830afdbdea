#!/bin/bash
# A throwaway Dovecot POP3 server on 127.0.0.1 for tests, benchmarks and the
# demo. Nothing outside its own folders is touched and no system service is
# used: the server reads only the configuration written here.
#
#   dovecot-fixture.sh start DIR [tls]   start; DIR records how to reach it
#   dovecot-fixture.sh stop DIR          stop (SIGTERM) and remove its files
#   dovecot-fixture.sh user DIR NAME PASSWORD [hashed]
#                                        add or replace a mailbox user; with
#                                        "hashed" the password is stored as
#                                        SHA512-CRYPT, as a system server keeps it
#   dovecot-fixture.sh message DIR NAME FILE    deliver FILE to NAME's mailbox
#
# After start, DIR holds:
#   port       the plain POP3 port
#   tls_port   the POP3-over-TLS port (only with "tls"); its certificate is
#              self-signed for 127.0.0.1 and localhost, in ROOT/cert.pem
#   root       ROOT, the server's own folder: dovecot.conf, users/<user> (one
#              passwd-file line per user), mail/<user>/, dovecot.log. It lives under ${TMPDIR:-/tmp}, not in DIR, because
#              Dovecot's unprivileged processes must reach it (a build tree under
#              a private home folder would be closed to them) and its sockets
#              need a short path.
#   pid        the master process
#
# The server is set up as an ordinary one is: it offers CRAM-MD5 beside
# PLAIN and LOGIN, and refuses plain-text logins on connections it does not
# count as secure. Dovecot counts a connection as secure when it is TLS or
# comes from the address it arrives at; the plain port also listens on
# 127.0.0.2, where a client's connection comes from 127.0.0.1 and is
# therefore refused as a client on another machine would be.
#
# As root (CI), Dovecot runs as designed for a system server: internal user
# "dovecot", login user "dovenull", mail owned by nobody:nogroup. As any other
# user it runs entirely as that user (no chroot, mail owned by the user), so
# the demo and the benchmark need no sudo.
set -euo pipefail

die() { echo "dovecot-fixture: $*" >&2; exit 1; }

# Reads the whole line "+OK..." the server greets with, so a started master
# whose login processes cannot work is not taken for a running server.
greets() {
    local port=$1 line
    { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 1
    if IFS= read -r -t 3 line <&3 && [[ $line == "+OK"* ]]; then
        printf 'QUIT\r\n' >&3 || true
        exec 3>&- 3<&-
        return 0
    fi
    exec 3>&- 3<&-
    return 1
}

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A high port nobody listens on; a lost race shows up as a failed start and is
# retried with another port.
pick_port() {
    local p
    for _ in $(seq 50); do
        p=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
        if ! port_busy "$p"; then
            echo "$p"
            return 0
        fi
    done
    die "found no free port"
}

write_config() {
    local root=$1 port=$2 tls_port=$3
    local internal group login mailuid mailgid login_chroot="" anvil_chroot=""
    if [ "$(id -u)" = 0 ]; then
        internal=dovecot group=dovecot login=dovenull mailuid=nobody mailgid=nogroup
    else
        internal=$(id -un) group=$(id -gn) login=$(id -un) mailuid=$(id -u) mailgid=$(id -g)
        # Only root can chroot: the login and anvil processes stay put.
        login_chroot="chroot =" anvil_chroot="chroot ="
    fi
    local ssl="ssl = no"
    if [ "$tls_port" != 0 ]; then
        ssl="ssl = yes
ssl_cert = <$root/cert.pem
ssl_key = <$root/key.pem"
    fi
    cat >"$root/dovecot.conf" <<EOF
# Written by dovecot-fixture.sh: a test server, not a system one.
protocols = pop3
listen = 127.0.0.1, 127.0.0.2
base_dir = $root/run
state_dir = $root/state
log_path = $root/dovecot.log
info_log_path = $root/dovecot.log
default_internal_user = $internal
default_internal_group = $group
default_login_user = $login
$ssl
disable_plaintext_auth = yes
auth_mechanisms = plain login cram-md5
# A wrong password answers at once instead of after 2 s or more.
auth_failure_delay = 0
# Names with spaces and non-ASCII letters are allowed, and kept as typed.
auth_username_chars =
auth_username_format = %u
mail_location = maildir:$root/mail/%u
# One file per user: Dovecot re-reads a passwd file at most once a second,
# so a user added just after another's login could stay unknown for that
# second; a file it has never opened is read at once.
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $root/users/%u
}
userdb {
  driver = static
  args = uid=$mailuid gid=$mailgid
}
service pop3-login {
  inet_listener pop3 {
    port = $port
  }
  inet_listener pop3s {
    port = $tls_port
    ssl = yes
  }
  $login_chroot
}
# No growing delay for logins from an address that has failed before: tests
# try wrong passwords on purpose, and the next login must not wait seconds.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
  $anvil_chroot
}
EOF
}

make_certificate() {
    local root=$1
    command -v openssl >/dev/null || die "openssl is needed for the TLS listener (apt-get install openssl)"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
        -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
        -keyout "$root/key.pem" -out "$root/cert.pem" >/dev/null 2>&1 \
        || die "openssl could not make a certificate"
    chmod 600 "$root/key.pem"
    chmod 644 "$root/cert.pem"
}

stop() {
    local dir=$1 pid root
    [ -d "$dir" ] || return 0
    pid=$(cat "$dir/pid" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            echo "dovecot-fixture: master $pid ignored SIGTERM, killing it" >&2
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    root=$(cat "$dir/root" 2>/dev/null || true)
    # Only ever remove a folder this script made.
    case "$root" in
        */korvelin-dovecot.*) rm -rf -- "$root" ;;
    esac
    rm -f -- "$dir/pid" "$dir/port" "$dir/tls_port" "$dir/root"
}

start() {
    local dir=$1 tls=${2:-}
    command -v dovecot >/dev/null || die "dovecot is not installed (apt-get install dovecot-pop3d)"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    stop "$dir" # a server left behind by an interrupted run
    local root
    root=$(mktemp -d "${TMPDIR:-/tmp}/korvelin-dovecot.XXXXXX")
    echo "$root" >"$dir/root"
    chmod 755 "$root"
    mkdir -p "$root/run" "$root/state" "$root/mail" "$root/users"
    : >"$root/dovecot.log"
    if [ "$(id -u)" = 0 ]; then
        chown nobody:nogroup "$root/mail"
        # The auth process runs as "dovecot" and reads the passwords.
        chgrp dovecot "$root/users"
        chmod 750 "$root/users"
    else
        chmod 700 "$root/users"
    fi
    [ "$tls" = tls ] && make_certificate "$root"

    local attempt port tls_port=0 pid
    for attempt in 1 2 3 4 5; do
        port=$(pick_port)
        if [ "$tls" = tls ]; then
            tls_port=$(pick_port)
            [ "$tls_port" != "$port" ] || continue
        fi
        write_config "$root" "$port" "$tls_port"
        # Detached and with its own output, so the caller (a CTest fixture)
        # is not held up waiting for the server's end of a pipe.
        setsid dovecot -F -c "$root/dovecot.conf" </dev/null >>"$root/dovecot.log" 2>&1 &
        pid=$!
        echo "$pid" >"$dir/pid"
        for _ in $(seq 100); do
            if greets "$port"; then
                echo "$port" >"$dir/port"
                [ "$tls_port" = 0 ] || echo "$tls_port" >"$dir/tls_port"
                echo "dovecot-fixture: POP3 on 127.0.0.1:$port${tls:+, TLS on $tls_port}, folder $root"
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        grep -q "Address already in use" "$root/dovecot.log" || break
        echo "dovecot-fixture: port taken, trying another (attempt $attempt)" >&2
    done
    echo "dovecot-fixture: the server did not start; its log:" >&2
    cat "$root/dovecot.log" >&2 || true
    stop "$dir"
    exit 1
}

root_of() {
    local root
    root=$(cat "$1/root" 2>/dev/null) || die "no server recorded in $1"
    echo "$root"
}

add_user() {
    local root name=$2 password=$3 hashed=${4:-}
    root=$(root_of "$1")
    case "$name$password" in
        *:*|*$'\n'*|*$'\r'*) die "a passwd-file entry cannot hold ':' or a line break" ;;
    esac
    case "$name" in
        */*|.|..|"") die "unusable user name: $name" ;;
    esac
    local file="$root/users/$name" tmp
    tmp=$(mktemp "$root/users/.new.XXXXXX")
    if [ "$hashed" = hashed ]; then
        printf '%s:{SHA512-CRYPT}%s\n' "$name" "$(openssl passwd -6 -stdin <<<"$password")" >"$tmp"
    else
        printf '%s:{PLAIN}%s\n' "$name" "$password" >"$tmp"
    fi
    chmod 640 "$tmp"
    [ "$(id -u)" != 0 ] || chgrp dovecot "$tmp"
    if [ -e "$file" ]; then
        # A changed password: Dovecot notices a new time stamp (whole
        # seconds), and looks at most once a second.
        local old
        old=$(stat -c %Y "$file")
        mv -f "$tmp" "$file"
        [ "$(stat -c %Y "$file")" -gt "$old" ] || touch -d "@$((old + 1))" "$file"
        sleep 1.1
    else
        mv -f "$tmp" "$file"
    fi
}

add_message() {
    local root name=$2 file=$3
    root=$(root_of "$1")
    case "$name" in */*|.|..|"") die "unusable user name: $name" ;; esac
    local box="$root/mail/$name" owner unique
    owner=$(stat -c %u:%g "$root/mail")
    mkdir -p "$box/cur" "$box/new" "$box/tmp"
    unique="$(date +%s).$$_$RANDOM.korvelin"
    cp -- "$file" "$box/tmp/$unique"
    chown -R "$owner" "$box"
    mv -- "$box/tmp/$unique" "$box/new/$unique"
}

case "${1:-}" in
    start) [ $# -ge 2 ] || die "usage: $0 start DIR [tls]"; start "$2" "${3:-}" ;;
    stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; stop "$2" ;;
    user) [ $# -ge 4 ] || die "usage: $0 user DIR NAME PASSWORD [hashed]"; add_user "$2" "$3" "$4" "${5:-}" ;;
    message) [ $# -eq 4 ] || die "usage: $0 message DIR NAME FILE"; add_message "$2" "$3" "$4" ;;
    *) die "usage: $0 start|stop|user|message DIR ..." ;;
esac
