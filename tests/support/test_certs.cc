#include "support/test_certs.h"

#include "support/temp_home.h"

namespace cmtest {

bool make_test_certificates(const std::string& dir, std::string* log) {
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string script =
      "set -e; cd '" + dir +
      "'; "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext; "
      "openssl req -x509" +
      key +
      " -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca; "
      "openssl req" +
      key +
      " -keyout server.key -out server.csr -subj /CN=127.0.0.1; "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
      "-out server.pem -days 2 -extfile san.ext; "
      "openssl req" +
      key +
      " -keyout client.key -out client.csr -subj /CN=card-holder; "
      "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
      "-out client.pem -days 2; "
      "cat client.pem client.key > client-bundle.pem";
  return cmtest::run_command("(" + script + ") 2>&1", log) == 0;
}

}  // namespace cmtest
