// influx.h - a real InfluxDB 1.x server (Debian's influxd) as a child
// process on free ports of 127.0.0.1, with its data in a scratch folder and
// its usage reports off; and its HTTP API through libcurl. Waits are
// bounded and end on a server line.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "files.h"

namespace testsupport {

class Influx {
 public:
  bool start(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    port_ = freePort();
    const int rpc = freePort();
    if (port_ <= 0 || rpc <= 0) return false;
    const std::string conf = dir_.file("influxdb.conf");
    const std::string d = dir_.path();
    writeFile(conf, "reporting-disabled = true\nbind-address = \"127.0.0.1:" + std::to_string(rpc) +
                        "\"\n[meta]\ndir = \"" + d + "/meta\"\n[data]\ndir = \"" + d +
                        "/data\"\nwal-dir = \"" + d +
                        "/wal\"\nquery-log-enabled = false\n[http]\nbind-address = \"127.0.0.1:" +
                        std::to_string(port_) +
                        "\"\nlog-enabled = false\n[monitor]\nstore-enabled = false\n"
                        "[continuous_queries]\nenabled = false\n");
    return p_.start({"influxd", "-config", conf}) && p_.waitForStderr("Listening on HTTP", limit);
  }
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  Process &proc() { return p_; }

  // The answer to an InfluxQL statement (JSON), or "" when none came.
  std::string query(const std::string &statement, const std::string &db = "") {
    CURL *c = curl_easy_init();
    if (c == nullptr) return "";
    char *q = curl_easy_escape(c, statement.c_str(), static_cast<int>(statement.size()));
    std::string url = this->url() + "/query?epoch=s&q=" + q + (db.empty() ? "" : "&db=" + db);
    curl_free(q);
    std::string answer;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
    // CREATE and DROP go as a POST.
    if (statement.compare(0, 6, "SELECT") != 0) curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char *p, size_t s, size_t n, void *out) {
          static_cast<std::string *>(out)->append(p, s * n);
          return s * n;
        });
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    const bool ok = curl_easy_perform(c) == CURLE_OK;
    curl_easy_cleanup(c);
    return ok ? answer : "";
  }

 private:
  static int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0;
    if (fd >= 0) close(fd);
    return ok ? ntohs(sa.sin_port) : -1;
  }

  ScratchDir dir_{"influx"};  // outlives the server
  Process p_;
  int port_ = 0;
};

}  // namespace testsupport
