#include "apps/ostrel-node/TlsProbe.hpp"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace ostrel::node {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// OpenSSL's last queued error as text, or `fallback`.
std::string sslError(const std::string& fallback) {
  unsigned long e = ERR_peek_last_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

bool isIpAddress(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The DNS names and addresses a certificate is for (its subject's common name when it has none).
std::string certNames(X509* cert) {
  std::vector<std::string> names;
  auto* sans =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; sans && i < sk_GENERAL_NAME_num(sans); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(sans, i);
    if (n->type == GEN_DNS) {
      const auto* s = n->d.dNSName;
      names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                         static_cast<std::size_t>(ASN1_STRING_length(s)));
    } else if (n->type == GEN_IPADD) {
      const auto* s = n->d.iPAddress;
      char text[INET6_ADDRSTRLEN] = "?";
      int len = ASN1_STRING_length(s);
      if (len == 4 || len == 16)
        ::inet_ntop(len == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(s), text, sizeof text);
      names.emplace_back(text);
    }
  }
  if (sans) GENERAL_NAMES_free(sans);
  if (names.empty()) {
    char cn[256];
    if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0)
      names.emplace_back(cn);
  }
  if (names.empty()) return "no host at all";
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

std::string diagnoseTls(const std::string& host, int port, const std::string& caFile,
                        int timeoutSeconds) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
    return fmt::format("cannot resolve {}: {}", host, ::gai_strerror(rc));
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addrs(found, &::freeaddrinfo);
  Fd sock;
  int lastErrno = 0;
  timeval tv{timeoutSeconds, 0};
  for (addrinfo* a = found; a; a = a->ai_next) {
    sock.fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (sock.fd < 0) continue;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(sock.fd, a->ai_addr, a->ai_addrlen) == 0) break;
    lastErrno = errno;
    ::close(sock.fd);
    sock.fd = -1;
  }
  if (sock.fd < 0)
    return fmt::format("cannot reach {}:{}: {}", host, port, std::strerror(lastErrno));

  ERR_clear_error();
  CtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return sslError("cannot set up TLS");
  if (!caFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), caFile.c_str(), nullptr) != 1)
      return fmt::format("cannot load the CA certificates of {}: {}", caFile,
                         sslError("unknown error"));
  } else if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
    return "cannot load the system's CA certificates: " + sslError("unknown error");
  }
  // Verified below, so that the handshake completes and the reason can be read.
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) return sslError("cannot set up TLS");
  SSL_set_fd(ssl.get(), sock.fd);
  if (!isIpAddress(host)) SSL_set_tlsext_host_name(ssl.get(), host.c_str());
  if (SSL_connect(ssl.get()) != 1)
    return fmt::format("the TLS handshake with {}:{} failed: {}", host, port,
                       sslError("the broker closed the connection"));

  const std::string against = caFile.empty() ? "the system's CAs" : caFile;
  if (long v = SSL_get_verify_result(ssl.get()); v != X509_V_OK)
    return fmt::format("the broker's certificate does not verify against {}: {}", against,
                       X509_verify_cert_error_string(v));
  CertPtr cert(SSL_get1_peer_certificate(ssl.get()));
  if (!cert) return "the broker sent no certificate";
  bool named = isIpAddress(host)
                   ? X509_check_ip_asc(cert.get(), host.c_str(), 0) == 1
                   : X509_check_host(cert.get(), host.data(), host.size(), 0, nullptr) == 1;
  if (!named)
    return fmt::format("the broker's certificate is not for {} (it names {})", host,
                       certNames(cert.get()));
  SSL_shutdown(ssl.get());
  return {};
}

}  // namespace ostrel::node
