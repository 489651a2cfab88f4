"""Tests of the tracker simulator, run against the real server process on an ephemeral port."""

import base64
import http.client
import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

import rdflib

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "tracker_sim.py")
PYTHON = "/usr/bin/python3"

RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
RDFS = "http://www.w3.org/2000/01/rdf-schema#"
CM = "http://open-services.net/ns/cm#"
DCT = "http://purl.org/dc/terms/"
PUT_QUERY = "?oslc.properties=oslc_cm%3AtracksChangeSet"

SEED = {"records": [
    {"dbset": "Set A", "userdb": "DB1", "id": "MR00001",
     "links": [{"resource": "tw://vob/a.c@@/main/1", "title": "a.c version 1"},
               {"resource": "tw://vob/b.c@@/main/4", "title": "b.c & <friends> \"q\""}]},
    {"dbset": "Set A", "userdb": "DB1", "id": "MR/2 x", "links": []},
]}


class Sim:
    """One simulator process with its own temp folder."""

    def __init__(self, *extra, db=None, seed=SEED):
        self.dir = tempfile.mkdtemp(prefix="tracker-sim-test-")
        self.db = db or os.path.join(self.dir, "records.sqlite")
        args = [PYTHON, SIM, "--port", "0", "--db", self.db]
        if seed is not None:
            path = os.path.join(self.dir, "seed.json")
            with open(path, "w") as f:
                json.dump(seed, f)
            args += ["--seed", path]
        self.stderr = open(os.path.join(self.dir, "stderr.txt"), "w+")
        self.proc = subprocess.Popen(args + list(extra), stdout=subprocess.PIPE,
                                     stderr=self.stderr)
        self.pending = b""
        self.base = self._line("tracker-sim listening on ")
        self.control = self.root = self.base[:self.base.index("/", 8)]
        if self.base.startswith("https:"):
            self.control = self._line("tracker-sim control on ")
        split = urllib.parse.urlsplit(self.base)
        self.host, self.port = split.hostname, split.port

    def _line(self, prefix):
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.pending and select.select([fd], [], [], 10)[0]:
            piece = os.read(fd, 4096)
            if not piece:
                break
            self.pending += piece
        line, _, self.pending = self.pending.partition(b"\n")
        line = line.decode()
        if not line.startswith(prefix):
            self.stderr.seek(0)
            errors = self.stderr.read()
            self.cleanup()
            raise AssertionError("simulator did not start: %r %s" % (line, errors))
        return line[len(prefix):].strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()
        return self.proc.returncode

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def ctl(self, method, path, obj=None):
        conn = http.client.HTTPConnection(urllib.parse.urlsplit(self.control).netloc, timeout=10)
        conn.request(method, path, body=None if obj is None else json.dumps(obj))
        resp = conn.getresponse()
        data = resp.read()
        conn.close()
        return resp.status, json.loads(data) if data else None

    def record(self, dbset, userdb, rid):
        q = urllib.parse.quote
        return self.ctl("GET", "/_sim/records/%s/%s/%s" % (q(dbset, ""), q(userdb, ""),
                                                           q(rid, "")))[1]

    def conn(self, **kw):
        if self.base.startswith("https:"):
            return http.client.HTTPSConnection(self.host, self.port, timeout=10, **kw)
        return http.client.HTTPConnection(self.host, self.port, timeout=10)

    def request(self, method, url, body=None, headers=None):
        conn = self.conn()
        conn.request(method, url, body=body, headers=headers or {})
        resp = conn.getresponse()
        data = resp.read()
        conn.close()
        return resp, data


def record_path(sim, rid, dbset="Set%20A", userdb="DB1"):
    return "%s/repo/%s/db/%s/record?vqm.name=%s" % (
        urllib.parse.urlsplit(sim.base).path, dbset, userdb, urllib.parse.quote(rid, ""))


def server_messages(body):
    """The error texts as a client collects them: the root's first oslc_cm:message, then the
    oslc_cm:message child of every following sibling element."""
    root = ET.fromstring(body)
    children = list(root)
    tag = "{%s}message" % CM
    first = next(i for i, c in enumerate(children) if c.tag == tag)
    texts = [children[first].text]
    for sib in children[first + 1:]:
        msg = sib.find(tag)
        if msg is not None:
            texts.append(msg.text)
    return texts


def put_body(stable, links):
    items = "".join('<oslc_cm:tracksChangeSet rdf:resource=%s dcterms:title=%s/>' % (
        quoteattr(r), quoteattr(t)) for r, t in links)
    return ('<?xml version="1.0" encoding="UTF-8" standalone="no" ?>'
            '<rdf:RDF xmlns:rdf="%s" xmlns:oslc="http://open-services.net/ns/core#"'
            ' xmlns:oslc_cm="%s" xmlns:mr="http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/"'
            ' xmlns:dcterms="%s"><oslc_cm:ChangeRequest rdf:about="%s">%s'
            '</oslc_cm:ChangeRequest></rdf:RDF>' % (RDF, CM, DCT, stable, items)).encode()


class SimTestCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = Sim(*self.sim_args)
        self.addCleanup(self.sim.cleanup)


class RecordReadTest(SimTestCase):
    def test_record_document_has_the_shape_clients_walk(self):
        resp, body = self.sim.request("GET", record_path(self.sim, "MR00001"))
        self.assertEqual(resp.status, 200)
        self.assertEqual(resp.getheader("Content-Length"), str(len(body)))
        root = ET.fromstring(body)
        self.assertEqual(root.tag, "{%s}RDF" % RDF)
        desc = root.find("{%s}Description" % RDF)
        record = desc.find("{%s}member/{%s}ChangeRequest" % (RDFS, CM))
        stable = self.sim.record("Set A", "DB1", "MR00001")["stable_uri"]
        self.assertEqual(record.get("{%s}about" % RDF), stable)
        self.assertTrue(stable.startswith(self.sim.base + "/repo/Set%20A/db/DB1/record/"))
        tags = [c.tag for c in record]
        first = tags.index("{%s}tracksChangeSet" % CM)
        links = record[first:first + 2]
        self.assertTrue(all(c.tag == "{%s}tracksChangeSet" % CM for c in links))
        self.assertNotIn("{%s}tracksChangeSet" % CM, tags[first + 2:], "links are consecutive")
        titles = {d.get("{%s}about" % RDF): d.find("{%s}title" % DCT).text
                  for d in root.findall("{%s}Description" % RDF)[1:]}
        got = [(c.get("{%s}resource" % RDF), titles["#" + c.get("{%s}ID" % RDF)]) for c in links]
        self.assertEqual(got, [(x["resource"], x["title"]) for x in SEED["records"][0]["links"]])

    def test_record_document_is_rdf(self):
        _, body = self.sim.request("GET", record_path(self.sim, "MR00001"))
        graph = rdflib.Graph().parse(data=body, format="xml")
        stable = rdflib.URIRef(self.sim.record("Set A", "DB1", "MR00001")["stable_uri"])
        objects = set(graph.objects(stable, rdflib.URIRef(CM + "tracksChangeSet")))
        self.assertEqual(objects, {rdflib.URIRef("tw://vob/a.c@@/main/1"),
                                   rdflib.URIRef("tw://vob/b.c@@/main/4")})

    def test_escaped_ids_and_empty_link_lists(self):
        resp, body = self.sim.request("GET", record_path(self.sim, "MR/2 x"))
        self.assertEqual(resp.status, 200)
        record = ET.fromstring(body).find(".//{%s}ChangeRequest" % CM)
        self.assertIsNone(record.find("{%s}tracksChangeSet" % CM))

    def test_unknown_record_is_404_with_messages(self):
        resp, body = self.sim.request("GET", record_path(self.sim, "MR404"))
        self.assertEqual(resp.status, 404)
        self.assertEqual(server_messages(body), [
            'The record "MR404" does not exist.',
            'No record with this id was found in user database "DB1" of database set "Set A".'])
        resp, body = self.sim.request("GET", record_path(self.sim, "MR00001", dbset="Other"))
        self.assertEqual(resp.status, 404)
        resp, _ = self.sim.request("GET", "/elsewhere")
        self.assertEqual(resp.status, 404)

    def test_keep_alive_reuses_one_connection(self):
        conn = self.sim.conn()
        for _ in range(3):
            conn.request("GET", record_path(self.sim, "MR00001"))
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            resp.read()
        conn.close()
        _, stats = self.sim.ctl("GET", "/_sim/stats")
        self.assertEqual((stats["requests"], stats["connections"]), (3, 1))
        _, log = self.sim.ctl("GET", "/_sim/log")
        self.assertEqual(len({e["connection"] for e in log}), 1)


class UpdateTest(SimTestCase):
    def stable(self, rid="MR00001"):
        return self.sim.record("Set A", "DB1", rid)["stable_uri"]

    def put(self, url, body, headers=None):
        return self.sim.request("PUT", url, body, headers)

    def test_put_replaces_exactly_the_links(self):
        stable = self.stable()
        links = [("tw://vob/c.c@@/main/2", "c & d"), ("tw://vob/a.c@@/main/1", "renamed")]
        resp, _ = self.put(stable + PUT_QUERY, put_body(stable, links))
        self.assertEqual(resp.status, 200)
        rec = self.sim.record("Set A", "DB1", "MR00001")
        self.assertEqual([(x["resource"], x["title"]) for x in rec["links"]], links)
        self.assertEqual(rec["stable_uri"], stable)
        resp, _ = self.put(stable + "?oslc.properties=oslc_cm:tracksChangeSet",
                           put_body(stable, []))
        self.assertEqual(resp.status, 200, "an unescaped query is accepted as well")
        self.assertEqual(self.sim.record("Set A", "DB1", "MR00001")["links"], [])

    def test_a_read_document_can_be_written_back(self):
        _, doc = self.sim.request("GET", record_path(self.sim, "MR00001"))
        stable = self.stable()
        self.sim.ctl("POST", "/_sim/records", {"dbset": "Set A", "userdb": "DB1",
                                               "id": "MR00001", "links": []})
        resp, _ = self.put(stable + PUT_QUERY, doc)
        self.assertEqual(resp.status, 200)
        self.assertEqual(self.sim.record("Set A", "DB1", "MR00001")["links"],
                         SEED["records"][0]["links"])

    def test_large_bodies_take_the_fast_path(self):
        stable = self.stable()
        links = [("tw://vob/f%05d.c@@/main/1" % i, "file %d" % i) for i in range(4000)]
        body = put_body(stable, links)
        self.assertGreater(len(body), 256 * 1024)
        resp, _ = self.put(stable + PUT_QUERY, body)
        self.assertEqual(resp.status, 200)
        rec = self.sim.record("Set A", "DB1", "MR00001")
        self.assertEqual(len(rec["links"]), 4000)
        self.assertEqual(rec["links"][3999], {"resource": links[3999][0], "title": "file 3999"})

    def test_refused_bodies_leave_the_record_alone(self):
        stable = self.stable()
        before = self.sim.record("Set A", "DB1", "MR00001")["links"]
        bad = {
            "not xml": b"<rdf:RDF><broken>",
            "not rdf": put_body(stable, [("tw://x", "x")]).replace(
                b'rdf:resource="tw://x"', b'rdf:resource="tw://x" rdf:nodeID="n1"'),
            "other record": put_body(stable + "9", [("tw://x", "x")]),
            "doctype": b'<!DOCTYPE r [<!ENTITY e "x">]>' + put_body(stable, [])[38:],
            "no resource": put_body(stable, []).replace(
                b"</oslc_cm:ChangeRequest>", b"<oslc_cm:tracksChangeSet/></oslc_cm:ChangeRequest>"),
        }
        for name, body in bad.items():
            with self.subTest(name):
                resp, data = self.put(stable + PUT_QUERY, body)
                self.assertEqual(resp.status, 400)
                self.assertEqual(server_messages(data)[0], "The request body could not be read.")
        resp, _ = self.put(stable, put_body(stable, []))
        self.assertEqual(resp.status, 400, "a PUT that is not selective is refused")
        resp, _ = self.put(stable + "?oslc.properties=dcterms%3Atitle", put_body(stable, []))
        self.assertEqual(resp.status, 400)
        self.assertEqual(self.sim.record("Set A", "DB1", "MR00001")["links"], before)
        resp, data = self.put(stable.rsplit("/", 1)[0] + "/999" + PUT_QUERY, put_body(stable, []))
        self.assertEqual(resp.status, 404)
        self.assertEqual(len(server_messages(data)), 2)

    def test_log_shows_the_request_as_sent(self):
        stable = self.stable()
        body = put_body(stable, [("tw://x", "x")])
        self.put(stable + PUT_QUERY, body, {"X-First": "1", "Content-Type": "application/rdf+xml"})
        _, log = self.sim.ctl("GET", "/_sim/log")
        entry = log[-1]
        self.assertEqual((entry["method"], entry["query"], entry["status"]),
                         ("PUT", "oslc.properties=oslc_cm%3AtracksChangeSet", 200))
        self.assertEqual(entry["path"], urllib.parse.urlsplit(stable).path)
        self.assertEqual(entry["body"], body.decode())
        names = [h[0] for h in entry["header_list"]]
        self.assertLess(names.index("X-First"), names.index("Content-Type"))
        self.assertEqual(self.sim.ctl("POST", "/_sim/log/clear")[0], 200)
        self.assertEqual(self.sim.ctl("GET", "/_sim/log")[1], [])


class AuthTest(SimTestCase):
    sim_args = ("--user", "alice:s3cret", "--user", "bob:pw:with:colons",
                "--user", "jörg:pässword")

    def get(self, user=None, cookie=None):
        headers = {}
        if user:
            headers["Authorization"] = "Basic " + base64.b64encode(user.encode()).decode()
        if cookie:
            headers["Cookie"] = cookie
        return self.sim.request("GET", record_path(self.sim, "MR00001"), headers=headers)

    def test_basic_auth(self):
        resp, _ = self.get()
        self.assertEqual(resp.status, 401)
        self.assertEqual(resp.getheader("WWW-Authenticate"), 'Basic realm="tracker-sim"')
        self.assertEqual(self.get("alice:wrong")[0].status, 401)
        self.assertEqual(self.get("mallory:s3cret")[0].status, 401)
        self.assertEqual(self.get("alice:s3cret")[0].status, 200)
        self.assertEqual(self.get("bob:pw:with:colons")[0].status, 200)
        self.assertEqual(self.get("jörg:pässword")[0].status, 200)
        self.assertEqual(self.get("jörg:passwörd")[0].status, 401)

    def test_session_cookie_replaces_basic_auth(self):
        resp, _ = self.get("alice:s3cret")
        set_cookie = resp.getheader("Set-Cookie")
        self.assertRegex(set_cookie, r"^JSESSIONID=[0-9A-F]{32}; Path=/$")
        cookie = set_cookie.split(";")[0]
        resp, _ = self.get(cookie="other=1; " + cookie)
        self.assertEqual(resp.status, 200)
        self.assertIsNone(resp.getheader("Set-Cookie"), "a known session gets no new cookie")
        self.assertEqual(self.get(cookie="JSESSIONID=0000")[0].status, 401)
        resp, _ = self.get("alice:s3cret", cookie="JSESSIONID=0000")
        self.assertNotEqual(resp.getheader("Set-Cookie").split(";")[0], cookie)
        self.sim.ctl("POST", "/_sim/sessions/clear")
        self.assertEqual(self.get(cookie=cookie)[0].status, 401)

    def test_control_endpoints_need_no_auth(self):
        self.assertEqual(self.sim.ctl("GET", "/_sim/stats")[0], 200)


class FaultTest(SimTestCase):
    def fault(self, **fields):
        status, _ = self.sim.ctl("POST", "/_sim/fault", fields)
        self.assertEqual(status, 200)

    def get(self, rid="MR00001"):
        return self.sim.request("GET", record_path(self.sim, rid))

    def test_count_and_match(self):
        self.fault(mode="500", count=2, match="vqm.name=MR00001")
        self.assertEqual(self.get("MR/2 x")[0].status, 200, "no match: no fault")
        resp, body = self.get()
        self.assertEqual(resp.status, 500)
        self.assertEqual(server_messages(body), ["Simulated server failure.",
                                                 "The tracker could not complete the request."])
        self.assertEqual(self.get()[0].status, 500)
        self.assertEqual(self.get()[0].status, 200)
        self.fault(mode="404", count=3)
        self.sim.ctl("POST", "/_sim/fault/clear")
        self.assertEqual(self.get()[0].status, 200)

    def test_replacement_answers(self):
        cases = [("html", 200, b"<html>"), ("notxml", 200, b"not XML"), ("204", 204, b""),
                 ("401", 401, b"oslc_cm:message"), ("404", 404, b"oslc_cm:message")]
        for mode, status, marker in cases:
            with self.subTest(mode):
                self.fault(mode=mode)
                resp, body = self.get()
                self.assertEqual(resp.status, status)
                self.assertIn(marker, body)
        self.assertEqual(self.sim.ctl("POST", "/_sim/fault", {"mode": "bogus"})[0], 400)
        self.assertEqual(self.sim.ctl("POST", "/_sim/fault", {"mode": "500", "count": 0})[0],
                         400)

    def test_shape_faults(self):
        def record():
            _, body = self.get()
            return ET.fromstring(body)
        self.fault(mode="no-member")
        doc = record()
        self.assertIsNone(doc.find(".//{%s}member" % RDFS))
        self.assertIsNotNone(doc.find(".//{%s}ChangeRequest" % CM))
        self.fault(mode="link-no-id")
        links = record().findall(".//{%s}tracksChangeSet" % CM)
        self.assertEqual([x.get("{%s}ID" % RDF) for x in links], [None, "link2"])
        self.fault(mode="desc-no-title")
        descs = {d.get("{%s}about" % RDF): d for d in record().findall("{%s}Description" % RDF)}
        self.assertIsNone(descs["#link1"].find("{%s}title" % DCT))
        self.assertIsNotNone(descs["#link2"].find("{%s}title" % DCT))

    def test_broken_connections(self):
        self.fault(mode="close-mid-body")
        conn = self.sim.conn()
        conn.request("GET", record_path(self.sim, "MR00001"))
        resp = conn.getresponse()
        with self.assertRaises(http.client.IncompleteRead):
            resp.read()
        conn.close()
        self.fault(mode="stall", seconds=0.3)
        conn = self.sim.conn()
        conn.request("GET", record_path(self.sim, "MR00001"))
        resp = conn.getresponse()
        self.assertEqual(resp.status, 200)
        with self.assertRaises(http.client.IncompleteRead):
            resp.read()
        conn.close()
        self.fault(mode="lf-headers")
        with socket.create_connection((self.sim.host, self.sim.port), timeout=10) as sock:
            sock.sendall(b"GET /oslc/x HTTP/1.1\r\nHost: h\r\n\r\n")
            data = b""
            while True:
                piece = sock.recv(65536)
                if not piece:
                    break
                data += piece
        self.assertTrue(data.startswith(b"HTTP/1.1 500 Internal Server Error\nContent-Type"))
        self.assertNotIn(b"\r\n", data.split(b"\n\n")[0])
        self.fault(mode="reset")
        with self.assertRaises((ConnectionError, http.client.RemoteDisconnected)):
            self.get()
        self.assertEqual(self.get()[0].status, 200, "the server lives on")
        _, log = self.sim.ctl("GET", "/_sim/log")
        self.assertEqual([e.get("fault") for e in log[-5:]],
                         ["close-mid-body", "stall", "lf-headers", "reset", None])

    def test_redirect_and_huge(self):
        self.fault(mode="redirect", location="file:///etc/hostname")
        resp, _ = self.get()
        self.assertEqual((resp.status, resp.getheader("Location")), (302, "file:///etc/hostname"))
        self.fault(mode="huge", bytes=3 * 1024 * 1024 + 5, chunked=True)
        resp, body = self.get()
        self.assertEqual((resp.status, len(body)), (200, 3 * 1024 * 1024 + 5))
        self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")


class ConditionalUpdateTest(SimTestCase):
    """ETags and If-Match: what keeps two writers from erasing each other's links."""

    def read(self, rid="MR00001"):
        resp, _ = self.sim.request("GET", record_path(self.sim, rid))
        self.assertEqual(resp.status, 200)
        return resp.getheader("ETag")

    def put(self, links, if_match=None):
        stable = self.sim.record("Set A", "DB1", "MR00001")["stable_uri"]
        headers = {} if if_match is None else {"If-Match": if_match}
        return self.sim.request("PUT", stable + PUT_QUERY, put_body(stable, links), headers)

    def links(self):
        return [x["resource"] for x in self.sim.record("Set A", "DB1", "MR00001")["links"]]

    def test_every_update_gets_a_new_tag(self):
        first = self.read()
        resp, _ = self.put([("tw://x", "one")], first)
        self.assertEqual(resp.status, 200)
        second = resp.getheader("ETag")
        self.assertNotEqual(first, second)
        self.assertEqual(self.read(), second)
        # Same number of links, other content: the tag still moves.
        resp, _ = self.put([("tw://y", "two")], second)
        self.assertEqual(resp.status, 200)
        self.assertNotIn(resp.getheader("ETag"), (first, second))
        # Seeding replaces the record, which is a change too.
        self.sim.ctl("POST", "/_sim/records", {"dbset": "Set A", "userdb": "DB1",
                                               "id": "MR00001", "links": []})
        self.assertNotIn(self.read(), (first, second, resp.getheader("ETag")))

    def test_if_match_decides(self):
        current = self.read()
        other = self.read("MR/2 x")
        weak = "W/" + current
        cases = [(current.replace("-", "-9"), 412), (weak, 412), (other, 412), ('"junk"', 412),
                 ('"0-0", ' + current, 200), ("*", 200)]
        for tag, status in cases:
            with self.subTest(tag):
                before = self.links()
                resp, body = self.put([("tw://%s" % status, "t")], tag)
                self.assertEqual(resp.status, status)
                if status == 412:
                    self.assertEqual(self.links(), before, "a refused update writes nothing")
                    self.assertIn("changed since it was read", server_messages(body)[0])
                current = self.read()

    def test_concurrent_updates_with_one_tag_let_exactly_one_through(self):
        tag = self.read()
        results = []
        lock = threading.Lock()

        def writer(n):
            resp, _ = self.put([("tw://writer/%d" % n, "w")], tag)
            with lock:
                results.append((resp.status, n))
        threads = [threading.Thread(target=writer, args=(n,)) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        winners = [n for status, n in results if status == 200]
        self.assertEqual(len(winners), 1, results)
        self.assertEqual(sorted(s for s, _ in results), [200] + [412] * 11)
        self.assertEqual(self.links(), ["tw://writer/%d" % winners[0]])

    def test_race_fault_changes_the_record_after_the_read(self):
        self.sim.ctl("POST", "/_sim/fault", {"mode": "race", "resource": "tw://other"})
        resp, _ = self.put([("tw://mine", "m")], None)  # PUTs pass a race fault by
        self.assertEqual(resp.status, 200)
        tag = self.read()
        self.assertEqual(self.links(), ["tw://mine", "tw://other"])
        resp, _ = self.put([("tw://mine", "m"), ("tw://second", "s")], tag)
        self.assertEqual(resp.status, 412)
        resp, _ = self.put([("tw://mine", "m"), ("tw://other", ""), ("tw://second", "s")],
                           self.read())
        self.assertEqual(resp.status, 200)

    def test_lost_race_faults_refuse_only_updates(self):
        for mode in ("412", "409"):
            with self.subTest(mode):
                self.sim.ctl("POST", "/_sim/fault", {"mode": mode})
                tag = self.read()  # GETs pass these faults by
                before = self.links()
                resp, body = self.put([("tw://lost", "l")], tag)
                self.assertEqual(resp.status, int(mode))
                self.assertIn("another writer", server_messages(body)[0])
                self.assertEqual(self.links(), before)
                self.assertEqual(self.put([("tw://won", "w")], tag)[0].status, 200)

    def test_passing_failures_carry_retry_after(self):
        for mode, retry_after in (("503", "2"), ("429", None), ("502", None), ("504", "7")):
            with self.subTest(mode):
                fields = {"mode": mode}
                if retry_after is not None:
                    fields["retry_after"] = retry_after
                self.sim.ctl("POST", "/_sim/fault", fields)
                resp, body = self.sim.request("GET", record_path(self.sim, "MR00001"))
                self.assertEqual(resp.status, int(mode))
                self.assertEqual(resp.getheader("Retry-After"), retry_after)
                self.assertTrue(server_messages(body))


class NoEtagTest(SimTestCase):
    sim_args = ("--no-etag",)

    def test_no_tag_and_if_match_ignored(self):
        resp, _ = self.sim.request("GET", record_path(self.sim, "MR00001"))
        self.assertIsNone(resp.getheader("ETag"))
        stable = self.sim.record("Set A", "DB1", "MR00001")["stable_uri"]
        resp, _ = self.sim.request("PUT", stable + PUT_QUERY, put_body(stable, [("tw://a", "")]),
                                   {"If-Match": '"0-0"'})
        self.assertEqual(resp.status, 200)
        self.assertIsNone(resp.getheader("ETag"))


class RequireIfMatchTest(SimTestCase):
    sim_args = ("--require-if-match",)

    def test_update_without_if_match_is_refused(self):
        stable = self.sim.record("Set A", "DB1", "MR00001")["stable_uri"]
        before = self.sim.record("Set A", "DB1", "MR00001")["links"]
        resp, body = self.sim.request("PUT", stable + PUT_QUERY, put_body(stable, []))
        self.assertEqual(resp.status, 428)
        self.assertIn("If-Match", server_messages(body)[0])
        self.assertEqual(self.sim.record("Set A", "DB1", "MR00001")["links"], before)
        resp, _ = self.sim.request("GET", record_path(self.sim, "MR00001"))
        resp, _ = self.sim.request("PUT", stable + PUT_QUERY, put_body(stable, []),
                                   {"If-Match": resp.getheader("ETag")})
        self.assertEqual(resp.status, 200)


class PersistenceTest(unittest.TestCase):
    def test_records_survive_a_restart(self):
        first = Sim()
        self.addCleanup(first.cleanup)
        stable = first.record("Set A", "DB1", "MR00001")["stable_uri"]
        first.request("PUT", stable + PUT_QUERY, put_body(stable, [("tw://kept", "kept")]))
        self.assertEqual(first.stop(), 0, "SIGTERM is a clean stop")
        second = Sim(db=first.db, seed=None)
        self.addCleanup(second.cleanup)
        rec = second.record("Set A", "DB1", "MR00001")
        self.assertEqual(rec["links"], [{"resource": "tw://kept", "title": "kept"}])
        self.assertEqual(urllib.parse.urlsplit(rec["stable_uri"]).path,
                         urllib.parse.urlsplit(stable).path, "the record key is stable")

    def test_bad_start_options_fail_fast(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        seed = os.path.join(tmp, "seed.json")
        with open(seed, "w") as f:
            f.write('{"records": [{"dbset": "S"}]}')
        proc = subprocess.run([PYTHON, SIM, "--port", "0", "--db", os.path.join(tmp, "d"),
                               "--seed", seed], capture_output=True, timeout=30)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'"userdb"', proc.stderr)
        self.assertEqual(proc.stdout, b"")
        proc = subprocess.run([PYTHON, SIM, "--port", "0", "--db", os.path.join(tmp, "d"),
                               "--no-etag", "--require-if-match"], capture_output=True,
                              timeout=30)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"--no-etag", proc.stderr)


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


@unittest.skipUnless(shutil.which("openssl"), "needs the openssl program")
class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tracker-sim-tls-")
        p = lambda name: os.path.join(cls.dir, name)  # noqa: E731
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Test CA", "-keyout", p("ca.key"), "-out", p("ca.pem"))
        for name in ("server", "client"):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=%s" % name,
                    "-keyout", p(name + ".key"), "-out", p(name + ".csr"))
            openssl("x509", "-req", "-in", p(name + ".csr"), "-CA", p("ca.pem"), "-CAkey",
                    p("ca.key"), "-CAcreateserial", "-days", "2", "-out", p(name + ".pem"))
        cls.p = staticmethod(p)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def start(self, *extra):
        sim = Sim("--tls-cert", self.p("server.pem"), "--tls-key", self.p("server.key"), *extra)
        self.addCleanup(sim.cleanup)
        return sim

    def context(self, with_cert):
        ctx = ssl.create_default_context(cafile=self.p("ca.pem"))
        ctx.check_hostname = False
        if with_cert:
            ctx.load_cert_chain(self.p("client.pem"), self.p("client.key"))
        return ctx

    def get(self, sim, ctx):
        conn = http.client.HTTPSConnection(sim.host, sim.port, timeout=10, context=ctx)
        try:
            conn.request("GET", record_path(sim, "MR00001"))
            resp = conn.getresponse()
            resp.read()
            return resp.status
        finally:
            conn.close()

    def test_https(self):
        sim = self.start()
        self.assertTrue(sim.base.startswith("https://127.0.0.1:"))
        self.assertEqual(self.get(sim, self.context(False)), 200)
        self.assertTrue(sim.record("Set A", "DB1", "MR00001")["stable_uri"].startswith("https:"))

    def test_client_certificate_required(self):
        sim = self.start("--client-ca", self.p("ca.pem"))
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            self.get(sim, self.context(False))
        self.assertEqual(self.get(sim, self.context(True)), 200)
        _, log = sim.ctl("GET", "/_sim/log")
        self.assertEqual(log[-1]["client_cert"], "client")
        _, stats = sim.ctl("GET", "/_sim/stats")
        self.assertGreaterEqual(stats["tls_failures"], 1)


if __name__ == "__main__":
    unittest.main()
