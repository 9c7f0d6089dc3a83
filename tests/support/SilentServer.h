// A TCP listener on the loopback address that accepts connections into its
// backlog and never sends: reads from it block until a time-out or a stop.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace corvane::testrig {

class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::listen(fd_, 4) < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) < 0)
      return;
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace corvane::testrig
