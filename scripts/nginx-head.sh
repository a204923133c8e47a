# Shared by the demo scripts (sourced). nginx_head WEB USER_LINE prints the start of a demo
# nginx configuration, up to the http block's common settings; the caller adds its servers
# and the closing brace. WEB holds the pid file, the error log and tmp/.
nginx_head() {
    local web=$1
    cat <<EOF
$2
daemon off;
worker_processes 2;
pid $web/nginx.pid;
error_log $web/error.log;
events { worker_connections 512; }
http {
    log_format demo '\$remote_addr "\$request" \$status \$body_bytes_sent';
    client_body_temp_path $web/tmp;
    proxy_temp_path $web/tmp;
    fastcgi_temp_path $web/tmp;
    uwsgi_temp_path $web/tmp;
    scgi_temp_path $web/tmp;
    sendfile on;
    default_type application/octet-stream;
    types { text/xml xml; }
EOF
}
