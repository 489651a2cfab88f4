"""Tests of the tracker simulator, run against the real server process on an ephemeral port."""

import http.client
import json
import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest
import urllib.parse
from xml.sax.saxutils import quoteattr

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tracker_sim.py")
PYTHON = "/usr/bin/python3"
RDF = "http://www.w3.org/1999/02/22-rdf-syntax-ns#"
CM, DCT = "http://open-services.net/ns/cm#", "http://purl.org/dc/terms/"
PUT_QUERY = "?oslc.properties=oslc_cm%3AtracksChangeSet"
LINKS = [{"resource": "tw://vob/a.c@@/main/1", "title": "a.c version 1"},
         {"resource": "tw://vob/b.c@@/main/4", "title": "b.c & <friends> \"q\""}]
SEED = {"records": [{"dbset": "Set A", "userdb": "DB1", "id": "MR00001", "links": LINKS},
                    {"dbset": "Set A", "userdb": "DB1", "id": "MR/2 x", "links": []}]}


def document(stable, items):
    return ('<?xml version="1.0"?><rdf:RDF xmlns:rdf="%s" xmlns:oslc_cm="%s" xmlns:dcterms="%s">'
            '<oslc_cm:ChangeRequest rdf:about="%s">%s</oslc_cm:ChangeRequest></rdf:RDF>' % (
                RDF, CM, DCT, stable, items)).encode()


class SimTestCase(unittest.TestCase):
    """One simulator process with its own temp folder per test."""
    sim_args = ()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tracker-sim-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        seed = pathlib.Path(self.dir, "seed.json")
        seed.write_text(json.dumps(SEED))
        self.proc = subprocess.Popen([PYTHON, SIM, "--port", "0", "--db", os.path.join(
            self.dir, "records.sqlite"), "--seed", seed, *self.sim_args], stdout=subprocess.PIPE,
            text=True)
        self.addCleanup(self.proc.stdout.close)
        self.addCleanup(self.proc.wait, 10)
        self.addCleanup(self.proc.terminate)
        self.base = self.proc.stdout.readline().partition("tracker-sim listening on ")[2].strip()
        self.assertTrue(self.base, "the simulator did not start")
        self.addr = urllib.parse.urlsplit(self.base).netloc

    def ctl(self, method, path, obj=None):
        resp, data = self.request(method, path, None if obj is None else json.dumps(obj))
        return resp.status, json.loads(data) if data else None

    def record(self, rid="MR00001"):
        return self.ctl("GET", "/_sim/records/Set%20A/DB1/" + urllib.parse.quote(rid, ""))[1]

    def links(self):
        return [x["resource"] for x in self.record()["links"]]

    def request(self, method, url, body=None, headers=None):
        conn = http.client.HTTPConnection(self.addr, timeout=10)
        self.addCleanup(conn.close)
        conn.request(method, url, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp, resp.read()

    def get(self, rid="MR00001", dbset="Set%20A"):
        return self.request("GET", "/oslc/repo/%s/db/DB1/record?vqm.name=%s" % (
            dbset, urllib.parse.quote(rid, "")))

    def tag(self, rid="MR00001"):
        return self.get(rid)[0].getheader("ETag")

    def put(self, links, if_match=None, query=PUT_QUERY, stable=None, body=None):
        stable = stable or self.record()["stable_uri"]
        items = "".join("<oslc_cm:tracksChangeSet rdf:resource=%s dcterms:title=%s/>" % (
            quoteattr(r), quoteattr(t)) for r, t in links)
        return self.request("PUT", stable + query, body or document(stable, items),
                            {} if if_match is None else {"If-Match": if_match})

    def fault(self, **fields):
        self.assertEqual(self.ctl("POST", "/_sim/fault", fields)[0], 200)


class ServeTest(SimTestCase):
    # Well-formed reads, tags and keep-alive are what every C++ test of the engine walks.
    def test_put_replaces_exactly_the_links_and_refuses_what_it_cannot_read(self):
        self.assertEqual([self.get("MR404")[0].status, self.get(dbset="Other")[0].status],
                         [404, 404])
        read = self.get()[1]
        links = [("tw://vob/f%05d.c@@/main/1" % i, "file & %d" % i) for i in range(4000)]
        self.assertEqual(self.put(links)[0].status, 200)  # over 256 KiB: the fast path
        self.assertEqual([(x["resource"], x["title"]) for x in self.record()["links"]], links)
        self.ctl("POST", "/_sim/log/clear")
        self.request("PUT", self.record()["stable_uri"] + PUT_QUERY, read,
                     {"X-First": "1", "Content-Type": "text/xml"})
        self.assertEqual(self.record()["links"], LINKS, "a read document can be written back")
        entry = self.ctl("GET", "/_sim/log")[1][-1]
        self.assertEqual((entry["method"], entry["query"], entry["status"]),
                         ("PUT", PUT_QUERY[1:], 200))
        self.assertEqual([h for h in entry["header_list"] if h[0] in ("X-First", "Content-Type")],
                         [["X-First", "1"], ["Content-Type", "text/xml"]], "as sent, in order")
        stable = self.record()["stable_uri"]
        self.assertEqual(self.put([("tw://x", "t")])[0].status, 200)
        doc = document(stable, "").decode()
        for body in ("<rdf:RDF><broken>", doc.replace(stable, stable + "9"),
                     doc.replace("?>", '?><!DOCTYPE r [<!ENTITY e "x">]>'),
                     document(stable, "<oslc_cm:tracksChangeSet/>").decode()):
            self.assertEqual(self.put([], body=body.encode())[0].status, 400, body)
        for query in ("", "?oslc.properties=dcterms%3Atitle"):
            self.assertEqual(self.put([], query=query)[0].status, 400, "not selective")
        self.assertEqual(self.links(), ["tw://x"])
        self.assertEqual(self.put([], stable=stable.rsplit("/", 1)[0] + "/999")[0].status, 404)


class FaultTest(SimTestCase):
    def test_answer_faults(self):
        self.fault(mode="404", count=3)
        self.ctl("POST", "/_sim/fault/clear")
        self.assertEqual(self.get()[0].status, 200, "the 404s are gone again")
        # The modes no C++ test drives (those would fail on a wrong answer).
        for mode, extra, status in (("204", {}, 204),
                                    ("redirect", {"location": "file:///etc/hostname"}, 302)):
            self.fault(mode=mode, **extra)
            self.assertEqual(self.get()[0].status, status, mode)
        self.fault(mode="huge", bytes=3 * 1024 * 1024 + 5, chunked=True)
        resp, body = self.get()
        self.assertEqual((len(body), resp.getheader("Transfer-Encoding")), (3145733, "chunked"))
        for bad in ({"mode": "bogus"}, {"mode": "500", "count": 0}):
            self.assertEqual(self.ctl("POST", "/_sim/fault", bad)[0], 400)


class ConditionalUpdateTest(SimTestCase):
    """ETags and If-Match: what keeps two writers from erasing each other's links."""

    def test_every_change_moves_the_tag_and_if_match_decides(self):
        seen = [self.tag()]
        for links in ([("tw://x", "one")], [("tw://y", "two")]):  # same count, other content
            resp, _ = self.put(links, seen[-1])
            self.assertEqual((resp.status, self.tag()), (200, resp.getheader("ETag")))
            seen.append(resp.getheader("ETag"))
        self.ctl("POST", "/_sim/records", {"dbset": "Set A", "userdb": "DB1", "id": "MR00001",
                                           "links": []})
        self.assertNotIn(self.tag(), seen + [None], "seeding is a change too")
        self.assertEqual(len(set(seen)), 3)
        current = self.tag()
        for tag, status in ((current.replace("-", "-9"), 412), ("W/" + current, 412),
                            (self.tag("MR/2 x"), 412), ('"0-0", ' + current, 200), ("*", 200)):
            # A refused update writes nothing.
            expected = self.links() if status == 412 else ["tw://%d" % status]
            status_got = self.put([("tw://%d" % status, "t")], tag)[0].status
            self.assertEqual((status_got, self.links()), (status, expected), tag)


class RequireIfMatchTest(SimTestCase):
    sim_args = ("--require-if-match",)

    def test_unconditional_updates_are_refused(self):
        self.assertEqual((self.put([])[0].status, self.record()["links"]), (428, LINKS))
        self.assertEqual(self.put([], self.tag())[0].status, 200)


if __name__ == "__main__":
    unittest.main()
