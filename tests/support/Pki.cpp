#include "tests/support/Pki.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace ostrel::test {

namespace {

void run(const std::string& cmd) {
  if (std::system((cmd + " >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("openssl failed: " + cmd);
}

// A self-signed CA certificate and its key.
void makeCa(const std::string& dir, const std::string& name) {
  run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " + dir +
      "/" + name + ".key -out " + dir + "/" + name + ".crt");
}

// A key and a certificate signed by the CA `ca`, with the given extensions.
void makeLeaf(const std::string& dir, const std::string& name, const std::string& ca,
              const std::string& extensions, int days = 2) {
  std::string base = dir + "/" + name;
  run("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + base + ".key -out " +
      base + ".csr");
  std::ofstream(base + ".ext") << extensions << "\n";
  run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/" + ca + ".crt -CAkey " + dir + "/" +
      ca + ".key -CAcreateserial -days " + std::to_string(days) + " -extfile " + base +
      ".ext -out " + base + ".crt");
}

}  // namespace

Pki::Pki() {
  char tmpl[] = "/tmp/ostrel-pki-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  ::chmod(dir_.c_str(), 0755);  // the daemon reads them as its service account
  makeCa(dir_, "ca");
  makeCa(dir_, "other-ca");
  makeLeaf(dir_, "server", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost");
  makeLeaf(dir_, "otherhost", "ca", "subjectAltName=DNS:other.example");
  makeLeaf(dir_, "client", "ca", "extendedKeyUsage=clientAuth");
  makeLeaf(dir_, "expired", "ca", "subjectAltName=IP:127.0.0.1,DNS:localhost", -1);
  makeLeaf(dir_, "elsewhere", "ca", "subjectAltName=DNS:elsewhere.example");
  for (const auto& e : std::filesystem::directory_iterator(dir_)) ::chmod(e.path().c_str(), 0644);
}

Pki::~Pki() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace ostrel::test
