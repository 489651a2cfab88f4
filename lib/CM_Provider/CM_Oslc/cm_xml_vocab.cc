// The fixed namespaces and tags. Each object starts nil and is filled by its first caller; a
// function-local object avoids depending on the order of static initialisation across files.
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"

namespace {

const CM_XmlNamespace& fill(CM_XmlNamespace& ns, const char* prefix, const char* uri) {
  if (ns.IsNil()) ns = CM_XmlNamespace(prefix, uri);
  return ns;
}

const CM_XmlTag& fill(CM_XmlTag& tag, const CM_XmlNamespace& ns, const char* name) {
  if (tag.IsNil()) tag = CM_XmlTag(ns, name);
  return tag;
}

}  // namespace

#define CM_XML_NAMESPACE(accessor, prefix, uri) \
  const CM_XmlNamespace& accessor() {           \
    static CM_XmlNamespace value;               \
    return fill(value, prefix, uri);            \
  }

#define CM_XML_TAG(accessor, ns_accessor, name) \
  const CM_XmlTag& accessor() {                 \
    static CM_XmlTag value;                     \
    return fill(value, ns_accessor(), name);    \
  }

CM_XML_NAMESPACE(ns_oslc, "oslc", "http://open-services.net/ns/core#")
CM_XML_NAMESPACE(ns_oslc_cm, "oslc_cm", "http://open-services.net/ns/cm#")
CM_XML_NAMESPACE(ns_mr, "mr", "http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/")
CM_XML_NAMESPACE(ns_dcterms, "dcterms", "http://purl.org/dc/terms/")
CM_XML_NAMESPACE(ns_rdf, "rdf", "http://www.w3.org/1999/02/22-rdf-syntax-ns#")
CM_XML_NAMESPACE(ns_rdfs, "rdfs", "http://www.w3.org/2000/01/rdf-schema#")

CM_XML_TAG(tag_oslc_cm_ChangeRequest, ns_oslc_cm, "ChangeRequest")
CM_XML_TAG(tag_oslc_cm_message, ns_oslc_cm, "message")
CM_XML_TAG(tag_oslc_cm_tracksChangeSet, ns_oslc_cm, "tracksChangeSet")
CM_XML_TAG(tag_rdf_about, ns_rdf, "about")
CM_XML_TAG(tag_rdf_ID, ns_rdf, "ID")
CM_XML_TAG(tag_rdf_resource, ns_rdf, "resource")
CM_XML_TAG(tag_rdf_Description, ns_rdf, "Description")
CM_XML_TAG(tag_rdfs_member, ns_rdfs, "member")
CM_XML_TAG(tag_dcterms_title, ns_dcterms, "title")

const CM_XmlRecordShape& record_shape() {
  static const CM_XmlRecordShape shape{tag_rdf_Description(), tag_rdfs_member(),
                                       tag_oslc_cm_ChangeRequest(), tag_dcterms_title()};
  return shape;
}
