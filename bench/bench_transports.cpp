// The TLS and SOAP transports' cost over bare exchanges, against scadasim's
// TLS listener and SOAP service on 127.0.0.2.
//
// tls_ratio: the median con_Transact of a 100-byte line with a 200-byte reply
// over the median bare write of the line and read of the framed reply on an
// open session to the same listener (target at most 1.5).
// tls_bulk_ratio: the same with 60 KiB replies (target at most 1.15).
// soap_ratio: the median con_Transact over HTTP keep-alive to scadasim's SOAP
// service over the median bare POST of an envelope of the same call on a
// kept-alive connection to that endpoint (target at most 1.5).
// Runs alternate, so a slow moment of the machine falls on both sides.
// The exit status is 1 past a target.
#include <stdlib.h>
#include <zlib.h>

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

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string &in) {
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<uint8_t>(in[i + 2]);
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kBase64[v & 63] : '=';
  }
  return out;
}

// The envelope as the client sends it: gzip at level 9.
std::string Gzip(const std::string &in) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

double SoapRatio(int rounds) {
  SimSoapSpec spec;
  spec.answer = [](const std::string &) { return "0," + std::string(198, 'r'); };
  std::string why;
  SimSoapServer *s = sim_StartSoapServer(spec, &why);
  if (!s) return fprintf(stderr, "bench_transports: %s\n", why.c_str()), -1;
  std::string base = "http://127.0.0.2:" + std::to_string(sim_SoapPort(s));
  std::string url = base + "/b/c";
  std::string line = "BX," + std::string(96, 'x') + '\0';
  std::string envelope =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
      "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns=\"urn:service\"><SOAP-ENV:Body>"
      "<ns:SendRequest><request><Host>.</Host><Request>" + Base64(line) +
      "</Request><ResultSize>512</ResultSize></request></ns:SendRequest></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  OsHttp *bare = os_HttpOpen();
  OsHttpRequest r{};
  std::string bareUrl = url + "?Service";
  r.url = bareUrl.c_str();
  r.contentType = "text/xml; charset=utf-8";
  std::string packed = Gzip(envelope);
  r.contentEncoding = "gzip";
  r.body = packed.data();
  r.bodySize = packed.size();
  std::vector<char> reply(512);
  int n = 512, status = 0;
  std::string body;
  if (con_Transact(url.c_str(), line.data(), static_cast<int>(line.size()), reply.data(), &n) != 0 ||
      os_HttpPost(bare, r, &status, &body) != 0 || status != 200) {
    fprintf(stderr, "bench_transports: the SOAP calls fail (%u, status %d)\n", os_GetLastError(), status);
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
    if (rc != 0 || err != 0 || status != 200) {
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
