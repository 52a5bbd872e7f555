# shellcheck shell=bash
# nginx in a folder of its own (sourced, not run; it only defines functions):
# the test servers and the demo's content host share the main settings and
# keep every file nginx writes inside that folder.

# Writes `dir`/nginx.conf: a daemon with one worker, its pid, logs and
# temporary files in `dir`, the shared http settings, and the caller's own
# http lines (servers and further settings) read from standard input.
nginx_write_conf() { # dir <http-lines
    local dir=$1 user_line=
    mkdir -p "$dir/logs" "$dir/temp" || return 1
    # Started by root, nginx hands its workers to nobody, who may not read
    # the files served from a private build tree.
    if [ "$(id -u)" = 0 ]; then user_line="user root;"; fi
    {
        cat <<CONF
$user_line
daemon on;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log info;
events { worker_connections 256; }
http {
    types { text/plain txt; application/zip zip; image/jpeg jpg; }
    default_type application/octet-stream;
    access_log $dir/logs/access.log;
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    sendfile on;
CONF
        cat
        echo "}"
    } >"$dir/nginx.conf"
}

# Starts nginx with `dir`/nginx.conf; even its start-up errors go to the
# folder's error log.
nginx_start() { # dir
    nginx -p "$1" -c "$1/nginx.conf" -e "$1/logs/error.log" </dev/null
}

# Stops the nginx of `dir` when it runs.
nginx_stop() { # dir
    [ -f "$1/nginx.pid" ] || return 0
    nginx -p "$1" -c "$1/nginx.conf" -e "$1/logs/error.log" -s stop >/dev/null 2>&1
}
