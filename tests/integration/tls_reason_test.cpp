// Why a TLS connection to the broker fails, named from OpenSSL's own reason, against real
// mosquitto listeners with certificates that each fail in one way.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "ostrel/mqtt/TlsProbe.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/Pki.hpp"

namespace ostrel::test::tls_reason {
namespace {

using namespace std::chrono_literals;

struct Case {
  const char* name;
  // Broker side: which server certificate, whether it asks for a client certificate; none: a
  // plain TCP broker.
  enum Server { Good, Expired, Elsewhere, Plain, Nobody } server;
  bool requireClientCert;
  // Our side.
  enum Ca { OurCa, OtherCa } ca;
  enum Client { None, Matching, WrongKey, Untrusted } client;
  // What the reason must say; empty: no TLS failure to report.
  std::vector<std::string> says;
};

TEST(TlsReason, EachFailureNamesTheSideAtFault) {
  Pki pki;
  auto broker = [&](const std::string& cert, const std::string& key, bool require) {
    return std::make_unique<Broker>(BrokerTls{
        .caFile = pki.caCert(), .certFile = cert, .keyFile = key, .requireClientCert = require});
  };
  const Case cases[] = {
      {"trusted", Case::Good, false, Case::OurCa, Case::None, {}},
      {"client certificate taken", Case::Good, true, Case::OurCa, Case::Matching, {}},
      {"unknown CA",
       Case::Good,
       false,
       Case::OtherCa,
       Case::None,
       {"the broker's certificate does not verify against " + pki.otherCaCert(), "OpenSSL: "}},
      {"expired",
       Case::Expired,
       false,
       Case::OurCa,
       Case::None,
       {"the broker's certificate has expired", "certificate has expired"}},
      {"another host",
       Case::Elsewhere,
       false,
       Case::OurCa,
       Case::None,
       {"the broker's certificate does not name the host 127.0.0.1", "mismatch"}},
      {"no client certificate",
       Case::Good,
       true,
       Case::OurCa,
       Case::None,
       {"client certificate", "certificate required"}},
      {"key of another certificate",
       Case::Good,
       true,
       Case::OurCa,
       Case::WrongKey,
       {"our key " + pki.serverKey() + " does not belong to our certificate " + pki.clientCert(),
        "key values mismatch"}},
      {"client certificate from another CA",
       Case::Good,
       true,
       Case::OurCa,
       Case::Untrusted,
       {"the broker refused", "our certificate", "unknown ca"}},
      {"no TLS there",
       Case::Plain,
       false,
       Case::OurCa,
       Case::None,
       {"the connection ended during the TLS handshake: no TLS on this port?"}},
      {"nothing listens", Case::Nobody, false, Case::OurCa, Case::None, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Broker> b;
    int port = 0;
    switch (c.server) {
      case Case::Good:
        b = broker(pki.serverCert(), pki.serverKey(), c.requireClientCert);
        break;
      case Case::Expired:
        b = broker(pki.expiredCert(), pki.expiredKey(), false);
        break;
      case Case::Elsewhere:
        b = broker(pki.elsewhereCert(), pki.elsewhereKey(), false);
        break;
      case Case::Plain:
        b = std::make_unique<Broker>();
        break;
      case Case::Nobody:
        port = freeLoopbackPort();
        break;
    }
    if (b) port = b->port();
    TlsProbeTarget t{"127.0.0.1", port, c.ca == Case::OurCa ? pki.caCert() : pki.otherCaCert()};
    if (c.client == Case::Matching) t.certFile = pki.clientCert(), t.keyFile = pki.clientKey();
    if (c.client == Case::WrongKey) t.certFile = pki.clientCert(), t.keyFile = pki.serverKey();
    if (c.client == Case::Untrusted) t.certFile = pki.otherCaCert(), t.keyFile = pki.otherCaKey();
    std::string reason = tlsFailureReason(t, 5s);
    if (c.says.empty()) {
      EXPECT_EQ(reason, "");
      continue;
    }
    for (const auto& part : c.says) EXPECT_NE(reason.find(part), std::string::npos) << reason;
  }
}

}  // namespace
}  // namespace ostrel::test::tls_reason
