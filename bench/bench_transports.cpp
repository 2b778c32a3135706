// The TLS and SOAP transports' cost over bare exchanges, against scadasim's
// TLS listener and SOAP service on 127.0.0.2.
//
// tls_ratio: the median con_Transact of a 100-byte line with a 200-byte reply
// over the median bare write of the line and read of the framed reply on an
// open session to the same listener (target at most 1.5).
// tls_bulk_ratio: the same with 60 KiB replies (target at most 1.15).
// soap_ratio: the median con_Transact over HTTP keep-alive to scadasim's SOAP
// service over the median bare POST, on a kept-alive connection to that
// endpoint, of the very bytes the transport posted for the same call (its
// gzip envelope, captured on the first call) (target at most 1.5).
// Runs alternate, so a slow moment of the machine falls on both sides.
// The exit status is 1 past a target.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "framework/server/srv_client.h"
#include "platform/os_error.h"
#include "platform/os_http.h"
#include "platform/os_path.h"
#include "platform/os_tls.h"
#include "plugin/connect/con_transports.h"
#include "plugin/connect/ws_soap.h"
#include "tools/scadasim/sim_soap.h"
#include "tools/scadasim/sim_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Micros(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

// The bare side: the line written, the framed reply read whole.
bool Bare(OsTls *t, const std::string &line, std::vector<char> &reply) {
  if (!os_TlsWrite(t, line.data(), static_cast<uint32_t>(line.size()))) return false;
  uint32_t have = 0, want = 4;
  while (have < want) {
    uint32_t n = os_TlsRead(t, reply.data() + have, static_cast<uint32_t>(reply.size()) - have);
    if (n == 0) return false;
    have += n;
    if (have >= 4 && want == 4) {
      int32_t len;
      memcpy(&len, reply.data(), 4);
      want = 4 + static_cast<uint32_t>(len);
    }
  }
  return true;
}

// One ratio: con_Transact over the bare exchange, replies of `replySize` bytes.
double Ratio(const char *name, const std::string &certs, size_t replySize, int rounds) {
  SimTlsSpec spec;
  spec.certFile = certs + "/server.pem";
  spec.keyFile = certs + "/server.key";
  spec.answer = [replySize](const std::string &) {
    std::string r = "0," + std::string(replySize - 2, 'r');
    return r;
  };
  std::string why;
  SimTlsServer *s = sim_StartTlsServer(spec, &why);
  if (!s) return fprintf(stderr, "bench_transports: %s\n", why.c_str()), -1;
  std::string url = "tnw://127.0.0.2:" + std::to_string(sim_TlsPort(s)) + "/";
  std::string line = "BX," + std::string(96, 'x') + '\0';  // 100 bytes with the terminator
  std::vector<char> reply(replySize + 64);
  int n = static_cast<int>(reply.size());
  OsTls *bare = os_TlsConnect("127.0.0.2", sim_TlsPort(s), 5000);
  if (!bare || con_Transact(url.c_str(), line.data(), static_cast<int>(line.size()), reply.data(), &n) != 0) {
    fprintf(stderr, "bench_transports: the requests fail (%u)\n", os_GetLastError());
    return -1;
  }
  std::vector<double> table, plain;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    n = static_cast<int>(reply.size());
    int rc = con_Transact(url.c_str(), line.data(), static_cast<int>(line.size()), reply.data(), &n);
    auto t1 = Clock::now();
    bool ok = Bare(bare, line, reply);
    auto t2 = Clock::now();
    if (rc != 0 || !ok || static_cast<size_t>(n) != replySize) {
      fprintf(stderr, "bench_transports: a request failed (%u)\n", os_GetLastError());
      return -1;
    }
    table.push_back(Micros(t0, t1));
    plain.push_back(Micros(t1, t2));
  }
  printf("%s: con_Transact median %.2f us, bare TLS median %.2f us\n", name, Median(table), Median(plain));
  os_TlsClose(bare);
  srv_CloseAllConnections();
  sim_StopTlsServer(s);
  return Median(table) / Median(plain);
}

// The plug-in's own request, as its transport handed it to the HTTP layer:
// the bare side posts these very bytes.
struct Captured {
  std::string url, contentType, contentEncoding, body;
  size_t replyMax = 0;
  bool seen = false;
} g_captured;

uint32_t CapturePost(OsHttp *http, const OsHttpRequest &r, int *status, std::string *body) {
  g_captured.url = r.url;
  g_captured.contentType = r.contentType ? r.contentType : "";
  g_captured.contentEncoding = r.contentEncoding ? r.contentEncoding : "";
  g_captured.body.assign(static_cast<const char *>(r.body), r.bodySize);
  g_captured.replyMax = r.replyMax;
  g_captured.seen = true;
  return os_HttpPost(http, r, status, body);
}

double SoapRatio(int rounds) {
  SimSoapSpec spec;
  spec.answer = [](const std::string &) { return "0," + std::string(198, 'r'); };
  std::string why;
  SimSoapServer *s = sim_StartSoapServer(spec, &why);
  if (!s) return fprintf(stderr, "bench_transports: %s\n", why.c_str()), -1;
  std::string url = "http://127.0.0.2:" + std::to_string(sim_SoapPort(s)) + "/b/c";
  std::string line = "BX," + std::string(96, 'x') + '\0';
  std::vector<char> reply(512);
  int n = 512, status = 0;
  ws_SetPost(CapturePost);
  int first = con_Transact(url.c_str(), line.data(), static_cast<int>(line.size()), reply.data(), &n);
  ws_SetPost(nullptr);
  if (first != 0 || !g_captured.seen || g_captured.contentEncoding != "gzip") {
    fprintf(stderr, "bench_transports: the SOAP call fails (%u)\n", os_GetLastError());
    return -1;
  }
  // The same endpoint, headers, gzip body and reply limit on a kept-alive handle of its own.
  OsHttp *bare = os_HttpOpen();
  OsHttpRequest r{};
  r.url = g_captured.url.c_str();
  r.contentType = g_captured.contentType.c_str();
  r.contentEncoding = g_captured.contentEncoding.c_str();
  r.body = g_captured.body.data();
  r.bodySize = g_captured.body.size();
  r.replyMax = g_captured.replyMax;
  std::string body;
  if (os_HttpPost(bare, r, &status, &body) != 0 || status != 200) {
    fprintf(stderr, "bench_transports: the bare POST fails (status %d)\n", status);
    return -1;
  }
  std::vector<double> table, plain;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    n = 512;
    int rc = con_Transact(url.c_str(), line.data(), static_cast<int>(line.size()), reply.data(), &n);
    auto t1 = Clock::now();
    uint32_t err = os_HttpPost(bare, r, &status, &body);
    auto t2 = Clock::now();
    if (rc != 0 || n != 200 || err != 0 || status != 200) {
      fprintf(stderr, "bench_transports: a SOAP call failed (%u)\n", os_GetLastError());
      return -1;
    }
    table.push_back(Micros(t0, t1));
    plain.push_back(Micros(t1, t2));
  }
  printf("soap: con_Transact median %.2f us, bare POST median %.2f us\n", Median(table), Median(plain));
  os_HttpClose(bare);
  srv_CloseAllConnections();
  sim_StopSoapServer(s);
  return Median(table) / Median(plain);
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 3000;
  if (rounds < 1) rounds = 1;
  char tmpl[] = "/tmp/bench_transports.XXXXXX";
  if (!mkdtemp(tmpl)) return perror("mkdtemp"), 1;
  std::string root = tmpl;
  setenv("PLATFORM_ROOT", root.c_str(), 1);
  std::string make = "sh " TNW_SOURCE_DIR "/tests/support/make_certs.sh " + root;
  if (system(make.c_str()) != 0) return fprintf(stderr, "bench_transports: cannot make certificates\n"), 1;
  con_InstallTransports();
  // The certificate lines of each open go to the standard output: keep them out of the figures.
  double tls = Ratio("tls", root, 200, rounds);
  double bulk = Ratio("tls_bulk", root, 60 * 1024, rounds / 4 > 0 ? rounds / 4 : 1);
  double soap = SoapRatio(rounds / 2 > 0 ? rounds / 2 : 1);
  std::string clean = "rm -rf " + root;
  if (system(clean.c_str()) != 0) fprintf(stderr, "bench_transports: %s left behind\n", root.c_str());
  if (tls < 0 || bulk < 0 || soap < 0) return 1;
  printf("tls_ratio %.3f\n", tls);
  printf("tls_bulk_ratio %.3f\n", bulk);
  printf("soap_ratio %.3f\n", soap);
  return tls <= 1.5 && bulk <= 1.15 && soap <= 1.5 ? 0 : 1;
}
