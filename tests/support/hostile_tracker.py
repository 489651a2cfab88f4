#!/usr/bin/python3
# A hostile tracker for the hardening tests: every record id names one misbehaviour.
#
# Starts like the tracker simulator (same options it needs, same first output line), so that
# cmtest::TrackerSim launches it with `program` set to this file. Standard library only.
#
# Records (GET {base}/repo/{dbset}/db/{userdb}/record?vqm.name=ID):
#   SAME-ORIGIN     an ordinary record on this server (one link, PUT accepted)
#   FOREIGN-PORT    its stable URI is on the second listener (same host, another port)
#   FOREIGN-HOST    its stable URI names "localhost" instead of 127.0.0.1
#   FOREIGN-SCHEME  its stable URI is https on this very host and port
#   DUP-ID          two links sharing one rdf:ID
#   CDATA-TITLE     a link title made of text, a CDATA section and a comment
#   CR-COOKIE       answered with a Set-Cookie whose value holds a bare CR
#   BIG-COOKIE      answered with a Set-Cookie of 5,000 bytes
#   TRICKLE         200 with a long Content-Length, then one byte every 0.2 s for up to 60 s
# A PUT to {base}/record/N answers 200 with an empty record. Control endpoints (never logged):
# GET /_sim/log (entries: listener, method, path, query, headers, header_list, body) and
# POST /_sim/log/clear.

import argparse
import json
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOG = []
LOG_LOCK = threading.Lock()
STATE = {"base_path": "/oslc", "port": 0, "other_port": 0}

RDF_NS = ('xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#" '
          'xmlns:rdfs="http://www.w3.org/2000/01/rdf-schema#" '
          'xmlns:dcterms="http://purl.org/dc/terms/" '
          'xmlns:oslc_cm="http://open-services.net/ns/cm#"')


def record_document(about, stable, links, titles):
    """links: [(resource, id)], titles: [(id, raw title XML)]."""
    link_xml = "".join('<oslc_cm:tracksChangeSet rdf:resource="%s" rdf:ID="%s"/>' % link
                       for link in links)
    title_xml = "".join('<rdf:Description rdf:about="#%s"><dcterms:title>%s</dcterms:title>'
                        '</rdf:Description>' % title for title in titles)
    return ('<?xml version="1.0" encoding="UTF-8"?><rdf:RDF %s>'
            '<rdf:Description rdf:about="%s"><rdfs:member>'
            '<oslc_cm:ChangeRequest rdf:about="%s"><dcterms:identifier>x</dcterms:identifier>'
            '%s</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>%s</rdf:RDF>'
            % (RDF_NS, about, stable, link_xml, title_xml)).encode("utf-8")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    listener = "main"

    def log_message(self, *args):
        pass

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _log(self, body):
        path, _, query = self.path.partition("?")
        entry = {"listener": self.listener, "method": self.command, "path": path,
                 "query": query, "headers": {k: v for k, v in self.headers.items()},
                 "header_list": [[k, v] for k, v in self.headers.items()],
                 "body": body.decode("utf-8", "replace")}
        with LOG_LOCK:
            LOG.append(entry)

    def _answer(self, status, body, headers=(), kind="application/rdf+xml"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _control(self):
        self._body()
        known = (self.command, self.path) in (("GET", "/_sim/log"), ("POST", "/_sim/log/clear"))
        with LOG_LOCK:
            body = json.dumps(LOG).encode() if self.command == "GET" else b"{}"
            if known and self.command == "POST":
                LOG.clear()
        self._answer(200 if known else 404, body, kind="application/json")

    def _trickle(self):
        self.send_response(200)
        self.send_header("Content-Length", "100000")
        self.end_headers()
        try:
            for _ in range(300):
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(0.2)
        except OSError:
            pass  # the client gave up: what the test wants
        self.close_connection = True

    def _get_record(self, query):
        rid = urllib.parse.parse_qs(query).get("vqm.name", [""])[0]
        stable = {"FOREIGN-PORT": "http://127.0.0.1:%(other_port)d",
                  "FOREIGN-HOST": "http://localhost:%(port)d",
                  "FOREIGN-SCHEME": "https://127.0.0.1:%(port)d"}.get(
                      rid, "http://127.0.0.1:%(port)d") % STATE + STATE["base_path"] + "/record/1"
        about = "http://127.0.0.1:%d%s" % (STATE["port"], self.path)
        links = [("tw://a@@/main/1", "L1")]
        titles = [("L1", "Version one")]
        headers = []
        if rid == "DUP-ID":
            links = [("tw://a@@/main/1", "L1"), ("tw://b@@/main/1", "L1")]
        elif rid == "CDATA-TITLE":
            titles = [("L1", "Fix <![CDATA[a < b]]> and <!-- note --> done")]
        elif rid == "CR-COOKIE":
            headers = [("Set-Cookie", "JSESSIONID=abc\rdef; Path=/")]
        elif rid == "BIG-COOKIE":
            headers = [("Set-Cookie", "JSESSIONID=%s; Path=/" % ("c" * 5000))]
        elif rid == "TRICKLE":
            return self._trickle()
        elif rid not in ("SAME-ORIGIN", "FOREIGN-PORT", "FOREIGN-HOST", "FOREIGN-SCHEME"):
            return self._answer(404, b"")
        self._answer(200, record_document(about, stable, links, titles), headers)

    def _serve(self):
        if self.path.startswith("/_sim/"):
            return self._control()
        body = self._body()
        self._log(body)
        base = STATE["base_path"]
        path, _, query = self.path.partition("?")
        if self.command == "GET" and path.startswith(base + "/repo/"):
            return self._get_record(query)
        if self.command == "PUT" and path.startswith(base + "/record/"):
            stable = "http://127.0.0.1:%d%s" % (STATE["port"], path)
            return self._answer(200, record_document(stable, stable, [], []))
        self._answer(404, b"")

    do_GET = _serve
    do_PUT = _serve
    do_POST = _serve


class OtherHandler(Handler):
    listener = "other"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--db")  # accepted for the launcher's sake; nothing is stored
    parser.add_argument("--base-path", default="/oslc")
    args, _ = parser.parse_known_args()
    STATE["base_path"] = args.base_path
    main_server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    other_server = ThreadingHTTPServer(("127.0.0.1", 0), OtherHandler)
    main_server.daemon_threads = other_server.daemon_threads = True
    STATE["port"] = main_server.server_address[1]
    STATE["other_port"] = other_server.server_address[1]
    threading.Thread(target=other_server.serve_forever, daemon=True).start()
    print("tracker-sim listening on http://127.0.0.1:%d%s" % (STATE["port"], args.base_path),
          flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        main_server.serve_forever()
    except (KeyboardInterrupt, SystemExit):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
