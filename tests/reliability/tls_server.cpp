#include "reliability/tls_server.hpp"

#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>

#include "support/sigpipe.hpp"

namespace quillstone::testing {
namespace {

constexpr long kValiditySeconds = 3600;
// A client that stalls cannot keep the server's one thread for longer than this.
constexpr time_t kSocketTimeoutSeconds = 10;

struct Freer {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

// A certificate for 127.0.0.1, signed by its own key: right name, right dates, no trusted issuer.
bool makeSelfSigned(SSL_CTX* context) {
  std::unique_ptr<EVP_PKEY, Freer> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, Freer> certificate(X509_new());
  if (!key || !certificate) return false;
  X509* cert = certificate.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds);
  X509_set_pubkey(cert, key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX v3{};
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  std::unique_ptr<X509_EXTENSION, Freer> altName(
      X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "IP:127.0.0.1"));
  if (!altName || X509_add_ext(cert, altName.get(), -1) != 1) return false;
  if (X509_sign(cert, key.get(), EVP_sha256()) == 0) return false;
  return SSL_CTX_use_certificate(context, cert) == 1 &&
         SSL_CTX_use_PrivateKey(context, key.get()) == 1;
}

}  // namespace

SelfSignedTlsServer::SelfSignedTlsServer() {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr) return;
  if (!makeSelfSigned(context)) {
    SSL_CTX_free(context);
    return;
  }
  context_ = context;
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener_, 16);
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] {
    // A client that gives up on the handshake may close its socket without an alert; OpenSSL
    // then sends one of its own through its socket BIO, a plain write(), which raises SIGPIPE.
    blockSigpipeOnThisThread();
    while (!stopping_) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      serve(client);
      close(client);
    }
  });
}

SelfSignedTlsServer::~SelfSignedTlsServer() {
  if (context_ == nullptr) return;
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
  SSL_CTX_free(context_);
}

std::string SelfSignedTlsServer::base() const {
  return "https://127.0.0.1:" + std::to_string(port_) + "/";
}

void SelfSignedTlsServer::serve(int client) {
  const timeval timeout{kSocketTimeoutSeconds, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  SSL* ssl = SSL_new(context_);
  SSL_set_fd(ssl, client);
  if (SSL_accept(ssl) != 1) {
    ++failed_;
    SSL_free(ssl);
    return;
  }
  char buffer[4096];
  if (SSL_read(ssl, buffer, sizeof buffer) > 0) {
    ++requests_;
    constexpr char kReply[] =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
        "Connection: close\r\n\r\n{}";
    SSL_write(ssl, kReply, sizeof kReply - 1);
  }
  SSL_shutdown(ssl);
  SSL_free(ssl);
}

}  // namespace quillstone::testing
