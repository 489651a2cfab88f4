// Parse and walk a record read answer the size of a large record: 10,000 version links, each with
// its title description, walked the way the record read does (record element, links, titles).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"

namespace {

std::string make_record(int links) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\" "
      "xmlns:dcterms=\"http://purl.org/dc/terms/\">\n"
      "<rdf:Description rdf:about=\"http://127.0.0.1:1/oslc/repo/S/db/D/record?vqm.name=MR1\">"
      "<rdfs:member><oslc_cm:ChangeRequest "
      "rdf:about=\"http://127.0.0.1:1/oslc/repo/S/db/D/record/1\">\n";
  for (int i = 0; i < links; ++i) {
    const std::string n = std::to_string(i);
    xml += "<oslc_cm:tracksChangeSet rdf:resource=\"tw://vob/src/file" + n + ".c@@/main/br/" + n +
           "\" rdf:ID=\"L" + n + "\"/>\n";
  }
  xml += "</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>\n";
  for (int i = 0; i < links; ++i) {
    const std::string n = std::to_string(i);
    xml += "<rdf:Description rdf:about=\"#L" + n + "\"><dcterms:title>file" + n + ".c version " +
           n + " \xC3\xA9t\xC3\xA9</dcterms:title></rdf:Description>\n";
  }
  xml += "</rdf:RDF>\n";
  return xml;
}

// Returns the number of links whose title was found, or -1 on a navigation failure.
int parse_and_walk(const std::string& body) {
  CM_XmlParser parser(body);
  CM_XmlElem root, desc, member, record, link;
  if (parser.GetRoot(root) != 0) return -1;
  if (root.Child(tag_rdf_Description(), desc) != 0) return -1;
  if (desc.Child(tag_rdfs_member(), member) != 0) return -1;
  if (member.Child(tag_oslc_cm_ChangeRequest(), record) != 0) return -1;
  SUM_String stable_id;
  if (record.find_attribute(tag_rdf_about().QualifiedName(), stable_id) != 0) return -1;
  if (root.get_rdf_description_nodes(tag_rdf_Description().QualifiedName()) != 0) return -1;

  const SUM_String resource_name = tag_rdf_resource().QualifiedName();
  const SUM_String id_name = tag_rdf_ID().QualifiedName();
  int titles = 0;
  if (record.OptChild(tag_oslc_cm_tracksChangeSet(), link) != 0) return 0;
  do {
    SUM_String resource, id, title;
    if (link.find_attribute(resource_name, resource) != 0) return -1;
    if (link.find_attribute(id_name, id) != 0) return -1;
    if (root.get_body_from_nodelist(tag_dcterms_title(), SUM_String("#") + id, title) == 0) {
      ++titles;
    }
  } while (link.OptNextSibling(link) == 0);
  return titles;
}

void BM_ParseAndWalkRecord(benchmark::State& state) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const int links = static_cast<int>(state.range(0));
  const std::string body = make_record(links);
  for (auto _ : state) {
    int titles = parse_and_walk(body);
    if (titles != links) {
      state.SkipWithError("walk did not find every title");
      break;
    }
    benchmark::DoNotOptimize(titles);
  }
  state.counters["links"] = links;
  state.counters["body_bytes"] = static_cast<double>(body.size());
}

}  // namespace

BENCHMARK(BM_ParseAndWalkRecord)->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
