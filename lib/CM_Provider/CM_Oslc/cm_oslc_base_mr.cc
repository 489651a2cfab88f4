#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"

namespace {

const char* const kTag = "CMMR";
const char* const kClass = "CM_OslcBaseMr";

void trace_links(const CM_TraceScope& scope, const CM_LinksMap& links) {
  scope.print_always("Number of links found = %d", static_cast<int>(links.size()));
  for (const auto& link : links) {
    const SUM_String name = link.second ? link.second->GetName() : SUM_String();
    scope.print_always("[from links map] Universal selector = %s, name = %s", link.first.c_str(),
                       name.c_str());
  }
}

// A selector's place among a record's actions: eight of its bytes as one number, big-endian, and
// its position in the scheduled order.
struct Step {
  uint64_t head;
  uint32_t index;
};

// The number as the bytes read in order, most significant first.
uint64_t big_endian(uint64_t loaded) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return __builtin_bswap64(loaded);
#else
  return loaded;
#endif
}

// Whether a and b hold the same bytes; the same text in the same place is not read.
bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.data() == b.data() || a == b);
}

// How many leading bytes a and b share, compared eight at a time while they can be.
size_t common_prefix(std::string_view a, std::string_view b) {
  const size_t limit = std::min(a.size(), b.size());
  size_t at = 0;
  for (uint64_t x, y; at + 8 <= limit; at += 8) {
    std::memcpy(&x, a.data() + at, 8);
    std::memcpy(&y, b.data() + at, 8);
    if (x != y) break;
  }
  while (at < limit && a[at] == b[at]) ++at;
  return at;
}

// The engine's status for a read of a record's links. Only a record without any link property
// has no links; every other failure (a link that cannot be read in full included) stops the
// record before anything is written.
int links_read_status(int status) {
  return status == 0 || status == CM_OSLC_NO_PROPERTY ? 0 : CM_MR_FAILED;
}

// By head, equal heads in their order: one counting pass for each byte that is not alike in all.
void sort_by_head(std::vector<Step>& steps) {
  if (steps.size() < 2) return;
  std::array<std::array<size_t, 256>, 8> counts{};
  for (const Step& step : steps)
    for (int b = 0; b < 8; ++b) ++counts[b][step.head >> (8 * b) & 0xFF];
  std::vector<Step> spare(steps.size());
  for (int b = 0; b < 8; ++b) {
    auto& count = counts[b];
    if (count[steps[0].head >> (8 * b) & 0xFF] == steps.size()) continue;
    size_t sum = 0;
    for (size_t& c : count) sum += std::exchange(c, sum);
    for (const Step& step : steps) spare[count[step.head >> (8 * b) & 0xFF]++] = step;
    steps.swap(spare);
  }
}

}  // namespace

void CM_OslcBaseMr::ShareFree::operator()(void* share) const {
  curl_share_cleanup(static_cast<CURLSH*>(share));
}

CM_OslcBaseMr::CM_OslcBaseMr() {
  CM_TraceScope scope(kTag, kClass, "CM_OslcBaseMr");
  // Without a share each request keeps its own connection: slower, still correct.
  CURLSH* share = curl_share_init();
  if (share != nullptr &&
      curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
    curl_share_cleanup(share);
    share = nullptr;
  }
  m_connections.reset(share);
  m_get_request.SetConnectionShare(share);
  m_set_request.SetConnectionShare(share);
}

CM_OslcBaseMr::~CM_OslcBaseMr() {
  CM_TraceScope scope(kTag, kClass, "~CM_OslcBaseMr");
  // Detach before the share goes, whatever order the members are destroyed in.
  m_get_request.SetConnectionShare(nullptr);
  m_set_request.SetConnectionShare(nullptr);
}

int CM_OslcBaseMr::init(const CM_Session& session) {
  CM_TraceScope scope(kTag, kClass, "init(CM_Session)");
  m_session = session;
  return 0;
}

int CM_OslcBaseMr::do_modify_associations(const CM_ActionMap& actions) {
  CM_TraceScope scope(kTag, kClass, "do_modify_associations");
  CM_LinksMap links;
  if (actions.empty()) return 0;
  // Without lines to write, the links map shows nowhere: the links are read, edited and written
  // as lists, which cost no node, key or version per link.
  const bool as_lists = !scope.is_enabled(2);
  CM_LinkList read, edited;

  for (const auto& entry : actions) {
    const std::string& record_id = entry.first;
    scope.print(2, "Processing record %s", record_id.c_str());
    // A conflict means another writer changed the record since it was read: its links are
    // read again and this record's actions applied to them afresh, so neither side is lost.
    for (int conflicts = 0;; ++conflicts) {
      bool modified = false;
      int status;
      if (as_lists) {
        status = Pvt_GetLinkList(record_id, read);
        if (status != 0) return status;
        Pvt_ApplyInKeyOrder(entry.second, read, edited, modified);
        if (!modified) break;
        status = Pvt_SetLinkList(record_id, edited);
      } else {
        links.clear();
        scope.print(4, "Getting associations for %s", record_id.c_str());
        status = do_get_associations(record_id, links);
        if (status != 0) return status;
        scope.print(4, "Got %d associations for %s", static_cast<int>(links.size()),
                    record_id.c_str());
        status = Pvt_ApplyActions(scope, record_id, entry.second, links, modified);
        if (status != 0) return status;
        if (!modified) break;
        status = do_set_associations(record_id, links);
      }
      if (status == 0) break;
      if (!m_conflict) return status;
      if (conflicts >= m_retry.conflict_limit()) {
        m_error_text = format_message(_cm_mr_CM_Oslc_msg_table_adr(), kMrKeptChanging,
                                      record_id.c_str(), conflicts + 1);
        return CM_MR_FAILED;
      }
      const long pause = m_retry.PauseMs(conflicts + 1, nullptr);
      scope.print(2,
                  "Record %s was changed by another writer (%s): reading it again, retry %d of %d"
                  " in %ld ms",
                  record_id.c_str(), CM_OslcRetry::Describe(m_set_request.GetRequest()).c_str(),
                  conflicts + 1, m_retry.conflict_limit(), pause);
      CM_OslcRetry::Sleep(pause);
    }
  }
  return 0;
}

int CM_OslcBaseMr::Pvt_ApplyActions(const CM_TraceScope& scope, const std::string& record_id,
                                    const CM_ActionList& list, CM_LinksMap& links, bool& modified) {
  for (const auto& action : list) {
    const CM_ChangeData* data = action ? action->get_data() : nullptr;
    if (data == nullptr) continue;
    const std::string& selector = data->get_universal_selector();
    const std::string& name = data->get_display_name();
    int result;
    switch (action->get_type()) {
      case CM_ActionType::Associate:
        scope.print(2, "Associating %s with %s", name.c_str(), record_id.c_str());
        result = associate_twversion(selector, name, links);
        break;
      case CM_ActionType::Disassociate:
        scope.print(2, "Disassociating %s from %s", name.c_str(), record_id.c_str());
        result = disassociate_twversion(selector, name, links);
        break;
      default:
        continue;
    }
    if (result == 0) {
      modified = true;
    } else if (result != CM_MR_UNCHANGED) {
      return CM_MR_FAILED;
    }
    scope.print(4, "Number of links = %d", static_cast<int>(links.size()));
  }
  return 0;
}

void CM_OslcBaseMr::Pvt_ApplyInKeyOrder(const CM_ActionList& list, const CM_LinkList& read,
                                        CM_LinkList& edited, bool& modified) {
  // What the steps need, gathered in one pass: the actions themselves lie scattered over the
  // heap, and with a hundred thousand of them every later visit would miss the caches.
  struct Item {
    std::string_view selector;
    const std::string* name;
    bool associate;
    size_t head_at;  // the prefix length its head was taken after
  };
  std::vector<Item> items;
  items.reserve(list.size());
  std::vector<Step> steps;
  steps.reserve(list.size());
  // Selectors share long prefixes (one host, one repository): the sort compares the eight bytes
  // after the part all share as one number and reads the strings only on a tie. The part shared
  // so far only shrinks, and soon stops: a head is taken at once, while its selector is at hand,
  // and taken again later only if the prefix shrank after it.
  size_t shared = 0;
  const auto head_of = [&shared](std::string_view s) {
    uint64_t head = 0;
    if (s.size() >= shared + 8) {
      std::memcpy(&head, s.data() + shared, 8);
      return big_endian(head);
    }
    for (size_t k = shared; k < shared + 8; ++k)
      head = head << 8 | (k < s.size() ? static_cast<unsigned char>(s[k]) : 0U);
    return head;
  };
  bool in_order = true;
  for (const auto& action : list) {
    const CM_ChangeData* data = action ? action->get_data() : nullptr;
    if (data == nullptr) continue;
    const CM_ActionType type = action->get_type();
    if (type != CM_ActionType::Associate && type != CM_ActionType::Disassociate) continue;
    const std::string_view selector = data->get_universal_selector();
    if (items.empty()) {
      shared = selector.size();
    } else {
      if (selector < items.back().selector) in_order = false;
      shared = common_prefix(items[0].selector.substr(0, shared), selector);
    }
    steps.push_back(Step{head_of(selector), static_cast<uint32_t>(items.size())});
    items.push_back(
        Item{selector, &data->get_display_name(), type == CM_ActionType::Associate, shared});
  }
  for (Step& step : steps) {
    if (items[step.index].head_at != shared) step.head = head_of(items[step.index].selector);
  }
  if (!in_order) {
    sort_by_head(steps);
    for (auto run = steps.begin(); run != steps.end();) {
      const auto end = std::find_if(run, steps.end(),
                                    [head = run->head](const Step& s) { return s.head != head; });
      if (end - run > 1) {
        std::stable_sort(run, end, [&items, shared](const Step& a, const Step& b) {
          return items[a.index].selector.substr(shared) < items[b.index].selector.substr(shared);
        });
      }
      run = end;
    }
  }
  // The links and the actions side by side, both in key order; a selector's actions in turn.
  edited.links.clear();
  edited.links.reserve(read.links.size() + steps.size());
  auto link = read.links.begin();
  for (auto step = steps.begin(); step != steps.end();) {
    const std::string_view selector = items[step->index].selector;
    // One comparison a link: it tells both whether to pass the link and whether it is this one.
    int order = 1;
    for (; link != read.links.end() && (order = link->selector.compare(selector)) < 0; ++link)
      edited.links.push_back(*link);
    bool present = link != read.links.end() && order == 0;
    std::string_view title;
    if (present) title = (link++)->title;
    // Equal selectors have equal heads: most steps are told apart without reading a string, and
    // the first of a run is the selector itself.
    const uint64_t head = step->head;
    for (; step != steps.end() && step->head == head &&
           same_text(items[step->index].selector, selector);
         ++step) {
      const Item& item = items[step->index];
      if (!item.associate) {
        modified = modified || present;
        present = false;
      } else if (!present || title != *item.name) {
        present = true;
        title = *item.name;
        modified = true;
      }
    }
    if (present) edited.links.push_back(CM_LinkView{selector, title});
  }
  edited.links.insert(edited.links.end(), link, read.links.end());
}

bool CM_OslcBaseMr::Pvt_RetryPassingFailure(const CM_TraceScope& scope, const char* what,
                                            const std::string& record_id, CM_RestUri& request,
                                            const std::string& earlier_error, int retries_done) {
  if (retries_done >= m_retry.transient_limit() ||
      CM_OslcRetry::Classify(request) != CM_RetryKind::Transient) {
    return false;
  }
  const long pause = m_retry.PauseMs(retries_done + 1, &request);
  scope.print(2, "The %s of record %s failed (%s): trying again, retry %d of %d in %ld ms", what,
              record_id.c_str(), CM_OslcRetry::Describe(request).c_str(), retries_done + 1,
              m_retry.transient_limit(), pause);
  CM_OslcRetry::Sleep(pause);
  // The request adds each failure's messages to its text; only the last try may speak.
  request.set_error_msg(earlier_error);
  return true;
}

int CM_OslcBaseMr::do_get_associations(const std::string& record_id, CM_LinksMap& links) {
  CM_TraceScope scope(kTag, kClass, "do_get_associations");
  int status = do_read_all_properties(record_id);
  if (status != 0) return status;

  status = m_get_request.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, m_error_text);
  if (status == CM_OSLC_NO_PROPERTY) links.clear();
  return links_read_status(status);
}

int CM_OslcBaseMr::Pvt_GetLinkList(const std::string& record_id, CM_LinkList& list) {
  CM_TraceScope scope(kTag, kClass, "do_get_associations");
  int status = do_read_all_properties(record_id);
  if (status != 0) return status;
  // A record without a link property leaves the list empty.
  return links_read_status(
      m_get_request.GetLinkList(tag_oslc_cm_tracksChangeSet(), list, m_error_text));
}

int CM_OslcBaseMr::do_read_all_properties(const std::string& record_id) {
  CM_TraceScope scope(kTag, kClass, "do_read_all_properties");
  const std::string earlier_error = m_get_request.GetRequest().error_msg();
  int status;
  for (int retries = 0;; ++retries) {
    if (m_get_request.Init(m_session, record_id) != 0) {
      m_error_text = m_get_request.get_error();
      return CM_MR_FAILED;
    }
    scope.print(2, "Calling m_get_request.Execute for record id %s", record_id.c_str());
    status = m_get_request.Execute();
    scope.print(2, "Status %d from m_get_request.Execute for record id %s", status,
                record_id.c_str());
    if (status == 0 ||
        !Pvt_RetryPassingFailure(scope, "read", record_id, m_get_request.GetRequest(),
                                 earlier_error, retries)) {
      break;
    }
  }
  const int mapped = map_oslc_status(status);
  if (mapped != 0) {
    m_error_text = m_get_request.get_error();
    scope.print(2, "Error messagr from get request = %s", m_error_text.c_str());
  }
  scope.print(2, "Returning status %d for record id %s", mapped, record_id.c_str());
  return mapped;
}

int CM_OslcBaseMr::do_set_associations(const std::string& record_id, CM_LinksMap& links) {
  CM_TraceScope scope(kTag, kClass, "do_set_associations");
  if (scope.is_enabled(4)) {
    scope.print(2, "Number of links found = %d", static_cast<int>(links.size()));
    for (const auto& link : links) {
      const SUM_String name = link.second ? link.second->GetName() : SUM_String();
      scope.print(2, "[from links map] Universal selector = %s, name = %s", link.first.c_str(),
                  name.c_str());
    }
  }
  return Pvt_PutLinks(scope, record_id, [&] {
    return m_set_request.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links);
  });
}

int CM_OslcBaseMr::Pvt_SetLinkList(const std::string& record_id, const CM_LinkList& list) {
  CM_TraceScope scope(kTag, kClass, "do_set_associations");
  return Pvt_PutLinks(scope, record_id, [&] {
    return m_set_request.SetLinkList(tag_oslc_cm_tracksChangeSet(), list);
  });
}

int CM_OslcBaseMr::Pvt_PutLinks(const CM_TraceScope& scope, const std::string& record_id,
                                const std::function<int()>& add_links) {
  m_conflict = false;
  const std::string earlier_error = m_set_request.GetRequest().error_msg();
  if (m_get_request.GetETag().GetLength() == 0) {
    scope.print(1,
                "Record %s was read without an ETag: the tracker offers no protection against"
                " concurrent writers, whose links this update may overwrite",
                record_id.c_str());
  }
  int status;
  for (int retries = 0;; ++retries) {
    scope.print(4, "Calling init_set_request for record id %s", record_id.c_str());
    status = init_set_request(tag_oslc_cm_tracksChangeSet().Name());
    if (status != 0) {
      scope.print(4, "Status %d from init_set_request for record id %s", status, record_id.c_str());
      return status;
    }
    scope.print(4, "Calling SetLinksValues");
    status = add_links();
    if (status != 0) {
      scope.print(2, "SetLinksValues failed with %d", status);
      m_error_text = m_set_request.get_error();
      return CM_MR_FAILED;
    }
    scope.print(4, "Calling set.execute");
    status = m_set_request.Execute();
    scope.print(2, "Status %d from m_set_request.Execute for record id %s", status,
                record_id.c_str());
    if (status == 0 ||
        !Pvt_RetryPassingFailure(scope, "update", record_id, m_set_request.GetRequest(),
                                 earlier_error, retries)) {
      break;
    }
  }
  const int mapped = map_oslc_status(status);
  if (mapped != 0) {
    m_error_text = m_set_request.get_error();
    m_conflict = CM_OslcRetry::Classify(m_set_request.GetRequest()) == CM_RetryKind::Conflict;
    // A lost race is either tried again or reported with a message of its own.
    if (m_conflict) m_set_request.GetRequest().set_error_msg(earlier_error);
    return mapped;
  }
  return 0;
}

int CM_OslcBaseMr::init_set_request(const SUM_String& action) {
  CM_TraceScope scope(kTag, kClass, "init_set_request(action)");
  scope.print(4, "Calling m_set_request.Initv2(,,) - action %s", action.c_str());
  const int status = m_set_request.Initv2(m_session, m_get_request, action);
  if (status != 0) {
    scope.print(4, "Status %d from m_set_request.Initv2(,,)", status);
    m_error_text = status == CM_OSLC_SET_FOREIGN_ORIGIN
                       ? m_set_request.get_error()
                       : format_message(_cm_mr_CM_Oslc_msg_table_adr(), kMrInitFailed,
                                        m_session.get_web_url().c_str());
    return CM_MR_FAILED;
  }
  return 0;
}

int CM_OslcBaseMr::associate_twversion(const std::string& universal_selector,
                                       const std::string& display_name, CM_LinksMap& links) {
  CM_TraceScope scope(kTag, kClass, "associate_twversion");
  const CM_VersionInfo version{SUM_String(display_name)};
  scope.print(4, "Looking for association of %s with %s", universal_selector.c_str(),
              display_name.c_str());
  SUM_String key(universal_selector);
  // One search serves the check and the insertion.
  const auto it = links.lower_bound(key);
  const bool present = it != links.end() && !(key < it->first);
  if (present) {
    const SUM_String stored = it->second ? it->second->GetName() : SUM_String();
    scope.print(4, "Found association of %s with %s", universal_selector.c_str(), stored.c_str());
    if (it->second && *it->second == version) {
      scope.print(4, "Association exists of %s with %s", universal_selector.c_str(),
                  display_name.c_str());
      return CM_MR_UNCHANGED;
    }
  }
  scope.print(4, "Adding association of %s with %s", universal_selector.c_str(),
              display_name.c_str());
  if (present) {
    it->second = links.NewVersion(version.GetName());
  } else {
    links.emplace_hint(it, std::move(key), links.NewVersion(version.GetName()));
  }
  return 0;
}

int CM_OslcBaseMr::disassociate_twversion(const std::string& universal_selector,
                                          const std::string& /*display_name*/, CM_LinksMap& links) {
  CM_TraceScope scope(kTag, kClass, "disassociate_twversion");
  if (scope.is_enabled(4)) trace_links(scope, links);
  scope.print(4, "Removing %s", universal_selector.c_str());
  int removed = 0;
  if (!links.empty()) {
    auto it = links.find(SUM_String(universal_selector));
    if (it != links.end()) {
      scope.print(4, "Removed %s", universal_selector.c_str());
      links.erase(it);
      removed = 1;
    }
  }
  scope.print(4, "Number removed %d", removed);
  return removed == 1 ? 0 : CM_MR_UNCHANGED;
}

int CM_OslcBaseMr::map_oslc_status(int status) {
  CM_TraceScope scope(kTag, kClass, "map_oslc_status");
  int mapped;
  switch (status) {
    case 0:
      mapped = CM_MR_OK;
      break;
    case CM_REST_NOT_FOUND:
      mapped = CM_MR_NOT_FOUND;
      break;
    case CM_REST_AUTH_FAILED:
      mapped = CM_MR_AUTH_FAILED;
      break;
    default:
      mapped = CM_MR_FAILED;
      break;
  }
  scope.print(4, "Converted %d to %d", status, mapped);
  return mapped;
}
