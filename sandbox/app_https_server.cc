// tamsel-app-https PORT CERT KEY: stands in for the application's local HTTPS server in the
// sandbox. As the application does, it asks the helper for a listening socket on PORT (so an
// ordinary user serves port 443), then answers every request on it over TLS, with CERT (a PEM
// chain) and KEY, with a short page, until it is killed. It says "serving" once it listens.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "client/helper_client.h"

namespace {

constexpr std::int64_t kIPv4 = 2;
constexpr char kPage[] = "Hello from the Tamsel app over HTTPS\n";

int usage() {
  std::fputs("usage: tamsel-app-https PORT CERT KEY\n", stderr);
  return 2;
}

// Reads the request head (or whatever arrives first) and answers it.
void serve(SSL* ssl) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    const int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(sizeof kPage - 1) + "\r\nConnection: close\r\n\r\n" +
                               kPage;
  if (SSL_write(ssl, response.data(), static_cast<int>(response.size())) > 0) SSL_shutdown(ssl);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return usage();
  char* end = nullptr;
  const long port = std::strtol(argv[1], &end, 10);
  if (*argv[1] == '\0' || *end != '\0' || port < 1 || port > 65535) return usage();
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()),
                                                            SSL_CTX_free);
  if (!context || SSL_CTX_use_certificate_chain_file(context.get(), argv[2]) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), argv[3], SSL_FILETYPE_PEM) != 1) {
    std::fputs("tamsel-app-https: cannot load the certificate and key:\n", stderr);
    ERR_print_errors_fp(stderr);
    return 1;
  }

  tamsel::UniqueFd listening;
  {
    auto helper = tamsel::client::HelperClient::connect();
    if (!helper) {
      std::fprintf(stderr, "tamsel-app-https: %s\n", helper.error().description.c_str());
      return 1;
    }
    auto reply = helper->openListeningSocket(kIPv4, static_cast<std::uint16_t>(port));
    if (!reply || !reply->handle.valid()) {
      std::fprintf(stderr, "tamsel-app-https: no socket on port %ld: %s\n", port,
                   reply ? reply->message.value_or("").c_str() : reply.error().description.c_str());
      return 1;
    }
    listening = std::move(reply->handle);
  }
  std::printf("serving on port %ld\n", port);
  std::fflush(stdout);

  for (;;) {
    tamsel::UniqueFd connection(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("tamsel-app-https: accept");
      return 1;
    }
    // A client that stalls holds this one-at-a-time server for a few seconds at most.
    const timeval limit{5, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    if (!ssl || SSL_set_fd(ssl.get(), connection.get()) != 1) continue;
    // A client that does not trust the certificate ends the handshake here.
    if (SSL_accept(ssl.get()) == 1) serve(ssl.get());
    ERR_clear_error();
  }
}
