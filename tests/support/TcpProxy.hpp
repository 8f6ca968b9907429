#pragma once
// A loopback TCP proxy in front of a broker, to stage what a network does to a client: a peer
// that never answers, acknowledgements that never come back, a slow link.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::test {

class TcpProxy {
 public:
  enum class Mode {
    Forward,  // both directions
    Held,     // accepted, nothing forwarded until release()
  };
  // `policy` picks the mode of the n-th accepted connection (0-based).
  TcpProxy(int targetPort, std::function<Mode(int n)> policy);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  int accepted() const { return accepted_; }
  // Starts forwarding a Held connection.
  void release(int n);
  // At most this many bytes a second from the broker to clients (0: no limit).
  void limitReplies(std::size_t bytesPerSecond) { replyRate_ = bytesPerSecond; }
  // While paused, the broker's answers are kept back (acknowledgements that do not come); they
  // are passed on when resumed.
  void pauseReplies(bool paused);
  // While down, every connection is closed and new ones are closed at once (a broker outage for
  // the clients behind the proxy only).
  void setDown(bool down);
  // Bytes sent to a client when the broker closes its connection, just before the proxy closes
  // it too: the DISCONNECT with a reason code that a broker may leave out.
  void setFarewell(std::string bytes);
  // While on, PUBLISH packets from clients are swallowed (every other packet passes, PINGREQ
  // among them): a broker that keeps the link but takes nothing and acknowledges nothing.
  void swallowPublishes(bool on);
  // PUBLISH packets from clients swallowed so far, and passed on.
  int swallowed() const { return swallowed_; }
  int publishesPassed() const { return passed_; }

 private:
  struct Link {
    int n;
    int client = -1;
    int upstream = -1;
    Mode mode;
    std::vector<char> toClient;    // waiting for the rate limit
    std::vector<char> fromClient;  // the start of a packet not yet whole
  };
  // Passes what `l`'s client sent on, packet by packet; false when the link failed.
  bool fromClient(Link& l, const char* data, std::size_t n);
  void run();
  void closeLink(Link& l);

  int targetPort_;
  std::function<Mode(int)> policy_;
  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<int> accepted_{0};
  std::atomic<std::size_t> replyRate_{0};
  std::atomic<bool> paused_{false};
  std::atomic<bool> down_{false};
  std::atomic<bool> swallow_{false};
  std::atomic<int> swallowed_{0};
  std::atomic<int> passed_{0};
  std::mutex m_;
  std::vector<int> released_;
  std::string farewell_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace ostrel::test
