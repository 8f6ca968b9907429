#include "ostrel/mqtt/TlsProbe.hpp"

#include <fmt/format.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace ostrel {

namespace {

// The reason text of the oldest OpenSSL error of this thread ("key values mismatch",
// "tlsv13 alert certificate required"); the queue is emptied.
std::string opensslReason() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return {};
  const char* r = ERR_reason_error_string(e);
  return r ? r : fmt::format("OpenSSL error {:x}", e);
}

int connectTcp(const std::string& host, int port, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) return -1;
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(res, ::freeaddrinfo);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  for (addrinfo* a = res; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Bounds connect() as well as every read and write.
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    ::close(fd);
  }
  return -1;
}

std::string brokerCertificate(const TlsProbeTarget& t, long verify) {
  std::string what = X509_verify_cert_error_string(verify);
  switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "the broker's certificate has expired (OpenSSL: " + what + ")";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "the broker's certificate is not valid yet; is the clock right? (OpenSSL: " + what +
             ")";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return fmt::format("the broker's certificate does not name the host {} (OpenSSL: {})", t.host,
                         what);
    default:
      return fmt::format("the broker's certificate does not verify against {} (OpenSSL: {})",
                         t.caFile.empty() ? "the system's CAs" : t.caFile, what);
  }
}

}  // namespace

std::string tlsFailureReason(const TlsProbeTarget& t, std::chrono::milliseconds timeout) {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, decltype(&::SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                          ::SSL_CTX_free);
  if (!ctx) return "TLS cannot be set up here (OpenSSL: " + opensslReason() + ")";
  bool caOk = t.caFile.empty()
                  ? SSL_CTX_set_default_verify_paths(ctx.get()) == 1
                  : SSL_CTX_load_verify_locations(ctx.get(), t.caFile.c_str(), nullptr) == 1;
  if (!caOk)
    return fmt::format("our CA file {} cannot be used (OpenSSL: {})",
                       t.caFile.empty() ? "(the system's)" : t.caFile, opensslReason());
  if (!t.certFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), t.certFile.c_str()) != 1)
      return fmt::format("our certificate {} cannot be used (OpenSSL: {})", t.certFile,
                         opensslReason());
    const std::string& key = t.keyFile.empty() ? t.certFile : t.keyFile;
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
      std::string reason = opensslReason();
      if (reason.find("mismatch") != std::string::npos)
        return fmt::format("our key {} does not belong to our certificate {} (OpenSSL: {})", key,
                           t.certFile, reason);
      return fmt::format("our key {} cannot be used (OpenSSL: {})", key, reason);
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1)
      return fmt::format("our key {} does not belong to our certificate {} (OpenSSL: {})", key,
                         t.certFile, opensslReason());
  }
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);

  int fd = connectTcp(t.host, t.port, timeout);
  if (fd < 0) return {};
  std::unique_ptr<SSL, decltype(&::SSL_free)> ssl(SSL_new(ctx.get()), ::SSL_free);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (!ssl) return "TLS cannot be set up here (OpenSSL: " + opensslReason() + ")";
  SSL_set_fd(ssl.get(), fd);
  // The same checks as the MQTT library's: a trusted chain that names the host we asked for.
  SSL_set1_host(ssl.get(), t.host.c_str());
  SSL_set_tlsext_host_name(ssl.get(), t.host.c_str());
  int rc = SSL_connect(ssl.get());
  if (rc != 1) {
    long verify = SSL_get_verify_result(ssl.get());
    std::string reason = opensslReason();
    if (verify != X509_V_OK) return brokerCertificate(t, verify);
    // Ended without a word from TLS: what listens there took our hello for something else.
    if (reason.empty() || reason.find("unexpected eof") != std::string::npos)
      return "the connection ended during the TLS handshake: no TLS on this port?";
    if (reason.find("alert") != std::string::npos)
      return fmt::format(
          "the broker refused the handshake{} (OpenSSL: {})",
          t.certFile.empty() ? ", maybe for want of a client certificate" : ", or our certificate",
          reason);
    if (reason.find("wrong version number") != std::string::npos ||
        reason.find("packet length too long") != std::string::npos)
      return "what answers there does not speak TLS (OpenSSL: " + reason + ")";
    return "the TLS handshake failed (OpenSSL: " + reason + ")";
  }
  // With TLS 1.3 the broker judges our certificate after our side has finished: its verdict is
  // the first thing it sends, at once. Silence means it took us.
  timeval brief{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &brief, sizeof brief);
  char byte;
  rc = SSL_read(ssl.get(), &byte, 1);
  if (rc <= 0 && SSL_get_error(ssl.get(), rc) == SSL_ERROR_SSL) {
    std::string reason = opensslReason();
    return fmt::format("the broker refused {} (OpenSSL: {})",
                       t.certFile.empty() ? "us without a client certificate" : "our certificate",
                       reason);
  }
  ERR_clear_error();
  return {};
}

namespace {
// Probes still running: the process waits for them before it tears OpenSSL down. Process-wide,
// since a probe's thread outlives the client that started it.
std::mutex probeMutex;
std::condition_variable probeDone;
int probesRunning = 0;
}  // namespace

bool probeTls(Executor ex, TlsProbeTarget target, std::chrono::milliseconds timeout,
              std::function<void(std::string)> done) {
  {
    std::lock_guard lk(probeMutex);
    ++probesRunning;
  }
  try {
    std::thread([ex, target = std::move(target), timeout, done = std::move(done)]() mutable {
      std::string reason;
      try {
        reason = tlsFailureReason(target, timeout);
      } catch (const std::exception& e) {
        reason = e.what();
      }
      asio::post(ex, [done = std::move(done), reason] { done(reason); });
      std::lock_guard lk(probeMutex);
      --probesRunning;
      probeDone.notify_all();
    }).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard lk(probeMutex);
    --probesRunning;
    return false;
  }
}

bool waitForTlsProbes(std::chrono::milliseconds limit) {
  std::unique_lock lk(probeMutex);
  return probeDone.wait_for(lk, limit, [] { return probesRunning == 0; });
}

}  // namespace ostrel
