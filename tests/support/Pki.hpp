#pragma once
// Certificates for TLS tests, made with the openssl command in a temporary directory: a CA, a
// broker certificate for 127.0.0.1 and localhost, one from the same CA for another host, a client
// certificate, and an unrelated CA.
#include <string>

namespace ostrel::test {

class Pki {
 public:
  // Throws when openssl fails.
  Pki();
  ~Pki();
  Pki(const Pki&) = delete;
  Pki& operator=(const Pki&) = delete;

  std::string caCert() const { return dir_ + "/ca.crt"; }
  std::string serverCert() const { return dir_ + "/server.crt"; }
  std::string serverKey() const { return dir_ + "/server.key"; }
  // Signed by the CA, but for other.example only.
  std::string otherHostCert() const { return dir_ + "/otherhost.crt"; }
  std::string otherHostKey() const { return dir_ + "/otherhost.key"; }
  std::string clientCert() const { return dir_ + "/client.crt"; }
  std::string clientKey() const { return dir_ + "/client.key"; }
  // Broker certificates by the same CA that fail for one reason each: expired since yesterday;
  // naming only the host elsewhere.example.
  std::string expiredCert() const { return dir_ + "/expired.crt"; }
  std::string expiredKey() const { return dir_ + "/expired.key"; }
  std::string elsewhereCert() const { return dir_ + "/elsewhere.crt"; }
  std::string elsewhereKey() const { return dir_ + "/elsewhere.key"; }
  // A CA that signed none of the above.
  std::string otherCaCert() const { return dir_ + "/other-ca.crt"; }
  std::string otherCaKey() const { return dir_ + "/other-ca.key"; }

 private:
  std::string dir_;
};

}  // namespace ostrel::test
