# shellcheck shell=bash
# nginx on loopback, serving a directory, for the tools that show or measure the installer.
# Sourced by tools/demo and bench/run.
#
#   start_nginx PREFIX [SERVER_DIRECTIVES [LISTEN_OPTIONS]]
#       serves PREFIX/www on a free port of 127.0.0.1, with nginx's own ETag and Content-Length
#       (over TLS with LISTEN_OPTIONS "ssl" and a certificate among the directives);
#       sets nginx_port and nginx_pid. PREFIX/access.log gets a line for each request:
#       "GET /path HTTP/1.1" status body_bytes_sent request_time bytes_sent
#   stop_nginx
#       stops it and waits for it
#
# The configuration is tools/lib/nginx.conf.in, which the tests' nginx uses too. nginx runs in
# the foreground, as a single process of the user who runs the tool, from the private prefix.

nginx_pid=""
nginx_port=""
nginx_template="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/nginx.conf.in"

start_nginx() {
  local prefix=$1 server_directives=${2:-} listen_options=${3:-} attempt candidate template
  local configuration
  # shellcheck disable=SC2016  # nginx's variables
  local format='"$request" $status $body_bytes_sent $request_time $bytes_sent'
  mkdir -p "$prefix/www" "$prefix/temp"
  if ! template=$(<"$nginx_template"); then
    echo "no nginx configuration at $nginx_template" >&2
    return 1
  fi
  nginx_port=""
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + RANDOM % 40000))
    # A port that answers already is another server's: nginx's own answer would be taken for it.
    if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then continue; fi
    configuration=${template//@PREFIX@/"$prefix"}
    configuration=${configuration//@PORT@/"$candidate"}
    configuration=${configuration//@LISTEN_OPTIONS@/"$listen_options"}
    configuration=${configuration//@ROOT@/"$prefix/www"}
    configuration=${configuration//@ACCESS_LOG_FORMAT@/"$format"}
    configuration=${configuration//@SERVER_DIRECTIVES@/"$server_directives"}
    printf '%s\n' "$configuration" >"$prefix/nginx.conf"
    /usr/sbin/nginx -p "$prefix" -e "$prefix/error.log" -c "$prefix/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 50); do
      if ! kill -0 "$nginx_pid" 2>/dev/null; then break; fi  # the port was taken
      if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        nginx_port=$candidate
        return 0
      fi
      sleep 0.1
    done
    stop_nginx
    echo "nginx could not listen on port $candidate (attempt $attempt)" >&2
  done
  echo "nginx did not start; its log:" >&2
  cat "$prefix/error.log" >&2 || true
  return 1
}

stop_nginx() {
  if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  nginx_pid=""
}
