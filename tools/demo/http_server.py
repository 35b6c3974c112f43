#!/usr/bin/env python3
"""The demonstration's web server.

    http_server.py [PORT [PEM_FILE]]

Answers every GET on 127.0.0.1:PORT (default 8080) with a one-line text page
for the host that the request's Host header names, so that one server
stands in for several web sites. With PEM_FILE (a certificate and its key)
it speaks HTTPS, whatever server name a client sends. Prints "ready" once
it listens.
"""
import http.server
import ssl
import sys

PAGES = {
    "news.example": "Local news: the bridge reopens on Monday.",
    "weather.example": "Weather: sunny, 21 degrees.",
    "casino.example": "Casino: place your bets!",
    "stories.example": "Free erotic stories, updated daily.",
    "shop.example": "Garden shop: seeds, tools and plants.",
}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        host = (self.headers.get("Host") or "").split(":")[0].lower()
        if host.startswith("www."):
            host = host[4:]
        body = (PAGES.get(host, "No site here for " + host) + "\n").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 8080
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    except OSError as error:
        sys.exit("http_server: cannot listen on 127.0.0.1:%d: %s" % (port, error))
    if len(sys.argv) > 2:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2])
        # The handshake runs in each connection's own thread, on its first
        # read: a client cut off in its hello stalls no other.
        server.socket = context.wrap_socket(
            server.socket, server_side=True, do_handshake_on_connect=False
        )
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
