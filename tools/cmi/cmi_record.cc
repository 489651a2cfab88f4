#include "cmi_record.h"

#include <fstream>

#include "cm_mr_credential.h"
#include "cm_rest_uri.h"

namespace {

std::string home_folder() {
  CM_MRCredential probe("", "", "", "", "");
  const std::string store = probe.get_file_path().str();
  const size_t at = store.find("/.Corvane/");
  return at == std::string::npos ? std::string(".") : store.substr(0, at);
}

std::string xml_unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const size_t end = text.find(';', i);
    if (end == std::string::npos) {
      out += text.substr(i);
      break;
    }
    const std::string name = text.substr(i + 1, end - i - 1);
    if (name == "amp")
      out += '&';
    else if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "quot")
      out += '"';
    else if (name == "apos")
      out += '\'';
    else if (!name.empty() && name[0] == '#') {
      const unsigned long code = name.size() > 1 && (name[1] == 'x' || name[1] == 'X')
                                     ? std::stoul(name.substr(2), nullptr, 16)
                                     : std::stoul(name.substr(1));
      if (code < 0x80)
        out += static_cast<char>(code);
      else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
      }
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

// The rdf:resource of every tracksChangeSet element, whatever prefix the answer uses.
std::set<std::string> linked_selectors(const std::string& body) {
  std::set<std::string> out;
  for (size_t at = body.find("tracksChangeSet"); at != std::string::npos;
       at = body.find("tracksChangeSet", at + 1)) {
    if (at == 0 || (body[at - 1] != ':' && body[at - 1] != '<')) continue;
    const size_t tag_start = body.rfind('<', at);
    if (tag_start == std::string::npos || body[tag_start + 1] == '/') continue;
    const size_t tag_end = body.find('>', at);
    const std::string tag = body.substr(at, tag_end == std::string::npos ? tag_end : tag_end - at);
    const size_t attr = tag.find("resource=");
    if (attr == std::string::npos || attr + 9 >= tag.size()) continue;
    const char quote = tag[attr + 9];
    const size_t close = tag.find(quote, attr + 10);
    if (close == std::string::npos) continue;
    try {
      out.insert(xml_unescape(tag.substr(attr + 10, close - attr - 10)));
    } catch (...) {
      // A malformed character reference: not a selector anybody linked.
    }
  }
  return out;
}

}  // namespace

std::string cmi_login_user(const CmiConnection& connection, std::string* password) {
  CM_MRCredential login;
  if (login.lookup(connection.provider.c_str(), connection.dbset.c_str(), connection.userdb.c_str(),
                   "") != 0)
    return "";
  if (password) *password = login.get_user_password().str();
  return login.get_user_name().str();
}

std::string cmi_cert_label() {
  std::ifstream in(home_folder() + "/.cmi_cert_label");
  std::string line;
  if (!in || !std::getline(in, line)) return "";
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

CmiRecord cmi_read_record(const CmiConnection& connection, const std::string& id) {
  CmiRecord record;
  CM_RestUriGet request;
  request.set_cert_label(cmi_cert_label());
  record.status = request.Init();
  if (record.status != 0) {
    record.error = request.error_msg();
    return record;
  }
  request.SetBaseUri(connection.baseurl.c_str());
  const int escape = 1;
  for (const std::string& segment : {std::string("repo"), connection.dbset, std::string("db"),
                                     connection.userdb, std::string("record")})
    request.AppendResourceParam(segment.c_str(), escape);
  request.AppendNameValue("vqm.name", id.c_str());
  std::string password;
  const std::string user = cmi_login_user(connection, &password);
  if (!user.empty()) {
    request.SetUsername(user.c_str());
    request.SetPassword(password.c_str());
  }
  std::string body;
  record.status = request.Run(body);
  if (record.status != 0) {
    record.error = request.error_msg();
    if (record.error.empty()) {
      std::string server;
      if (CM_RestUri::get_server_error(body, server) == 0) record.error = server;
    }
    return record;
  }
  SUM_StringList headers;
  if (request.GetResponseHeaders(headers) == 0) {
    for (int i = 0; i < headers.count(); ++i) {
      const std::string line = headers[i].str();
      if (line.size() > 5 && (line.compare(0, 5, "ETag:") == 0 ||
                              line.compare(0, 5, "etag:") == 0 || line.compare(0, 5, "Etag:") == 0))
        record.etag = true;
    }
  }
  record.links = linked_selectors(body);
  return record;
}
