#!/usr/bin/python3
# A hostile tracker for the hardening tests: every record id names one misbehaviour. It starts
# like the tracker simulator (same first output line), so cmtest::TrackerSim launches it.
#
#   FOREIGN-PORT    its stable URI is on the second listener (same host, another port)
#   FOREIGN-HOST    its stable URI names "localhost" instead of 127.0.0.1
#   FOREIGN-SCHEME  its stable URI is https on this very host and port
#   DUP-ID          two links sharing one rdf:ID
#   CDATA-TITLE     a link title made of text, a CDATA section and a comment
#   CR-COOKIE       answered with a Set-Cookie whose value holds a bare CR
#   BIG-COOKIE      answered with a Set-Cookie of 5,000 bytes
#   TRICKLE         200 with a long Content-Length, then one byte every 0.2 s for up to 60 s
#   anything else   an ordinary record on this server (one link, PUT accepted)
# A PUT to {base}/record/N answers an empty record. GET /_sim/log (entries: listener, method,
# header_list, body) and POST /_sim/log/clear are never logged.

import argparse
import json
import os
import signal
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOG = []
PORTS = {}
NS = ('xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#" xmlns:rdfs="http://www.w3.org/'
      '2000/01/rdf-schema#" xmlns:dcterms="http://purl.org/dc/terms/" '
      'xmlns:oslc_cm="http://open-services.net/ns/cm#"')
ORIGINS = {"FOREIGN-PORT": "http://127.0.0.1:%(other)d",
           "FOREIGN-HOST": "http://localhost:%(main)d",
           "FOREIGN-SCHEME": "https://127.0.0.1:%(main)d"}
LINKS = {"DUP-ID": [("tw://a@@/main/1", "L1"), ("tw://b@@/main/1", "L1")]}
TITLES = {"CDATA-TITLE": "Fix <![CDATA[a < b]]> and <!-- note --> done"}
COOKIES = {"CR-COOKIE": "abc\rdef", "BIG-COOKIE": "c" * 5000}


def document(stable, links=(), title=None):
    """links: [(resource, id)]; title: the raw XML of link L1's title."""
    return ('<?xml version="1.0" encoding="UTF-8"?><rdf:RDF %s><rdf:Description rdf:about="%s">'
            '<rdfs:member><oslc_cm:ChangeRequest rdf:about="%s"><dcterms:identifier>x'
            '</dcterms:identifier>%s</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>'
            '%s</rdf:RDF>' % (
                NS, stable, stable,
                "".join('<oslc_cm:tracksChangeSet rdf:resource="%s" rdf:ID="%s"/>' % link
                        for link in links),
                '<rdf:Description rdf:about="#L1"><dcterms:title>%s</dcterms:title>'
                '</rdf:Description>' % title if title else "")).encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    listener = "main"

    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def trickle(self):
        self.send_response(200)
        self.send_header("Content-Length", "100000")
        self.end_headers()
        self.close_connection = True
        try:
            for _ in range(300):
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(0.2)
        except OSError:
            pass  # the client gave up: what the test wants

    def serve(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        path, _, query = self.path.partition("?")
        if path == "/_sim/log":
            return self.answer(200, json.dumps(LOG).encode())
        if path == "/_sim/log/clear":
            LOG.clear()
            return self.answer(200, b"{}")
        LOG.append({"listener": self.listener, "method": self.command,
                    "header_list": list(self.headers.items()),
                    "body": body.decode("utf-8", "replace")})
        if self.command == "PUT" and path.startswith("/oslc/record/"):
            return self.answer(200, document("http://127.0.0.1:%d%s" % (PORTS["main"], path)))
        rid = urllib.parse.parse_qs(query).get("vqm.name", [""])[0]
        if rid == "TRICKLE":
            return self.trickle()
        origin = ORIGINS.get(rid, "http://127.0.0.1:%(main)d") % PORTS
        headers = [("Set-Cookie", "JSESSIONID=%s; Path=/" % COOKIES[rid])] if rid in COOKIES else []
        self.answer(200, document(origin + "/oslc/record/1",
                                  LINKS.get(rid, [("tw://a@@/main/1", "L1")]),
                                  TITLES.get(rid, "Version one")), headers)

    do_GET = do_PUT = do_POST = serve


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    args, _ = parser.parse_known_args()  # the simulator's other options are accepted and unused
    main = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    other = ThreadingHTTPServer(("127.0.0.1", 0), type("Other", (Handler,), {"listener": "other"}))
    PORTS.update(main=main.server_address[1], other=other.server_address[1])
    threading.Thread(target=other.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print("tracker-sim listening on http://127.0.0.1:%d/oslc" % PORTS["main"], flush=True)
    main.serve_forever()


if __name__ == "__main__":
    main()
