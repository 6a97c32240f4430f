# shellcheck shell=bash
# nginx on loopback, serving a directory, for the tools that show or measure the installer.
# Sourced by tools/demo and bench/run.
#
#   start_nginx PREFIX [SERVER_DIRECTIVES]
#       serves PREFIX/www on a free port of 127.0.0.1, with nginx's own ETag and Content-Length;
#       sets nginx_port and nginx_pid. PREFIX/access.log gets a line for each request:
#       "GET /path HTTP/1.1" status body_bytes_sent request_time
#   stop_nginx
#       stops it and waits for it
#
# nginx runs in the foreground from the private prefix. Its workers may run as another user,
# so the prefix and what it serves must be world-readable.

nginx_pid=""
nginx_port=""

start_nginx() {
  local prefix=$1 server_directives=${2:-} attempt candidate
  mkdir -p "$prefix/www" "$prefix/temp"
  chmod 0755 "$prefix"
  nginx_port=""
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + RANDOM % 40000))
    cat >"$prefix/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/error.log;
events { worker_connections 64; }
http {
  log_format transfer '"\$request" \$status \$body_bytes_sent \$request_time';
  access_log $prefix/access.log transfer;
  client_body_temp_path $prefix/temp/body;
  proxy_temp_path $prefix/temp/proxy;
  fastcgi_temp_path $prefix/temp/fastcgi;
  uwsgi_temp_path $prefix/temp/uwsgi;
  scgi_temp_path $prefix/temp/scgi;
  types { application/zip zip; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$candidate;
    root $prefix/www;
    etag on;
    $server_directives
  }
}
EOF
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
