"""Tests of the tracker simulator, run against the real server process on an ephemeral port."""

import base64
import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import unittest
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import quoteattr

import rdflib

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tracker_sim.py")
PYTHON = "/usr/bin/python3"
RDF, RDFS = "http://www.w3.org/1999/02/22-rdf-syntax-ns#", "http://www.w3.org/2000/01/rdf-schema#"
CM, DCT = "http://open-services.net/ns/cm#", "http://purl.org/dc/terms/"
PUT_QUERY = "?oslc.properties=oslc_cm%3AtracksChangeSet"
LINKS = [{"resource": "tw://vob/a.c@@/main/1", "title": "a.c version 1"},
         {"resource": "tw://vob/b.c@@/main/4", "title": "b.c & <friends> \"q\""}]
SEED = {"records": [{"dbset": "Set A", "userdb": "DB1", "id": "MR00001", "links": LINKS},
                    {"dbset": "Set A", "userdb": "DB1", "id": "MR/2 x", "links": []}]}


class Sim:
    """One simulator process with its own temp folder."""

    def __init__(self, *extra):
        self.dir = tempfile.mkdtemp(prefix="tracker-sim-test-")
        with open(os.path.join(self.dir, "seed.json"), "w") as f:
            json.dump(SEED, f)
        self.proc = subprocess.Popen([PYTHON, SIM, "--port", "0", "--db", os.path.join(
            self.dir, "records.sqlite"), "--seed", f.name] + list(extra), stdout=subprocess.PIPE,
            text=True)
        self.base = self.proc.stdout.readline().partition("tracker-sim listening on ")[2].strip()
        if not self.base:
            self.cleanup()
            raise AssertionError("the simulator did not start")
        self.control = self.base[:self.base.index("/", 8)]
        if self.base.startswith("https:"):
            self.control = self.proc.stdout.readline().split(" on ")[1].strip()
        split = urllib.parse.urlsplit(self.base)
        self.host, self.port = split.hostname, split.port

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc.stdout.close()
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

    def record(self, rid="MR00001"):
        return self.ctl("GET", "/_sim/records/Set%20A/DB1/" + urllib.parse.quote(rid, ""))[1]

    def request(self, method, url, body=None, headers=None, conn=None):
        own = conn is None
        conn = conn or http.client.HTTPConnection(self.host, self.port, timeout=10)
        try:
            conn.request(method, url, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp, resp.read()
        finally:
            if own:
                conn.close()

    def get(self, rid="MR00001", dbset="Set%20A", headers=None):
        return self.request("GET", "/oslc/repo/%s/db/DB1/record?vqm.name=%s" % (
            dbset, urllib.parse.quote(rid, "")), headers=headers)

    def put(self, links, if_match=None, query=PUT_QUERY, stable=None, body=None):
        stable = stable or self.record()["stable_uri"]
        items = "".join("<oslc_cm:tracksChangeSet rdf:resource=%s dcterms:title=%s/>" % (
            quoteattr(r), quoteattr(t)) for r, t in links)
        body = body or ('<?xml version="1.0" encoding="UTF-8"?><rdf:RDF xmlns:rdf="%s" '
                        'xmlns:oslc_cm="%s" xmlns:dcterms="%s"><oslc_cm:ChangeRequest '
                        'rdf:about="%s">%s</oslc_cm:ChangeRequest></rdf:RDF>' % (
                            RDF, CM, DCT, stable, items)).encode()
        headers = {} if if_match is None else {"If-Match": if_match}
        return self.request("PUT", stable + query, body, headers)

    def links(self):
        return [x["resource"] for x in self.record()["links"]]


def messages(body):
    """The error texts as a client collects them: the root's first oslc_cm:message, then the
    oslc_cm:message child of every following sibling element."""
    children = list(ET.fromstring(body))
    first = next(i for i, c in enumerate(children) if c.tag == "{%s}message" % CM)
    return [children[first].text] + [s.find("{%s}message" % CM).text
                                     for s in children[first + 1:]
                                     if s.find("{%s}message" % CM) is not None]


class SimTestCase(unittest.TestCase):
    sim_args = ()

    def setUp(self):
        self.sim = Sim(*self.sim_args)
        self.addCleanup(self.sim.cleanup)


class ServeTest(SimTestCase):
    def test_records_have_the_shape_clients_walk_unknown_ones_are_404(self):
        conn = http.client.HTTPConnection(self.sim.host, self.sim.port, timeout=10)
        for _ in range(2):
            resp, body = self.sim.request("GET", "/oslc/repo/Set%20A/db/DB1/record?vqm.name="
                                          "MR00001", conn=conn)
        conn.close()
        self.assertEqual((resp.status, resp.getheader("Content-Length")), (200, str(len(body))))
        record = ET.fromstring(body).find("{%s}Description/{%s}member/{%s}ChangeRequest" % (
            RDF, RDFS, CM))
        stable = self.sim.record()["stable_uri"]
        self.assertTrue(stable.startswith(self.sim.base + "/repo/Set%20A/db/DB1/record/"))
        self.assertEqual(record.get("{%s}about" % RDF), stable)
        tags = [c.tag for c in record]
        first = tags.index("{%s}tracksChangeSet" % CM)
        self.assertEqual(tags.count(tags[first]), 2)
        self.assertEqual(tags[first + 1], tags[first], "links are consecutive")
        titles = {d.get("{%s}about" % RDF): d.find("{%s}title" % DCT).text
                  for d in ET.fromstring(body).findall("{%s}Description" % RDF)[1:]}
        self.assertEqual([{"resource": c.get("{%s}resource" % RDF),
                           "title": titles["#" + c.get("{%s}ID" % RDF)]}
                          for c in record[first:first + 2]], LINKS)
        graph = rdflib.Graph().parse(data=body, format="xml")
        self.assertEqual(set(graph.objects(rdflib.URIRef(stable), rdflib.URIRef(
            CM + "tracksChangeSet"))), {rdflib.URIRef(x["resource"]) for x in LINKS})
        _, stats = self.sim.ctl("GET", "/_sim/stats")
        self.assertEqual((stats["requests"], stats["connections"]), (2, 1), "keep-alive")
        resp, body = self.sim.get("MR/2 x")
        self.assertIsNone(ET.fromstring(body).find(".//{%s}tracksChangeSet" % CM))
        resp, body = self.sim.get("MR404")
        self.assertEqual(resp.status, 404)
        self.assertEqual(messages(body), [
            'The record "MR404" does not exist.',
            'No record with this id was found in user database "DB1" of database set "Set A".'])
        self.assertEqual(self.sim.get(dbset="Other")[0].status, 404)
        self.assertEqual(self.sim.request("GET", "/elsewhere")[0].status, 404)

    def test_put_replaces_exactly_the_links_and_is_logged_as_sent(self):
        document = self.sim.get()[1]
        links = [("tw://vob/f%05d.c@@/main/1" % i, "file & %d" % i) for i in range(4000)]
        resp, _ = self.sim.put(links)  # over 256 KiB: the fast path
        self.assertEqual(resp.status, 200)
        self.assertEqual([(x["resource"], x["title"]) for x in self.sim.record()["links"]], links)
        resp, _ = self.sim.put([], query="?oslc.properties=oslc_cm:tracksChangeSet")
        self.assertEqual((resp.status, self.sim.links()), (200, []), "unescaped query")
        self.sim.ctl("POST", "/_sim/log/clear")
        self.sim.request("PUT", self.sim.record()["stable_uri"] + PUT_QUERY, document,
                         {"X-First": "1", "Content-Type": "application/rdf+xml"})
        self.assertEqual(self.sim.record()["links"], LINKS, "a read document can be written back")
        _, log = self.sim.ctl("GET", "/_sim/log")
        entry = log[-1]
        self.assertEqual((entry["method"], entry["query"], entry["status"]),
                         ("PUT", PUT_QUERY[1:], 200))
        names = [h[0] for h in entry["header_list"]]
        self.assertLess(names.index("X-First"), names.index("Content-Type"))

    def test_refused_bodies_leave_the_record_alone(self):
        stable = self.sim.record()["stable_uri"]
        valid = ('<?xml version="1.0"?><rdf:RDF xmlns:rdf="%s" xmlns:oslc_cm="%s" xmlns:dcterms='
                 '"%s"><oslc_cm:ChangeRequest rdf:about="%s">{}</oslc_cm:ChangeRequest>'
                 '</rdf:RDF>' % (RDF, CM, DCT, stable)).format
        link = '<oslc_cm:tracksChangeSet rdf:resource="tw://x"%s/>'
        cases = {"not xml": b"<rdf:RDF><broken>",
                 "not rdf": valid(link % ' rdf:nodeID="n1"').encode(),
                 "other record": valid("").replace(stable, stable + "9").encode(),
                 "doctype": ('<!DOCTYPE r [<!ENTITY e "x">]>' + valid("")[21:]).encode(),
                 "no resource": valid("<oslc_cm:tracksChangeSet/>").encode()}
        for name, data in cases.items():
            with self.subTest(name):
                resp, answer = self.sim.put([], body=data)
                self.assertEqual(resp.status, 400)
                self.assertEqual(messages(answer)[0], "The request body could not be read.")
        for query in ("", "?oslc.properties=dcterms%3Atitle"):
            self.assertEqual(self.sim.put([], query=query)[0].status, 400, "not selective")
        self.assertEqual(self.sim.record()["links"], LINKS)
        resp, answer = self.sim.put([], stable=stable.rsplit("/", 1)[0] + "/999")
        self.assertEqual((resp.status, len(messages(answer))), (404, 2))


class AuthTest(SimTestCase):
    sim_args = ("--user", "alice:s3cret", "--user", "bob:pw:with:colons", "--user", "jörg:pässword")

    def get(self, user=None, cookie=None):
        headers = {"Cookie": cookie} if cookie else {}
        if user:
            headers["Authorization"] = "Basic " + base64.b64encode(user.encode()).decode()
        return self.sim.get(headers=headers)[0]

    def test_basic_auth_and_sessions(self):
        self.assertEqual(self.get().getheader("WWW-Authenticate"), 'Basic realm="tracker-sim"')
        for user, status in (("alice:wrong", 401), ("mallory:s3cret", 401), ("alice:s3cret", 200),
                             ("bob:pw:with:colons", 200), ("jörg:pässword", 200),
                             ("jörg:passwörd", 401)):
            self.assertEqual(self.get(user).status, status, user)
        set_cookie = self.get("alice:s3cret").getheader("Set-Cookie")
        self.assertRegex(set_cookie, r"^JSESSIONID=[0-9A-F]{32}; Path=/$")
        cookie = set_cookie.split(";")[0]
        resp = self.get(cookie="other=1; " + cookie)
        self.assertEqual((resp.status, resp.getheader("Set-Cookie")), (200, None))
        self.assertEqual(self.get(cookie="JSESSIONID=0000").status, 401)
        self.assertNotIn(cookie, self.get("alice:s3cret", "JSESSIONID=0").getheader("Set-Cookie"))
        self.assertEqual(self.sim.ctl("POST", "/_sim/sessions/clear")[0], 200, "no auth needed")
        self.assertEqual(self.get(cookie=cookie).status, 401)


class FaultTest(SimTestCase):
    def fault(self, **fields):
        self.assertEqual(self.sim.ctl("POST", "/_sim/fault", fields)[0], 200)

    def test_count_match_and_answers(self):
        self.fault(mode="500", count=2, match="vqm.name=MR00001")
        self.assertEqual(self.sim.get("MR/2 x")[0].status, 200, "no match: no fault")
        resp, body = self.sim.get()
        self.assertEqual(messages(body), ["Simulated server failure.",
                                          "The tracker could not complete the request."])
        self.assertEqual([self.sim.get()[0].status for _ in range(2)], [500, 200])
        self.fault(mode="404", count=3)
        self.sim.ctl("POST", "/_sim/fault/clear")
        for mode, status, marker in (("html", 200, b"<html>"), ("notxml", 200, b"not XML"),
                                     ("204", 204, b""), ("401", 401, b"oslc_cm:message"),
                                     ("404", 404, b"oslc_cm:message")):
            self.fault(mode=mode)
            resp, body = self.sim.get()
            self.assertEqual(resp.status, status, mode)
            self.assertIn(marker, body)
        for bad in ({"mode": "bogus"}, {"mode": "500", "count": 0}):
            self.assertEqual(self.sim.ctl("POST", "/_sim/fault", bad)[0], 400)

    def test_shape_faults(self):
        record = lambda: ET.fromstring(self.sim.get()[1])  # noqa: E731
        self.fault(mode="no-member")
        self.assertIsNone(record().find(".//{%s}member" % RDFS))
        self.fault(mode="link-no-id")
        self.assertEqual([x.get("{%s}ID" % RDF) for x in record().findall(
            ".//{%s}tracksChangeSet" % CM)], [None, "link2"])
        self.fault(mode="desc-no-title")
        self.assertEqual([d.find("{%s}title" % DCT) is None for d in record().findall(
            "{%s}Description" % RDF)[1:]], [True, False])

    def test_broken_connections(self):
        for mode, fields in (("close-mid-body", {}), ("stall", {"seconds": 0.3})):
            self.fault(mode=mode, **fields)
            with self.assertRaises(http.client.IncompleteRead, msg=mode):
                self.sim.get()
        self.fault(mode="lf-headers")
        with socket.create_connection((self.sim.host, self.sim.port), timeout=10) as sock:
            sock.sendall(b"GET /oslc/x HTTP/1.1\r\nHost: h\r\n\r\n")
            data = sock.makefile("rb").read()
        self.assertTrue(data.startswith(b"HTTP/1.1 500 Internal Server Error\nContent-Type"))
        self.assertNotIn(b"\r\n", data.split(b"\n\n")[0])
        self.fault(mode="reset")
        with self.assertRaises((ConnectionError, http.client.RemoteDisconnected)):
            self.sim.get()
        self.fault(mode="redirect", location="file:///etc/hostname")
        resp, _ = self.sim.get()
        self.assertEqual((resp.status, resp.getheader("Location")), (302, "file:///etc/hostname"))
        self.fault(mode="huge", bytes=3 * 1024 * 1024 + 5, chunked=True)
        resp, body = self.sim.get()
        self.assertEqual((len(body), resp.getheader("Transfer-Encoding")), (3145733, "chunked"))
        _, log = self.sim.ctl("GET", "/_sim/log")
        self.assertEqual([e.get("fault") for e in log], ["close-mid-body", "stall", "lf-headers",
                                                         "reset", "redirect", "huge"])

    def test_passing_failures_carry_retry_after(self):
        for mode, retry_after in (("503", "2"), ("429", None), ("502", None), ("504", "7")):
            self.fault(mode=mode, **({"retry_after": retry_after} if retry_after else {}))
            resp, body = self.sim.get()
            self.assertEqual((resp.status, resp.getheader("Retry-After")), (int(mode), retry_after))
            self.assertTrue(messages(body))


class ConditionalUpdateTest(SimTestCase):
    """ETags and If-Match: what keeps two writers from erasing each other's links."""

    def tag(self, rid="MR00001"):
        return self.sim.get(rid)[0].getheader("ETag")

    def test_every_change_moves_the_tag(self):
        seen = [self.tag()]
        for links in ([("tw://x", "one")], [("tw://y", "two")]):  # same count, other content
            resp, _ = self.sim.put(links, seen[-1])
            self.assertEqual((resp.status, self.tag()), (200, resp.getheader("ETag")))
            seen.append(resp.getheader("ETag"))
        self.sim.ctl("POST", "/_sim/records", {"dbset": "Set A", "userdb": "DB1",
                                               "id": "MR00001", "links": []})
        self.assertNotIn(self.tag(), seen, "seeding is a change too")
        self.assertEqual(len(set(seen)), 3)

    def test_if_match_decides(self):
        current = self.tag()
        for tag, status in ((current.replace("-", "-9"), 412), ("W/" + current, 412),
                            (self.tag("MR/2 x"), 412), ('"junk"', 412),
                            ('"0-0", ' + current, 200), ("*", 200)):
            before = self.sim.links()
            resp, body = self.sim.put([("tw://%d" % status, "t")], tag)
            self.assertEqual(resp.status, status, tag)
            if status == 412:
                self.assertEqual(self.sim.links(), before, "a refused update writes nothing")
                self.assertIn("changed since it was read", messages(body)[0])
            current = self.tag()

    def test_concurrent_updates_with_one_tag_let_exactly_one_through(self):
        tag, stable, results = self.tag(), self.sim.record()["stable_uri"], []
        threads = [threading.Thread(target=lambda n=n: results.append(
            (self.sim.put([("tw://writer/%d" % n, "w")], tag, stable=stable)[0].status, n)))
            for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        winners = [n for status, n in results if status == 200]
        self.assertEqual(sorted(s for s, _ in results), [200] + [412] * 11)
        self.assertEqual(self.sim.links(), ["tw://writer/%d" % winners[0]])

    def test_race_and_lost_race_faults(self):
        self.sim.ctl("POST", "/_sim/fault", {"mode": "race", "resource": "tw://other"})
        self.assertEqual(self.sim.put([("tw://mine", "m")])[0].status, 200, "PUTs pass a race")
        tag = self.tag()
        self.assertEqual(self.sim.links(), ["tw://mine", "tw://other"])
        self.assertEqual(self.sim.put([("tw://second", "s")], tag)[0].status, 412)
        for mode in ("412", "409"):
            self.sim.ctl("POST", "/_sim/fault", {"mode": mode})
            tag, before = self.tag(), self.sim.links()  # GETs pass these faults by
            resp, body = self.sim.put([("tw://lost", "l")], tag)
            self.assertEqual((resp.status, self.sim.links()), (int(mode), before))
            self.assertIn("another writer", messages(body)[0])
            self.assertEqual(self.sim.put([("tw://won", "w")], tag)[0].status, 200)


class ModeTest(unittest.TestCase):
    def start(self, *args):
        sim = Sim(*args)
        self.addCleanup(sim.cleanup)
        return sim

    def test_no_etag_and_require_if_match(self):
        sim = self.start("--no-etag")
        self.assertIsNone(sim.get()[0].getheader("ETag"))
        resp, _ = sim.put([("tw://a", "")], '"0-0"')
        self.assertEqual((resp.status, resp.getheader("ETag")), (200, None), "If-Match ignored")
        sim = self.start("--require-if-match")
        resp, body = sim.put([])
        self.assertEqual((resp.status, sim.record()["links"]), (428, LINKS))
        self.assertIn("If-Match", messages(body)[0])
        self.assertEqual(sim.put([], sim.get()[0].getheader("ETag"))[0].status, 200)

    def test_bad_start_options_fail_fast(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        with open(os.path.join(tmp, "seed.json"), "w") as f:
            f.write('{"records": [{"dbset": "S"}]}')
        for extra, says in ((["--seed", f.name], b'"userdb"'),
                            (["--no-etag", "--require-if-match"], b"--no-etag")):
            proc = subprocess.run([PYTHON, SIM, "--port", "0", "--db", os.path.join(tmp, "d")] +
                                  extra, capture_output=True, timeout=30)
            self.assertEqual((proc.returncode, proc.stdout), (2, b""))
            self.assertIn(says, proc.stderr)


if __name__ == "__main__":
    unittest.main()
