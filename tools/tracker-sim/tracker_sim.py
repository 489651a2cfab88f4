#!/usr/bin/python3
"""tracker-sim: a small OSLC change-management tracker for tests, benchmarks and the demo.

Serves change-request records as RDF/XML, accepts selective PUTs of their version links, checks
basic authentication and JSESSIONID session cookies, keeps records in SQLite and can inject
faults on demand. Control endpoints under /_sim/ (JSON, no authentication) let tests seed
records, read the request log and arm faults. Run with /usr/bin/python3 (Debian's rdflib).
"""

import argparse
import base64
import collections
import http.server
import json
import re
import secrets
import signal
import socket
import sqlite3
import ssl
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

NS_RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
NS_RDFS = "http://www.w3.org/2000/01/rdf-schema#"
NS_OSLC = "http://open-services.net/ns/core#"
NS_OSLC_CM = "http://open-services.net/ns/cm#"
NS_DCTERMS = "http://purl.org/dc/terms/"
NS_MR = "http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/"

RDF_XML = "application/rdf+xml"
FAULT_MODES = ("500", "html", "notxml", "no-member", "link-no-id", "desc-no-title", "204",
               "close-mid-body", "stall", "401", "404", "huge", "redirect", "lf-headers",
               "reset", "412", "409", "race", "429", "502", "503", "504")
SHAPE_FAULTS = ("no-member", "link-no-id", "desc-no-title")
# Modes that let the request take its normal course and act around it.
PASS_FAULTS = SHAPE_FAULTS + ("race",)
# Modes that only a request of one method takes; the others pass them by.
FAULT_METHODS = {"412": "PUT", "409": "PUT", "race": "GET"}
# rdflib needs about 55 microseconds per link; above this size the PUT body is read with
# ElementTree alone so that a 10,000-link record still updates well within a second.
RDFLIB_MAX_BODY = 256 * 1024
MAX_BODY = 64 * 1024 * 1024
# The in-memory request log forgets its oldest entries beyond these limits, so that a long
# benchmark of large PUTs cannot exhaust memory.
LOG_MAX_ENTRIES = 100000
LOG_MAX_BODY_BYTES = 256 * 1024 * 1024
IDLE_TIMEOUT = 60.0

_INVALID_XML_CHARS = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")
_ATTR_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                               "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"})
_TEXT_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})


_NEEDS_ESCAPE = re.compile("[&<>\"\t\n\r\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def esc_attr(text):
    if _NEEDS_ESCAPE.search(text) is None:  # the common case, and a large share of GET time
        return text
    return _INVALID_XML_CHARS.sub("", text).translate(_ATTR_ESCAPES)


def esc_text(text):
    if _NEEDS_ESCAPE.search(text) is None:
        return text
    return _INVALID_XML_CHARS.sub("", text).translate(_TEXT_ESCAPES)


def seg(text):
    """One escaped path segment, the way the plug-in escapes its segments."""
    return urllib.parse.quote(text, safe="")


class BadRequest(Exception):
    pass


# ----------------------------------------------------------------------------------------------
# Storage


class Store:
    """Records in SQLite. One connection shared by all handler threads, guarded by a lock."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._db.execute(
            "CREATE TABLE IF NOT EXISTS records ("
            " key INTEGER PRIMARY KEY AUTOINCREMENT,"
            " dbset TEXT NOT NULL, userdb TEXT NOT NULL, id TEXT NOT NULL,"
            " title TEXT NOT NULL DEFAULT '', links TEXT NOT NULL,"
            " rev INTEGER NOT NULL DEFAULT 1,"
            " UNIQUE (dbset, userdb, id))")
        columns = [row[1] for row in self._db.execute("PRAGMA table_info(records)")]
        if "rev" not in columns:  # a file written before records had revisions
            self._db.execute("ALTER TABLE records ADD COLUMN rev INTEGER NOT NULL DEFAULT 1")

    def close(self):
        with self._lock:
            self._db.close()

    def _row(self, sql, args):
        with self._lock:
            row = self._db.execute(sql, args).fetchone()
        if row is None:
            return None
        return {"key": row[0], "dbset": row[1], "userdb": row[2], "id": row[3], "title": row[4],
                "links": json.loads(row[5]), "rev": row[6]}

    def by_id(self, dbset, userdb, rid):
        return self._row("SELECT key, dbset, userdb, id, title, links, rev FROM records"
                         " WHERE dbset = ? AND userdb = ? AND id = ?", (dbset, userdb, rid))

    def by_key(self, dbset, userdb, key):
        return self._row("SELECT key, dbset, userdb, id, title, links, rev FROM records"
                         " WHERE dbset = ? AND userdb = ? AND key = ?", (dbset, userdb, key))

    def upsert(self, rec):
        links = json.dumps(rec["links"])
        with self._lock:
            self._db.execute(
                "INSERT INTO records (dbset, userdb, id, title, links) VALUES (?, ?, ?, ?, ?)"
                " ON CONFLICT (dbset, userdb, id) DO UPDATE SET title = excluded.title,"
                " links = excluded.links, rev = rev + 1",
                (rec["dbset"], rec["userdb"], rec["id"], rec.get("title", ""), links))

    def set_links(self, key, links, revs=None):
        """Replaces the links and counts the revision up. With `revs` (a list) only when the
        record is at one of those revisions: the check and the write are one statement under
        the lock, so concurrent updates cannot both pass it. Returns the new revision, or None
        when the check failed."""
        with self._lock:
            if revs is None:
                cur = self._db.execute("UPDATE records SET links = ?, rev = rev + 1"
                                       " WHERE key = ?", (json.dumps(links), key))
            elif not revs:
                return None
            else:
                marks = ",".join("?" * len(revs))
                cur = self._db.execute("UPDATE records SET links = ?, rev = rev + 1"
                                       " WHERE key = ? AND rev IN (%s)" % marks,
                                       [json.dumps(links), key] + list(revs))
            if cur.rowcount != 1:
                return None
            return self._db.execute("SELECT rev FROM records WHERE key = ?", (key,)).fetchone()[0]

    def add_link(self, key, link):
        """Another writer's update: appends one link (unless present) as a new revision."""
        with self._lock:
            row = self._db.execute("SELECT links FROM records WHERE key = ?", (key,)).fetchone()
            if row is None:
                return
            links = json.loads(row[0])
            if all(item["resource"] != link["resource"] for item in links):
                links.append(link)
            self._db.execute("UPDATE records SET links = ?, rev = rev + 1 WHERE key = ?",
                             (json.dumps(links), key))


def check_record(obj):
    """Validates one seed record; returns it normalised or raises BadRequest."""
    if not isinstance(obj, dict):
        raise BadRequest("a record must be a JSON object")
    for name in ("dbset", "userdb", "id"):
        if not isinstance(obj.get(name), str) or not obj[name]:
            raise BadRequest('record field "%s" must be a non-empty string' % name)
    title = obj.get("title", "")
    if not isinstance(title, str):
        raise BadRequest('record field "title" must be a string')
    links = obj.get("links", [])
    if not isinstance(links, list):
        raise BadRequest('record field "links" must be a list')
    out = []
    for link in links:
        if not isinstance(link, dict) or not isinstance(link.get("resource"), str) \
                or not link["resource"] or not isinstance(link.get("title", ""), str):
            raise BadRequest('each link needs a non-empty "resource" and a string "title"')
        out.append({"resource": link["resource"], "title": link.get("title", "")})
    return {"dbset": obj["dbset"], "userdb": obj["userdb"], "id": obj["id"], "title": title,
            "links": out}


# ----------------------------------------------------------------------------------------------
# Documents


def error_body(messages, status):
    """OSLC error document. The first text is a direct oslc_cm:message child of the root and
    every further one sits in its own sibling element, which is where clients collect them."""
    parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<oslc:Error xmlns:oslc="', NS_OSLC,
             '" xmlns:oslc_cm="', NS_OSLC_CM, '">\n  <oslc_cm:message>', esc_text(messages[0]),
             '</oslc_cm:message>\n  <oslc:statusCode>', str(status), '</oslc:statusCode>\n',
             '  <oslc:message>', esc_text(messages[0]), '</oslc:message>\n']
    for text in messages[1:]:
        parts += ['  <oslc:extendedError>\n    <oslc_cm:message>', esc_text(text),
                  '</oslc_cm:message>\n  </oslc:extendedError>\n']
    parts.append('</oslc:Error>\n')
    return "".join(parts).encode("utf-8")


def record_body(rec, stable_uri, about_uri, shape=None):
    """The record as RDF/XML: query result description first, then one titled description per
    link. `shape` names a deliberate defect (a shape fault)."""
    links = rec["links"]
    out = ['<?xml version="1.0" encoding="UTF-8"?>\n<rdf:RDF xmlns:rdf="', NS_RDF,
           '" xmlns:rdfs="', NS_RDFS, '" xmlns:oslc="', NS_OSLC, '" xmlns:oslc_cm="',
           NS_OSLC_CM, '" xmlns:dcterms="', NS_DCTERMS, '" xmlns:mr="', NS_MR, '">\n',
           '  <rdf:Description rdf:about="', esc_attr(about_uri), '">\n']
    indent = "      "
    if shape != "no-member":
        out.append("    <rdfs:member>\n")
    else:
        indent = "    "
    out += [indent, '<oslc_cm:ChangeRequest rdf:about="', esc_attr(stable_uri), '">\n',
            indent, '  <dcterms:identifier>', esc_text(rec["id"]), '</dcterms:identifier>\n',
            indent, '  <dcterms:title>', esc_text(rec.get("title") or rec["id"]),
            '</dcterms:title>\n']
    link_open = indent + '  <oslc_cm:tracksChangeSet rdf:resource="'
    for i, link in enumerate(links, 1):
        if shape == "link-no-id" and i == 1:
            out += [link_open, esc_attr(link["resource"]), '"/>\n']
        else:
            out += [link_open, esc_attr(link["resource"]), '" rdf:ID="link', str(i), '"/>\n']
    out += [indent, '  <mr:dbid>', str(rec["key"]), '</mr:dbid>\n',
            indent, '</oslc_cm:ChangeRequest>\n']
    if shape != "no-member":
        out.append("    </rdfs:member>\n")
    out.append("  </rdf:Description>\n")
    for i, link in enumerate(links, 1):
        if shape == "desc-no-title" and i == 1:
            out += ['  <rdf:Description rdf:about="#link1">\n    <dcterms:description>',
                    esc_text(link["title"]), '</dcterms:description>\n  </rdf:Description>\n']
        else:
            out += ['  <rdf:Description rdf:about="#link', str(i), '">\n    <dcterms:title>',
                    esc_text(link["title"]), '</dcterms:title>\n  </rdf:Description>\n']
    out.append("</rdf:RDF>\n")
    return "".join(out).encode("utf-8")


_Q_ABOUT = "{%s}about" % NS_RDF
_Q_RESOURCE = "{%s}resource" % NS_RDF
_Q_ID = "{%s}ID" % NS_RDF
_Q_TYPE = "{%s}type" % NS_RDF
_Q_DESCRIPTION = "{%s}Description" % NS_RDF
_Q_CR = "{%s}ChangeRequest" % NS_OSLC_CM
_Q_TRACKS = "{%s}tracksChangeSet" % NS_OSLC_CM
_Q_TITLE = "{%s}title" % NS_DCTERMS


def _is_change_request(elem):
    if elem.tag == _Q_CR:
        return True
    if elem.tag != _Q_DESCRIPTION:
        return False
    return any(c.tag == _Q_TYPE and c.get(_Q_RESOURCE) == NS_OSLC_CM + "ChangeRequest"
               for c in elem)


def links_from_tree(root, stable_uri):
    """The links of the record `stable_uri` in document order, from the two shapes clients
    send: titles as dcterms:title attributes of the link elements, or (as in a record read)
    rdf:ID on the link plus a top-level description "#ID" holding dcterms:title."""
    if root.tag != "{%s}RDF" % NS_RDF:
        raise BadRequest("the root element is not rdf:RDF")
    records = [e for e in root.iter() if _is_change_request(e)]
    if not records:
        raise BadRequest("the body holds no oslc_cm:ChangeRequest")
    mine = [e for e in records if e.get(_Q_ABOUT) == stable_uri]
    if not mine:
        raise BadRequest("no oslc_cm:ChangeRequest in the body has rdf:about=\"%s\"" % stable_uri)
    described = {}
    for desc in root.iter(_Q_DESCRIPTION):
        if desc.get(_Q_ABOUT, "").startswith("#"):
            title = desc.find(_Q_TITLE)
            if title is not None:
                described.setdefault(desc.get(_Q_ABOUT), title.text or "")
    links, seen = [], set()
    for rec in mine:
        for elem in rec:
            if elem.tag != _Q_TRACKS:
                continue
            resource = elem.get(_Q_RESOURCE)
            if not resource:
                raise BadRequest("an oslc_cm:tracksChangeSet has no rdf:resource")
            title = elem.get(_Q_TITLE)
            if title is None and elem.get(_Q_ID):
                title = described.get("#" + elem.get(_Q_ID))
            if resource in seen:
                continue
            seen.add(resource)
            links.append({"resource": resource, "title": title or ""})
    return links


def links_from_put(body, stable_uri):
    """Parses a PUT body; returns the new link list or raises BadRequest."""
    if b"<!DOCTYPE" in body:
        raise BadRequest("document type declarations are not accepted")
    try:
        root = ET.fromstring(body)
    except ET.ParseError as exc:
        raise BadRequest("the body is not well-formed XML: %s" % exc)
    links = links_from_tree(root, stable_uri)
    if len(body) <= RDFLIB_MAX_BODY:
        check_with_rdflib(body, stable_uri, links)
    return links


def check_with_rdflib(body, stable_uri, links):
    """Reads the body as RDF/XML and checks it states what the element walk found."""
    import rdflib  # deferred: it takes a moment to import and only PUT needs it
    from rdflib.namespace import RDF
    graph = rdflib.Graph()
    try:
        graph.parse(data=body, format="xml", publicID=stable_uri)
    except Exception as exc:  # rdflib raises many unrelated types for malformed RDF
        raise BadRequest("the body is not valid RDF/XML: %s" % exc)
    record = rdflib.URIRef(stable_uri)
    if (record, RDF.type, rdflib.URIRef(NS_OSLC_CM + "ChangeRequest")) not in graph:
        raise BadRequest("the body does not type %s as oslc_cm:ChangeRequest" % stable_uri)
    objects = list(graph.objects(record, rdflib.URIRef(NS_OSLC_CM + "tracksChangeSet")))
    if any(not isinstance(o, rdflib.URIRef) for o in objects):
        raise BadRequest("an oslc_cm:tracksChangeSet value is not a resource")
    if len(set(objects)) != len(links):
        raise BadRequest("the body's oslc_cm:tracksChangeSet values could not be read")


def etag_of(rec):
    """Changes with every update of the record, also one that keeps the number of links."""
    return '"%d-%d"' % (rec["key"], rec["rev"])


def matching_revs(if_match, key):
    """The revisions of record `key` that an If-Match list names. Strong comparison: a weak
    tag (W/) never matches, nor does a tag of another record or one this server never made."""
    revs = []
    for tag in if_match.split(","):
        match = re.fullmatch(r'\s*"(\d+)-(\d+)"\s*', tag)
        if match and int(match.group(1)) == key:
            revs.append(int(match.group(2)))
    return revs


# ----------------------------------------------------------------------------------------------
# Server state


class Fault:
    def __init__(self, fields):
        if not isinstance(fields, dict):
            raise BadRequest("a fault must be a JSON object")
        self.mode = str(fields.get("mode", ""))
        if self.mode not in FAULT_MODES:
            raise BadRequest("unknown fault mode \"%s\"" % self.mode)
        try:
            self.count = int(fields.get("count", 1))
            self.seconds = float(fields.get("seconds") or 30)
            self.bytes = int(fields.get("bytes") or 300 * 1024 * 1024)
        except (TypeError, ValueError):
            raise BadRequest("count, seconds and bytes must be numbers")
        if self.count < 1 or self.seconds < 0 or self.bytes < 0:
            raise BadRequest("count must be at least 1, seconds and bytes not negative")
        self.match = str(fields.get("match") or "")
        self.chunked = bool(fields.get("chunked", False))
        self.location = str(fields.get("location") or "file:///etc/passwd")
        self.retry_after = fields.get("retry_after")
        if self.retry_after is not None:
            self.retry_after = str(self.retry_after)
            if any(c in self.retry_after for c in "\r\n"):
                raise BadRequest("retry_after must be one line")
        self.resource = str(fields.get("resource") or "")
        self.title = str(fields.get("title") or "added by another writer")
        self.method = FAULT_METHODS.get(self.mode)


class Sim:
    def __init__(self, args):
        self.base_path = "/" + args.base_path.strip("/") if args.base_path.strip("/") else ""
        self.store = Store(args.db)
        self.users = dict(args.user_map)
        self.sessions = {}
        self.log = collections.deque()
        self.log_body_bytes = 0
        self.faults = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.stats = {"connections": 0, "accepted": 0, "requests": 0, "control_requests": 0,
                      "tls_failures": 0, "log_dropped": 0}
        self.next_conn = 0
        self.log_file = open(args.log, "a", encoding="utf-8") if args.log else None
        self.base_url = ""
        self.etags = not args.no_etag
        self.require_if_match = args.require_if_match
        self.races = 0

    def count(self, name, delta=1):
        with self.lock:
            self.stats[name] += delta

    def take_fault(self, target, method):
        with self.lock:
            for fault in self.faults:
                if fault.match in target and fault.method in (None, method):
                    fault.count -= 1
                    if fault.count == 0:
                        self.faults.remove(fault)
                    return fault
        return None

    def add_log(self, entry):
        """Files the entry on arrival, so the log keeps the order in which requests came."""
        with self.lock:
            self.log.append(entry)
            self.log_body_bytes += len(entry["body"])
            while len(self.log) > LOG_MAX_ENTRIES or self.log_body_bytes > LOG_MAX_BODY_BYTES:
                self.log_body_bytes -= len(self.log.popleft()["body"])
                self.stats["log_dropped"] += 1

    def finish_log(self, entry):
        if self.log_file:
            with self.lock:
                self.log_file.write(json.dumps(entry) + "\n")
                self.log_file.flush()

    def new_session(self, user):
        token = secrets.token_hex(16).upper()
        with self.lock:
            self.sessions[token] = user
        return token

    def session_user(self, token):
        with self.lock:
            return self.sessions.get(token)


# ----------------------------------------------------------------------------------------------
# HTTP


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "tracker-sim/1.0"
    timeout = IDLE_TIMEOUT

    def version_string(self):
        return self.server_version

    @property
    def sim(self):
        return self.server.sim

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(IDLE_TIMEOUT)
            try:
                self.request.do_handshake()
            except (OSError, ssl.SSLError):
                self.sim.count("tls_failures")
                raise
        super().setup()
        with self.sim.lock:
            self.sim.next_conn += 1
            self.conn_id = self.sim.next_conn
        self.counted = False
        self.entry = None

    def log_message(self, fmt, *args):
        pass  # the request log is kept in memory and in --log

    def do_GET(self):
        self.dispatch()

    do_PUT = do_POST = do_DELETE = do_PATCH = do_HEAD = do_GET

    # -- plumbing --------------------------------------------------------------------------

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks, total = [], 0
            while True:
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                total += size
                if total > MAX_BODY:
                    raise BadRequest("request body too large")
                chunks.append(self.rfile.read(size))
                self.rfile.readline(1024)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0 or length > MAX_BODY:
            raise BadRequest("request body too large")
        return self.rfile.read(length) if length else b""

    def mark(self, status):
        """Records the status before the answer leaves, so a client that has its answer
        always finds it in the log."""
        if self.entry is not None:
            with self.sim.lock:
                self.entry["status"] = status

    def answer(self, status, body=b"", ctype=RDF_XML, headers=()):
        self.mark(status)
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if status != 204:
            if body:
                self.send_header("Content-Type", ctype + "; charset=UTF-8")
            self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)
        self.wfile.flush()

    def json_answer(self, status, obj):
        self.answer(status, json.dumps(obj).encode("utf-8"), "application/json")

    def dispatch(self):
        split = urllib.parse.urlsplit(self.path)
        path, query = split.path, split.query
        try:
            body = self.read_body()
        except (BadRequest, ValueError) as exc:
            self.close_connection = True
            status = 413 if isinstance(exc, BadRequest) else 400
            self.answer(status, error_body([str(exc)], status))
            return
        if path == "/_sim" or path.startswith("/_sim/") or self.server.control_only:
            self.sim.count("control_requests")
            try:
                self.control(path, body)
            except BadRequest as exc:
                self.json_answer(400, {"error": str(exc)})
            return
        self.sim.count("requests")
        if not self.counted:
            self.counted = True
            self.sim.count("connections")
        entry = {"method": self.command, "path": path, "query": query,
                 "headers": {}, "header_list": [[k, v] for k, v in self.headers.items()],
                 "body": body.decode("utf-8", "replace"), "status": 0,
                 "connection": self.conn_id, "time": time.time()}
        for name, value in self.headers.items():
            entry["headers"][name] = (entry["headers"][name] + ", " + value
                                      if name in entry["headers"] else value)
        if isinstance(self.request, ssl.SSLSocket):
            cert = self.request.getpeercert()
            if cert:
                subject = dict(x[0] for x in cert.get("subject", ()))
                entry["client_cert"] = subject.get("commonName", "")
        fault = self.sim.take_fault(self.path, self.command)
        if fault:
            entry["fault"] = fault.mode
        self.entry = entry
        self.sim.add_log(entry)
        try:
            self.serve(path, query, body, fault)
        except (ConnectionError, TimeoutError, ssl.SSLError):
            self.close_connection = True
            raise
        except Exception as exc:  # a simulator bug: answer it rather than drop the connection
            self.close_connection = True
            self.error(500, ["Internal simulator error.", repr(exc)])
        finally:
            self.entry = None
            self.sim.finish_log(entry)

    # -- tracker -----------------------------------------------------------------------------

    def serve(self, path, query, body, fault):
        mode = fault.mode if fault else None
        if mode and mode not in PASS_FAULTS:
            return self.serve_fault(fault)
        cookie = None
        user = None
        for part in self.headers.get_all("Cookie", []):
            for item in part.split(";"):
                name, _, value = item.strip().partition("=")
                if name == "JSESSIONID" and self.sim.session_user(value) is not None:
                    cookie, user = value, self.sim.session_user(value)
        set_cookie = []
        if cookie is None:
            user = self.basic_user()
            if user is None:
                return self.unauthorized()
            set_cookie = [("Set-Cookie", "JSESSIONID=%s; Path=/" % self.sim.new_session(user))]
        prefix = self.sim.base_path + "/"
        if not path.startswith(prefix):
            return self.not_found(["There is no resource at %s." % path], set_cookie)
        parts = [urllib.parse.unquote(p) for p in path[len(prefix):].split("/")]
        if len(parts) not in (5, 6) or parts[0] != "repo" or parts[2] != "db" \
                or parts[4] != "record":
            return self.not_found(["There is no resource at %s." % path], set_cookie)
        dbset, userdb = parts[1], parts[3]
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        if len(parts) == 5:
            if self.command not in ("GET", "HEAD"):
                return self.error(405, ["%s is not allowed on a record query." % self.command],
                                  set_cookie + [("Allow", "GET")])
            rid = params.get("vqm.name", [""])[0]
            if not rid:
                return self.error(400, ["The query parameter vqm.name is missing."], set_cookie)
            rec = self.sim.store.by_id(dbset, userdb, rid)
            if rec is None:
                return self.not_found(
                    ['The record "%s" does not exist.' % rid,
                     'No record with this id was found in user database "%s" of database set'
                     ' "%s".' % (userdb, dbset)], set_cookie)
            return self.send_record(rec, mode, set_cookie, fault)
        rec = None
        if parts[5].isdigit():
            rec = self.sim.store.by_key(dbset, userdb, int(parts[5]))
        if rec is None:
            return self.not_found(['The record with key "%s" does not exist.' % parts[5],
                                   'No such record in user database "%s" of database set "%s".'
                                   % (userdb, dbset)], set_cookie)
        if self.command in ("GET", "HEAD"):
            return self.send_record(rec, mode, set_cookie, fault)
        if self.command != "PUT":
            return self.error(405, ["%s is not allowed on a record." % self.command],
                              set_cookie + [("Allow", "GET, PUT")])
        props = ",".join(params.get("oslc.properties", [])).split(",")
        if "oslc_cm:tracksChangeSet" not in [p.strip() for p in props]:
            return self.error(400, ["Only selective updates of oslc_cm:tracksChangeSet are"
                                    " supported (oslc.properties is missing or names another"
                                    " property)."], set_cookie)
        if_match = self.headers.get("If-Match")
        if self.sim.require_if_match and if_match is None:
            return self.error(428, ["This tracker updates a record only with If-Match: read the"
                                    " record and send its ETag."], set_cookie)
        try:
            links = links_from_put(body, self.stable_uri(rec))
        except BadRequest as exc:
            return self.error(400, ["The request body could not be read.", str(exc)],
                              set_cookie)
        revs = None
        if self.sim.etags and if_match is not None and if_match.strip() != "*":
            revs = matching_revs(if_match, rec["key"])
        rev = self.sim.store.set_links(rec["key"], links, revs)
        if rev is None:
            return self.error(412, ["The record was changed since it was read: If-Match does"
                                    " not name its current ETag.",
                                    "Read the record again and repeat the update."], set_cookie)
        rec["links"], rec["rev"] = links, rev
        return self.send_record(rec, mode, set_cookie)

    def stable_uri(self, rec):
        return "%s/repo/%s/db/%s/record/%d" % (self.sim.base_url, seg(rec["dbset"]),
                                               seg(rec["userdb"]), rec["key"])

    def send_record(self, rec, shape, headers, fault=None):
        about = "%s/repo/%s/db/%s/record?vqm.name=%s" % (
            self.sim.base_url, seg(rec["dbset"]), seg(rec["userdb"]), seg(rec["id"]))
        body = record_body(rec, self.stable_uri(rec), about, shape)
        if self.sim.etags:
            headers = headers + [("ETag", etag_of(rec))]
        if fault is not None and fault.mode == "race":
            # Another writer gets in after this read was taken and before its answer leaves,
            # so the reader's next update always finds the record changed.
            with self.sim.lock:
                self.sim.races += 1
                number = self.sim.races
            self.sim.store.add_link(rec["key"], {
                "resource": fault.resource or "tw://sim/other-writer/%d" % number,
                "title": fault.title})
        self.answer(200, body, RDF_XML, headers)
        return 200

    def basic_user(self):
        """The authenticated user name; "" when no users are configured; None when refused."""
        auth = self.headers.get("Authorization", "")
        if not self.sim.users:
            return ""
        if not auth.startswith("Basic "):
            return None
        try:
            name, _, password = base64.b64decode(auth[6:].strip(), validate=True) \
                .decode("utf-8").partition(":")
        except (ValueError, UnicodeDecodeError):
            return None
        if name in self.sim.users and secrets.compare_digest(
                self.sim.users[name].encode("utf-8"), password.encode("utf-8")):
            return name
        return None

    def error(self, status, messages, headers=()):
        self.answer(status, error_body(messages, status), RDF_XML, list(headers))
        return status

    def not_found(self, messages, headers=()):
        return self.error(404, messages, headers)

    def unauthorized(self):
        return self.error(401, ["Authentication required: the user name or password is not"
                                " valid."], [("WWW-Authenticate", 'Basic realm="tracker-sim"')])

    def serve_fault(self, fault):
        mode = fault.mode
        if mode == "500":
            return self.error(500, ["Simulated server failure.",
                                    "The tracker could not complete the request."])
        if mode == "404":
            return self.not_found(["Simulated missing resource.", "Nothing is stored here."])
        if mode in ("412", "409"):
            return self.error(int(mode), ["Simulated lost race: another writer changed the"
                                          " record first.", "Nothing was written."])
        if mode in ("429", "502", "503", "504"):
            extra = []
            if fault.retry_after is not None:
                extra.append(("Retry-After", fault.retry_after))
            return self.error(int(mode), ["Simulated passing failure (%s)." % mode,
                                          "Try again later."], extra)
        if mode == "401":
            return self.unauthorized()
        if mode == "html":
            page = (b"<!DOCTYPE html>\n<html><head><title>Maintenance</title></head>"
                    b"<body><h1>The tracker is down for maintenance</h1></body></html>\n")
            self.answer(200, page, "text/html")
            return 200
        if mode == "notxml":
            self.answer(200, b"this is not XML at all \x01\x02 {][}\n", RDF_XML)
            return 200
        if mode == "204":
            self.answer(204)
            return 204
        if mode == "redirect":
            self.answer(302, b"", RDF_XML, [("Location", fault.location)])
            return 302
        if mode == "lf-headers":
            body = error_body(["Simulated answer with bare line feeds."], 500)
            head = ("HTTP/1.1 500 Internal Server Error\nContent-Type: %s\nContent-Length: %d\n"
                    "Connection: close\n\n" % (RDF_XML, len(body)))
            self.close_connection = True
            self.mark(500)
            self.wfile.write(head.encode("ascii") + body)
            self.wfile.flush()
            return 500
        self.close_connection = True
        if mode == "reset":
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                    b"\x01\x00\x00\x00\x00\x00\x00\x00")
            self.request.close()
            return 0
        if mode == "huge":
            return self.send_huge(fault)
        body = error_body(["Simulated partial answer."] * 40, 200)
        self.mark(200)
        self.send_response(200)
        self.send_header("Content-Type", RDF_XML + "; charset=UTF-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if mode == "close-mid-body":
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.request.shutdown(socket.SHUT_RDWR)
            return 200
        self.wfile.flush()  # stall: headers only, then silence until the time is up
        self.sim.stop.wait(fault.seconds)
        return 200

    def send_huge(self, fault):
        chunk = b"x" * (1024 * 1024)
        self.mark(200)
        self.send_response(200)
        self.send_header("Content-Type", RDF_XML)
        if fault.chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(fault.bytes))
        self.end_headers()
        left = fault.bytes
        try:
            while left > 0 and not self.sim.stop.is_set():
                piece = chunk[:min(left, len(chunk))]
                if fault.chunked:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                else:
                    self.wfile.write(piece)
                left -= len(piece)
            if fault.chunked:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except OSError:
            pass  # the client gave up, as it should
        return 200

    # -- control ---------------------------------------------------------------------------

    def control(self, path, body):
        sim = self.sim
        method = self.command
        req = None
        if method == "POST" and body:
            try:
                req = json.loads(body.decode("utf-8"))
            except (ValueError, UnicodeDecodeError):
                raise BadRequest("the body is not JSON")
        if method == "GET" and path.startswith("/_sim/records/"):
            parts = [urllib.parse.unquote(p) for p in path[len("/_sim/records/"):].split("/")]
            if len(parts) != 3:
                raise BadRequest("use /_sim/records/{dbset}/{userdb}/{id}")
            rec = sim.store.by_id(*parts)
            if rec is None:
                return self.json_answer(404, {"error": "no such record"})
            return self.json_answer(200, {"dbset": rec["dbset"], "userdb": rec["userdb"],
                                          "id": rec["id"], "title": rec["title"],
                                          "key": rec["key"], "stable_uri": self.stable_uri(rec),
                                          "etag": etag_of(rec), "links": rec["links"]})
        if method == "POST" and path == "/_sim/records":
            rec = check_record(req)
            sim.store.upsert(rec)
            stored = sim.store.by_id(rec["dbset"], rec["userdb"], rec["id"])
            return self.json_answer(200, {"id": stored["id"], "key": stored["key"],
                                          "stable_uri": self.stable_uri(stored)})
        if method == "GET" and path == "/_sim/log":
            with sim.lock:
                data = json.dumps(list(sim.log))
            return self.answer(200, data.encode("utf-8"), "application/json")
        if method == "POST" and path == "/_sim/log/clear":
            with sim.lock:
                sim.log.clear()
                sim.log_body_bytes = 0
            return self.json_answer(200, {})
        if method == "GET" and path == "/_sim/stats":
            with sim.lock:
                stats = dict(sim.stats)
            return self.json_answer(200, stats)
        if method == "POST" and path == "/_sim/fault":
            fault = Fault(req)
            with sim.lock:
                sim.faults.append(fault)
            return self.json_answer(200, {})
        if method == "POST" and path == "/_sim/fault/clear":
            with sim.lock:
                sim.faults.clear()
            return self.json_answer(200, {})
        if method == "POST" and path == "/_sim/sessions/clear":
            with sim.lock:
                sim.sessions.clear()
            return self.json_answer(200, {})
        return self.json_answer(404, {"error": "unknown control endpoint %s %s" % (method, path)})


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    request_queue_size = 128  # benchmarks open many connections at once

    def __init__(self, address, sim, tls_context, control_only=False):
        self.sim = sim
        self.tls_context = tls_context
        self.control_only = control_only
        super().__init__(address, Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        # Headers and body go out in separate writes; without this, Nagle's algorithm holds the
        # body back until the client's delayed ACK, about 40 ms per answer.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if not self.control_only:
            self.sim.count("accepted")
        if self.tls_context is not None:
            # The handshake runs in the connection's own thread (Handler.setup), so a client
            # that never completes it cannot hold up the accept loop.
            sock = self.tls_context.wrap_socket(sock, server_side=True,
                                                do_handshake_on_connect=False)
        return sock, addr

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, TimeoutError)):
            return  # the peer went away or failed the handshake: nothing to report
        super().handle_error(request, client_address)


# ----------------------------------------------------------------------------------------------
# Start-up


def parse_args(argv):
    ap = argparse.ArgumentParser(description="OSLC change-management tracker simulator")
    ap.add_argument("--host", default="127.0.0.1", help="loopback address to bind")
    ap.add_argument("--port", type=int, default=0, help="0 picks a free port")
    ap.add_argument("--db", required=True, help="SQLite file holding the records")
    ap.add_argument("--seed", help="JSON file of records to load at start")
    ap.add_argument("--users", help='JSON file: {"name": "password", ...}')
    ap.add_argument("--user", action="append", default=[], metavar="NAME:PASSWORD")
    ap.add_argument("--base-path", default="/oslc")
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--client-ca", help="require client certificates issued by this CA")
    ap.add_argument("--log", help="append every request as one JSON line to this file")
    ap.add_argument("--no-etag", action="store_true",
                    help="send no ETag and ignore If-Match, like a tracker without them")
    ap.add_argument("--require-if-match", action="store_true",
                    help="refuse a record update without If-Match (428)")
    args = ap.parse_args(argv)
    users = {}
    if args.users:
        with open(args.users, encoding="utf-8") as f:
            data = json.load(f)
        if isinstance(data, dict):
            users.update({str(k): str(v) for k, v in data.items()})
        elif isinstance(data, list):
            users.update({str(u["name"]): str(u["password"]) for u in data})
        else:
            ap.error("--users: expected an object of name: password")
    for item in args.user:
        name, sep, password = item.partition(":")
        if not sep or not name:
            ap.error("--user takes NAME:PASSWORD")
        users[name] = password
    args.user_map = users
    if bool(args.tls_cert) != bool(args.tls_key):
        ap.error("--tls-cert and --tls-key go together")
    if args.client_ca and not args.tls_cert:
        ap.error("--client-ca needs --tls-cert and --tls-key")
    if args.no_etag and args.require_if_match:
        ap.error("--require-if-match needs ETags: it cannot go with --no-etag")
    return args


def load_seed(store, path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    records = data.get("records") if isinstance(data, dict) else None
    if not isinstance(records, list):
        raise BadRequest('the seed file needs {"records": [...]}')
    for obj in records:
        store.upsert(check_record(obj))
    return len(records)


def main(argv):
    args = parse_args(argv)
    try:
        sim = Sim(args)
        if args.seed:
            load_seed(sim.store, args.seed)
        context = None
        if args.tls_cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(args.tls_cert, args.tls_key)
            if args.client_ca:
                context.load_verify_locations(args.client_ca)
                context.verify_mode = ssl.CERT_REQUIRED
        server = Server((args.host, args.port), sim, context)
        # With TLS the control endpoints are also served over plain HTTP on a port of their
        # own, so tests can drive a simulator that demands client certificates.
        control = Server((args.host, 0), sim, None, True) if context else None
    except (OSError, ValueError, BadRequest, sqlite3.Error, ssl.SSLError, KeyError) as exc:
        print("tracker-sim: cannot start: %s" % exc, file=sys.stderr, flush=True)
        return 2
    scheme = "https" if context else "http"
    sim.base_url = "%s://%s:%d%s" % (scheme, args.host, server.server_address[1], sim.base_path)

    # Stop signals stay blocked in every thread (the mask is inherited) and are taken by
    # sigwait below, so a stop request is seen at once and never lands inside a handler.
    stop_signals = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
    servers = [s for s in (server, control) if s]
    for s in servers:
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.05},
                         daemon=True).start()
    print("tracker-sim listening on %s" % sim.base_url, flush=True)
    if control:
        print("tracker-sim control on http://%s:%d" % (args.host, control.server_address[1]),
              flush=True)
    signal.sigwait(stop_signals)
    sim.stop.set()  # ends stalls and streams in progress
    for s in servers:
        s.shutdown()
        s.server_close()
    sim.store.close()
    if sim.log_file:
        sim.log_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
