// CM_OslcBaseMr: the association engine. COMMIT creates one per call, gives it a copy of the
// provider's session (init) and the action map (do_modify_associations); for each record, in
// byte-wise order of the ids, it reads the record once, applies the record's actions to its links
// in memory and writes the link set back with at most one PUT. The update is conditional on the
// ETag of the read; when another writer got in between (409, 412) the record is read, its
// actions re-applied and written again, and passing failures are tried again (CM_OslcRetry has
// the limits and pauses). The first failing record ends the run; records before it stay
// written, records after it are not read. Owns its read and update requests and its session
// copy. One thread at a time; no exception leaves it.
// Provider status codes: 0 success, 10001 request, answer or link failure, 10005 record not
// found, 10006 credentials refused, 10008 (action level only) nothing to change.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_BASE_MR_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_BASE_MR_H

#include <functional>
#include <memory>
#include <string>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_oslc_get.h"
#include "CM_Provider/CM_Oslc/cm_oslc_retry.h"
#include "CM_Provider/CM_Oslc/cm_oslc_set.h"
#include "CM_Provider/cm_action_map.h"
#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_session.h"
#include "CM_Provider/cm_status.h"

class CM_OslcBaseMr {
 public:
  CM_OslcBaseMr();
  ~CM_OslcBaseMr();
  CM_OslcBaseMr(const CM_OslcBaseMr&) = delete;
  CM_OslcBaseMr& operator=(const CM_OslcBaseMr&) = delete;

  int init(const CM_Session& session);
  // Applies the whole map (left unchanged). 0 or the first failing record's status.
  int do_modify_associations(const CM_ActionMap& actions);
  // Reads the record and fills links. 0, 10001, 10005 or 10006.
  int do_get_associations(const std::string& record_id, CM_LinksMap& links);
  int do_read_all_properties(const std::string& record_id);
  int do_set_associations(const std::string& record_id, CM_LinksMap& links);
  int init_set_request(const SUM_String& action);
  // Adds the link or changes its title: 0, or 10008 when it is there with that title already.
  int associate_twversion(const std::string& universal_selector, const std::string& display_name,
                          CM_LinksMap& links);
  // Removes the link found by selector alone: 0, or 10008 when it is not there.
  int disassociate_twversion(const std::string& universal_selector, const std::string& display_name,
                             CM_LinksMap& links);
  static int map_oslc_status(int status);
  std::string get_error() const { return m_error_text; }

 private:
  // Applies one record's actions to its links; modified tells whether any changed them.
  int Pvt_ApplyActions(const CM_TraceScope& scope, const std::string& record_id,
                       const CM_ActionList& list, CM_LinksMap& links, bool& modified);
  // What applying the list in order with associate_twversion and disassociate_twversion does to
  // the links read, into edited, when none of it is traced: each selector's actions keep their
  // order, and the links are met in key order rather than searched for one action at a time.
  static void Pvt_ApplyInKeyOrder(const CM_ActionList& list, const CM_LinkList& read,
                                  CM_LinkList& edited, bool& modified);
  // do_get_associations and do_set_associations for links as lists, with the same statuses.
  int Pvt_GetLinkList(const std::string& record_id, CM_LinkList& list);
  int Pvt_SetLinkList(const std::string& record_id, const CM_LinkList& list);
  // The update of a record after its links were read: add_links writes them into the body.
  // Traced under the caller's scope.
  int Pvt_PutLinks(const CM_TraceScope& scope, const std::string& record_id,
                   const std::function<int()>& add_links);
  // After a failed request: answers true, having waited and put the request's error text back
  // to earlier_error, when it is worth sending again.
  bool Pvt_RetryPassingFailure(const CM_TraceScope& scope, const char* what,
                               const std::string& record_id, CM_RestUri& request,
                               const std::string& earlier_error, int retries_done);

  struct ShareFree {
    void operator()(void* share) const;
  };
  // Options and the session cookie read once for this COMMIT rather than at every request.
  CM_CommitCache m_commit_cache;
  // One connection cache for both requests, so that a commit keeps one connection alive.
  // Declared first: it must outlive the requests attached to it.
  std::unique_ptr<void, ShareFree> m_connections;
  CM_OslcGet m_get_request;
  CM_OslcSet m_set_request;
  CM_Session m_session;
  std::string m_error_text;
  CM_OslcRetry m_retry;
  // The last do_set_associations failed because another writer changed the record first.
  bool m_conflict = false;
};

#endif
