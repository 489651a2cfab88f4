// Shared by the request, engine, read, update and code-page tests: CannedServer, a loopback
// HTTP/1.1 server that answers each request with the next queued reply (500 when none is left)
// and records what it received, for what the tracker simulator cannot produce (duplicate ids,
// split link lists, odd stable URIs, broken answers); CannedTest, its fixture with a temporary
// HOME; builders for record documents, scheduled actions and a configured session; and the
// headers those tests share. Test code only.
#ifndef TESTS_CM_PROVIDER_CM_OSLC_CM_OSLC_TEST_SUPPORT_H
#define TESTS_CM_PROVIDER_CM_OSLC_CM_OSLC_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"
#include "CM_Provider/CM_Oslc/cm_oslc_protocol.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"
#include "CM_Provider/CM_Oslc/cm_xml_util.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/cm_action_map.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_session.h"
#include "CM_Provider/cm_trace.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace cmtest {

// A session as INITIALIZE sets it up (cookie jar under the current HOME), with a stored login.
inline CM_Session make_session(const std::string& base_url, const std::string& user = "",
                               const std::string& password = "", const std::string& dbset = "dbs1",
                               const std::string& userdb = "db1") {
  CM_ProviderConfig config("prov1", base_url, userdb, dbset);
  CM_Session session;
  session.init_server_config(&config);
  session.get_credential().set_user_name(user.c_str());
  session.get_credential().set_user_password(password.c_str());
  return session;
}

// Traces module at level from here on; text() closes the trace and returns it.
struct Tracing {
  Tracing(const char* module, int level) {
    CM_Trace::reset();
    CM_Trace::set_file("tester", static_cast<int>(getpid()));
    CM_Trace::configure(module, level);
  }
  ~Tracing() { CM_Trace::reset(); }
  std::string text() { return CM_Trace::close(), read_file(CM_Trace::file_path()); }
};

// "a=Ay,b=Bee": links to http://v/a titled Ay and http://v/b titled Bee, as the simulator keeps
// them.
inline nlohmann::json link_list(const std::string& text) {
  auto out = nlohmann::json::array();
  for (size_t at = 0, end; at < text.size(); at = end + 1) {
    end = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, end - at);
    const size_t eq = std::min(item.find('='), item.size());
    out.push_back({{"resource", "http://v/" + item.substr(0, eq)},
                   {"title", item.substr(std::min(eq + 1, item.size()))}});
  }
  return out;
}

// Schedules linking (or unlinking) resource, shown as title, on record id.
inline void schedule(CM_ActionMap& actions, bool link, const std::string& id,
                     const std::string& resource, const std::string& title) {
  auto data = std::make_unique<CM_ChangeData>();
  data->set_universal_selector(resource.c_str());
  data->set_display_name(title.c_str());
  data->set_record_id(id.c_str());
  actions.add(std::make_unique<CM_Action>(
      link ? CM_ActionType::Associate : CM_ActionType::Disassociate, data.release()));
}

class CannedServer {
 public:
  // One accepted connection as a scripted reply sees it.
  struct Conn {
    int fd;
    const std::atomic<bool>& stop;
    bool send(const std::string& bytes) const {
      for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      return true;
    }
  };
  using Script = std::function<void(const Conn&)>;
  struct Reply {
    Reply(int status_ = 200, std::string body_ = "", std::vector<std::string> headers_ = {},
          Script script_ = nullptr)
        : status(status_),
          body(std::move(body_)),
          headers(std::move(headers_)),
          script(std::move(script_)) {}
    int status;
    std::string body;
    std::vector<std::string> headers;  // extra "Name: value" lines
    Script script;                     // set: writes the whole answer itself
  };
  struct Request {
    std::string method, target;  // target: path and query as sent
    std::map<std::string, std::string> headers;
    std::string head;  // the header lines as sent, each ending in CR LF
    std::string body;
  };

  CannedServer() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    auto* any = reinterpret_cast<sockaddr*>(&addr);
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0 || ::bind(m_fd, any, len) != 0 || ::listen(m_fd, 8) != 0 ||
        ::getsockname(m_fd, any, &len) != 0)
      return;
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Loop(); });
  }
  ~CannedServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
  }
  CannedServer(const CannedServer&) = delete;
  CannedServer& operator=(const CannedServer&) = delete;

  bool ok() const { return m_port != 0; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  void push(int status, std::string body, std::vector<std::string> headers = {}) {
    push(Reply{status, std::move(body), std::move(headers), nullptr});
  }
  void push(Reply reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(std::move(reply));
  }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }

 private:
  void Loop() {
    for (pollfd pfd{m_fd, POLLIN, 0}; !m_stop;) {
      const int conn = ::poll(&pfd, 1, 50) > 0 ? ::accept(m_fd, nullptr, nullptr) : -1;
      if (conn < 0) continue;
      timeval tv{5, 0};
      ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      Serve(conn);
      ::close(conn);
    }
  }
  // Reads on until done(); false when the client stops sending first.
  static bool ReadUntil(int conn, std::string& data, const std::function<bool()>& done) {
    char buf[65536];
    for (ssize_t n; !done(); data.append(buf, static_cast<size_t>(n)))
      if ((n = ::recv(conn, buf, sizeof(buf), 0)) <= 0) return false;
    return true;
  }
  void Serve(int conn) {
    std::string data;
    if (!ReadUntil(conn, data, [&] { return data.find("\r\n\r\n") != std::string::npos; })) return;
    const size_t head_end = data.find("\r\n\r\n"), line_end = data.find("\r\n");
    Request request;
    std::istringstream(data.substr(0, line_end)) >> request.method >> request.target;
    request.head = data.substr(line_end + 2, head_end - line_end);
    for (size_t pos = 0, end; (end = request.head.find("\r\n", pos)) != std::string::npos;
         pos = end + 2) {
      const std::string line = request.head.substr(pos, end - pos);
      const size_t colon = line.find(':'), value = line.find_first_not_of(' ', colon + 1);
      if (colon != std::string::npos)
        request.headers[line.substr(0, colon)] = line.substr(std::min(value, line.size()));
    }
    const size_t length = std::stoul("0" + request.headers["Content-Length"]);
    request.body = data.substr(head_end + 4);
    ReadUntil(conn, request.body, [&] { return request.body.size() >= length; });
    Reply reply{500, "", {}, nullptr};
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_replies.empty()) reply = m_replies.front(), m_replies.pop_front();
      m_requests.push_back(request);
    }
    const Conn c{conn, m_stop};
    if (reply.script) return reply.script(c);
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) +
                      " Canned\r\nContent-Type: application/rdf+xml\r\nContent-Length: " +
                      std::to_string(reply.body.size()) + "\r\nConnection: close\r\n";
    for (const auto& header : reply.headers) out += header + "\r\n";
    c.send(out + "\r\n" + reply.body);
  }

  int m_fd = -1, m_port = 0;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::deque<Reply> m_replies;
  std::vector<Request> m_requests;
};

// The canned server's tests: a temporary HOME and the server.
class CannedTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()); }
  TempHome home;
  CannedServer server;
};

// Pieces of a record answer: the record element's inner links and the trailing descriptions.
inline std::string record_doc(const std::string& stable_uri, const std::string& record_inner,
                              const std::string& descriptions) {
  std::string about = stable_uri.empty() ? "" : " rdf:about=\"" + stable_uri + "\"";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
         " xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\""
         " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
         " xmlns:dcterms=\"http://purl.org/dc/terms/\">"
         "<rdf:Description rdf:about=\"q\"><rdfs:member><oslc_cm:ChangeRequest" +
         about + ">" + record_inner + "</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>" +
         descriptions + "</rdf:RDF>";
}

inline std::string link_elem(const std::string& resource, const std::string& id) {
  std::string out = "<oslc_cm:tracksChangeSet rdf:resource=\"" + resource + "\"";
  if (!id.empty()) out += " rdf:ID=\"" + id + "\"";
  return out + "/>";
}

inline std::string title_desc(const std::string& id, const std::string& title) {
  return "<rdf:Description rdf:about=\"#" + id + "\"><dcterms:title>" + title +
         "</dcterms:title></rdf:Description>";
}

// An update body built step by step by a builder (the DOM one or the streaming writer): each
// step's status and the body after it, then everything printed. Two builders given the same
// steps must answer alike.
using BodyStep = std::function<int(CM_XmlBuilder&)>;

inline std::string build_body(CM_XmlBuilder& builder, const std::vector<BodyStep>& steps) {
  StderrCapture printed;
  std::ostringstream seen;
  for (const BodyStep& step : steps) {
    seen << step(builder) << ":";
    SUM_String body;
    if (builder.Str(body) == 0) seen << body.str() << "\n";
  }
  seen << printed.text();
  return seen.str();
}

inline BodyStep root_step(const CM_XmlTag& tag) {
  return [tag](CM_XmlBuilder& b) { return b.CreateRootElem(tag); };
}
inline BodyStep push_step(const CM_XmlTag& tag) {
  return [tag](CM_XmlBuilder& b) { return b.PushElem(tag); };
}
inline BodyStep attr_step(const CM_XmlTag& tag, const SUM_String& value) {
  return [tag, value](CM_XmlBuilder& b) { return b.AddAttr(tag, value); };
}
inline BodyStep ns_step(const CM_XmlNamespace& ns) {
  return [ns](CM_XmlBuilder& b) { return b.SetNamespace(ns); };
}
inline BodyStep pop_step() {
  return [](CM_XmlBuilder& b) { return b.PopElem(); };
}

}  // namespace cmtest

#endif
