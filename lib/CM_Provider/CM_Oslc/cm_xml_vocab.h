// The fixed XML vocabulary of the tracker documents: namespaces (prefix and URI) and tags. Each
// accessor returns a process-wide constant filled on first use (no locking: one caller thread).
// Readers match by namespace URI and local name; writers use the prefixes, which are therefore
// part of what is sent. Any module may call.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_VOCAB_H
#define CM_PROVIDER_CM_OSLC_CM_XML_VOCAB_H

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_xml_names.h"

const CM_XmlNamespace& ns_oslc();
const CM_XmlNamespace& ns_oslc_cm();
const CM_XmlNamespace& ns_mr();
const CM_XmlNamespace& ns_dcterms();
const CM_XmlNamespace& ns_rdf();
const CM_XmlNamespace& ns_rdfs();

const CM_XmlTag& tag_oslc_cm_ChangeRequest();
const CM_XmlTag& tag_oslc_cm_message();
const CM_XmlTag& tag_oslc_cm_tracksChangeSet();
const CM_XmlTag& tag_rdf_about();
const CM_XmlTag& tag_rdf_ID();
const CM_XmlTag& tag_rdf_resource();
const CM_XmlTag& tag_rdf_Description();
const CM_XmlTag& tag_rdfs_member();
const CM_XmlTag& tag_dcterms_title();

// Where the tracker's answers hold the record, for the streaming reader.
const CM_XmlRecordShape& record_shape();

#endif
