#include "tests/support/LighttpdServer.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Socket.h"
#include "tests/support/TestUtil.h"

namespace kestrum {
namespace testing {

namespace {

std::string FindProgram(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/usr/local/sbin/"}) {
    std::string path = std::string(dir) + name;
    if (std::filesystem::exists(path)) return path;
  }
  return std::string();
}

uint16_t FreePort() {
  platform::TcpSocket probe;
  if (!probe.Listen(platform::LoopbackAddress(), 0)) return 0;
  return probe.LocalPort();
}

bool Accepts(uint16_t port) {
  platform::TcpSocket client;
  return client.Connect(platform::LoopbackAddress(), port, 200, nullptr) == platform::IoStatus::Ok;
}

}  // namespace

LighttpdServer::LighttpdServer() = default;
LighttpdServer::~LighttpdServer() { process_.Stop(); }

void LighttpdServer::PutFile(const std::string& relativePath, const std::string& contents) {
  std::filesystem::path path = std::filesystem::path(dir_.Path()) / "www" / relativePath;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << contents;
}

std::string LighttpdServer::ErrorLog() const { return ReadText(dir_.File("error.log")); }

bool LighttpdServer::Start(bool tls) {
  const std::string program = FindProgram("lighttpd");
  if (program.empty()) {
    error_ = "lighttpd is not installed (Debian package lighttpd)";
    return false;
  }
  if (tls) {
    if (!std::filesystem::exists("/usr/lib/lighttpd/mod_openssl.so")) {
      error_ = "lighttpd's TLS module is not installed (Debian package lighttpd-mod-openssl)";
      return false;
    }
    const std::string openssl = FindProgram("openssl");
    platform::ChildProcess keygen;
    if (openssl.empty() ||
        !keygen.Start({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                       "/CN=localhost", "-keyout", dir_.File("key.pem"), "-out", dir_.File("cert.pem")},
                      dir_.File("openssl.log")) ||
        keygen.Wait(60000) != 0) {
      error_ = "cannot make a test certificate with openssl (Debian package openssl)";
      return false;
    }
  }
  PutFile("index.txt", "hello from lighttpd\n");
  std::ofstream(dir_.File("users")) << kUser << ":" << kPassword << "\n";
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreePort();
    std::ofstream conf(dir_.File("lighttpd.conf"), std::ios::trunc);
    conf << "server.document-root = \"" << dir_.Path() << "/www\"\n"
         << "server.port = " << port_ << "\n"
         << "server.bind = \"127.0.0.1\"\n"
         << "server.modules = (\"mod_auth\", \"mod_authn_file\"" << (tls ? ", \"mod_openssl\"" : "") << ")\n"
         << "server.errorlog = \"" << dir_.File("error.log") << "\"\n"
         << "mimetype.assign = (\".txt\" => \"text/plain\", \".bin\" => \"application/octet-stream\")\n"
         << "auth.backend = \"plain\"\n"
         << "auth.backend.plain.userfile = \"" << dir_.File("users") << "\"\n"
         << "auth.require = ( \"/basic/\" => (\"method\" => \"basic\", \"realm\" => \"cam\", "
            "\"require\" => \"valid-user\"),\n"
         << "  \"/digest/\" => (\"method\" => \"digest\", \"realm\" => \"cam\", \"require\" => \"valid-user\") )\n";
    if (tls) {
      conf << "ssl.engine = \"enable\"\n"
           << "ssl.pemfile = \"" << dir_.File("cert.pem") << "\"\n"
           << "ssl.privkey = \"" << dir_.File("key.pem") << "\"\n";
    }
    conf.close();
    if (!process_.Start({program, "-D", "-f", dir_.File("lighttpd.conf")}, dir_.File("stdout.log"))) {
      error_ = "cannot start " + program;
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      if (Accepts(port_)) return true;
      if (!process_.IsRunning()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    process_.Stop();
  }
  error_ = "lighttpd did not start: " + ErrorLog();
  return false;
}

}  // namespace testing
}  // namespace kestrum
