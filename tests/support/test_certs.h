// make_test_certificates: a throw-away CA (ca.pem, ca.key) with a server certificate for
// 127.0.0.1 (server.pem, server.key) and a client certificate (client.pem, client.key,
// client-bundle.pem), made with the openssl tool in dir. Test code only.
#ifndef TESTS_SUPPORT_TEST_CERTS_H
#define TESTS_SUPPORT_TEST_CERTS_H

#include <string>

namespace cmtest {

// False (with the tool's output in *log) when openssl failed.
bool make_test_certificates(const std::string& dir, std::string* log);

}  // namespace cmtest

#endif
