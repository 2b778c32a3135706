#include "tools/scadasim/sim_requests.h"
#include "tools/scadasim/sim_file_requests.h"
#include "tools/scadasim/sim_soap.h"
#include "tools/scadasim/sim_tls.h"

#include <signal.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "framework/notify/ntf_notify.h"
#include "framework/server/srv_chunked.h"
#include "framework/server/srv_client.h"
#include "framework/shm/shm_segment.h"
#include "framework/tables/tbl_text.h"
#include "platform/os_env.h"
#include "platform/os_error.h"
#include "platform/os_io.h"
#include "platform/os_mailslot.h"
#include "platform/os_pipe.h"

namespace {

// A client that gave up on a reply leaves the server waiting for its
// acknowledgement this long before the next request is served.
enum : uint32_t { kPollMs = 100, kAckWaitMs = 2000, kMessageMax = 65536 };

struct Connection {
  OsHandle handle = nullptr;
  std::thread thread;
  std::atomic<bool> done{false};  // the client has gone: the thread has ended or is ending
  // Held here rather than on the thread's stack, so the buffer stays reachable
  // from the server for a leak check that stops the world while a request is read.
  std::vector<char> buffer = std::vector<char>(kMessageMax);
};

}  // namespace

struct SimRequestServer {
  SimRequestSpec spec;
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> delayMs{0};
  std::atomic<bool> drop{false};
  OsHandle listener = nullptr;
  std::thread acceptThread, slotThread;
  OsHandle requestSlot = nullptr, ackSlot = nullptr;
  mutable std::mutex lock;  // state, log and connections
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<std::string> log;
};

namespace {

std::string Upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t i = 0;
  for (;;) {
    size_t j = s.find(sep, i);
    out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) return out;
    i = j + 1;
  }
}

bool IsNumber(const std::string &s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// The processors of DATPROC.TXT in the configuration folder.
std::vector<SimServedProcessor> ReadProcessors(const std::string &folder) {
  std::vector<SimServedProcessor> out;
  std::string dir = folder;
  if (dir.empty()) {
    char value[1024];
    uint32_t n = os_GetEnvironmentVariable("TSQ_CURRENT_CONFIG", value, sizeof value);
    if (n == 0 || n >= sizeof value) return out;
    dir = value;
  }
  if (tbl_Open((dir + "\\DATPROC.TXT").c_str()) < 0) return out;
  std::vector<ProcessorRecord> records;
  char *fields[5];
  int offsets[5];
  for (;;) {
    int count = tbl_ReadFields(fields, offsets, 5);
    if (count <= 0) break;
    records.emplace_back();
    if (tbl_ParseProcessorLine(nullptr, &records.back(), fields, offsets, count, records.data()) != 1) {
      records.pop_back();
      continue;
    }
    const ProcessorRecord &r = records.back();
    SimServedProcessor p;
    p.name = std::string(r.Name, strnlen(r.Name, sizeof r.Name));
    p.printName = std::string(r.PrintName, strnlen(r.PrintName, sizeof r.PrintName));
    p.prefix = std::string(r.Prefix, strnlen(r.Prefix, sizeof r.Prefix));
    p.count = r.Count;
    p.run = r.Run;
    p.type = r.Type;
    p.text = count >= 5 ? fields[4] : "";
    out.push_back(p);
  }
  tbl_Close();
  return out;
}

std::string PrintName(const SimServedProcessor &p) { return p.printName.empty() ? p.name : p.printName; }

// The 0-based indexes a selector picks from n items ("*,k", a number k, or a name).
template <typename F>
std::vector<size_t> Select(const std::vector<std::string> &args, size_t n, F matches) {
  std::vector<size_t> out;
  std::string sel = args.empty() ? "" : args[0];
  if (sel == "*") {
    size_t k = args.size() > 1 ? static_cast<size_t>(atoi(args[1].c_str())) : n;
    for (size_t i = 0; i < n && i < k; ++i) out.push_back(i);
  } else if (IsNumber(sel)) {
    size_t k = static_cast<size_t>(atoi(sel.c_str()));
    if (k >= 1 && k <= n) out.push_back(k - 1);
  } else {
    for (size_t i = 0; i < n; ++i)
      if (matches(i, sel)) {
        out.push_back(i);
        break;
      }
  }
  return out;
}

std::string List(const std::vector<std::string> &records) {
  std::string s = std::to_string(records.size());
  for (size_t i = 0; i < records.size(); ++i) s += (i ? ";" : ",") + records[i];
  return s;
}

SimServedProcessor *FindProcessor(SimRequestServer *s, const std::string &name) {
  for (SimServedProcessor &p : s->spec.processors)
    if (strcasecmp(p.name.c_str(), name.c_str()) == 0) return &p;
  return nullptr;
}

SimServedLogger *FindLogger(SimRequestServer *s, const std::string &name) {
  for (SimServedLogger &l : s->spec.loggers)
    if (strcasecmp(l.name.c_str(), name.c_str()) == 0) return &l;
  return nullptr;
}

const char *TypeLetter(uint8_t type) { return type == 2 ? "A" : type == 3 ? "D" : ""; }

// The server's answer to one request line (without its terminator); holds s->lock.
std::string Answer(SimRequestServer *s, const std::string &line) {
  std::string command = Upper(line.substr(0, 2));
  std::vector<std::string> args = line.size() > 3 && line[2] == ',' ? Split(line.substr(3), ',') : std::vector<std::string>{};
  auto processorMatch = [&](size_t i, const std::string &sel) {
    const SimServedProcessor &p = s->spec.processors[i];
    return strcasecmp(PrintName(p).c_str(), sel.c_str()) == 0 || strncasecmp(p.name.c_str(), sel.c_str(), 5) == 0;
  };
  if (command == "QP") return std::to_string(s->spec.processors.size());
  if (command == "QL") return std::to_string(s->spec.loggers.size());
  if (command == "IP" || command == "TP") {
    std::vector<std::string> records;
    for (size_t i : Select(args, s->spec.processors.size(), processorMatch)) {
      const SimServedProcessor &p = s->spec.processors[i];
      if (command == "IP")
        records.push_back(p.name + "," + PrintName(p) + "," + (p.prefix.empty() ? "" : p.prefix + ":" + std::to_string(p.count)) +
                          "," + std::to_string(p.run) + "," + TypeLetter(p.type));
      else
        records.push_back(std::to_string(i + 1) + "," + std::to_string(p.type) + "," + PrintName(p) + "," + p.text);
    }
    return List(records);
  }
  if (command == "CP" || command == "DP" || command == "EP") {
    if (args.empty() || args.size() != (command == "CP" ? 2u : 1u)) return "-1,87";
    SimServedProcessor *p = FindProcessor(s, args[0]);
    if (!p) return "-1,2";
    if (command == "DP") p->run = 0;
    if (command == "EP") p->run = 1;
    if (command != "CP") return "0";
    std::string code = args[1];
    bool letter = code.size() == 1 && strchr("CIRT", code[0]);
    if (!letter && !(IsNumber(code) && atoi(code.c_str()) > 255)) return "-1,87";
    if ((code == "C" || code == "R") && !p->xmlError.empty()) return "-1,1465," + p->xmlError;
    return "0";
  }
  if (command == "TL") {
    std::vector<std::string> records;
    auto loggerMatch = [&](size_t i, const std::string &sel) {
      return strcasecmp(s->spec.loggers[i].name.c_str(), sel.c_str()) == 0;
    };
    for (size_t i : Select(args, s->spec.loggers.size(), loggerMatch)) {
      const SimServedLogger &l = s->spec.loggers[i];
      records.push_back(l.name + "," + std::to_string(l.active) + "," + std::to_string(l.kind) + ",0," +
                        std::to_string(i + 1) + "," + l.name + "," + l.text);
    }
    return List(records);
  }
  if (command == "NL") {
    size_t k = args.size() == 1 ? static_cast<size_t>(atoi(args[0].c_str())) : 0;
    return k >= 1 && k <= s->spec.loggers.size() ? "1," + s->spec.loggers[k - 1].name : "0";
  }
  if (command == "DL" || command == "EL" || command == "CL" || command == "RL") {
    if (args.empty() || args.size() != (command == "RL" ? 1u : 2u)) return "-1,87";
    SimServedLogger *l = FindLogger(s, args[0]);
    if (!l) return "-1,2";
    if (command == "DL") l->active = 0;
    if (command == "EL") l->active = 1;
    if (command == "CL" && !(args[1] == "F" || args[1] == "S" || (IsNumber(args[1]) && atoi(args[1].c_str()) > 255)))
      return "-1,87";
    return "0";
  }
  if (command == "YL" || command == "ML" || command == "XL") return args.size() == 2 ? "0" : "-1,87";
  return "-1,1";
}

// The server's own answer to all the bytes of a request, knobs applied.
std::string OwnAnswer(SimRequestServer *s, const char *data, uint32_t n) {
  std::string request(data, n);
  std::string verb = Upper(request.substr(0, 2));
  const SimVerbKnob *knob = nullptr;
  for (const SimVerbKnob &k : s->spec.knobs)
    if (Upper(k.verb) == verb) knob = &k;
  if (knob && knob->delayMs) {
    uint32_t start = os_GetTickCount();
    while (!s->stop && os_GetTickCount() - start < knob->delayMs) os_Sleep(10);
  }
  if (knob && knob->failCode)
    return "-1," + std::to_string(knob->failCode) + (knob->failText.empty() ? "" : "," + knob->failText) +
           std::string(1, '\0');
  std::string answer;
  if (sim_AnswerFileVerb(s->spec.configFolder, request, &answer) || sim_AnswerAssetVerb(request, &answer) ||
      sim_AnswerLoggerListVerb(s->spec.configFolder, request, &answer)) {
    answer.push_back('\0');
  } else if (!sim_AnswerConfigVerb(s->spec.configFolder, request, &answer) &&
             !sim_AnswerChannelVerb(request, &answer)) {
    std::lock_guard<std::mutex> g(s->lock);
    std::string text = Answer(s, std::string(data, strnlen(data, n)));
    answer.assign(text.c_str(), text.size() + 1);
  }
  if (!knob) return answer;
  if (knob->negativeCount && verb == "RF") {
    size_t comma = answer.rfind(',');
    if (comma != std::string::npos) answer.insert(comma + 1, 1, '-');
  }
  if (knob->sizeDelta > 0) answer.append(static_cast<size_t>(knob->sizeDelta), '\0');
  if (knob->sizeDelta < 0) answer.resize(answer.size() > static_cast<size_t>(-knob->sizeDelta)
                                             ? answer.size() - static_cast<size_t>(-knob->sizeDelta)
                                             : 0);
  if (knob->cutAt >= 0 && answer.size() > static_cast<size_t>(knob->cutAt)) answer.resize(static_cast<size_t>(knob->cutAt));
  return answer;
}

// The bytes sent for a request: the test's own reply, or the server's answer.
std::string Reply(SimRequestServer *s, const char *data, uint32_t n) {
  std::string line(data, strnlen(data, n));
  {
    std::lock_guard<std::mutex> g(s->lock);
    if (s->spec.keepLog) s->log.push_back(line);
  }
  std::string own;
  if (s->spec.answer && s->spec.answer(line, &own)) return own;
  return OwnAnswer(s, data, n);
}

// Sleeps the configured delay, in steps so that a stop is not held up.
void Delay(SimRequestServer *s) {
  uint32_t start = os_GetTickCount();
  while (!s->stop && os_GetTickCount() - start < s->delayMs.load()) os_Sleep(10);
}

void Serve(SimRequestServer *s, Connection *c) {
  OsHandle conn = c->handle;
  std::vector<char> &buf = c->buffer;
  std::minstd_rand dice(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(c)) ^ os_GetTickCount());
  while (!s->stop) {
    uint32_t got = 0;
    if (os_ReadFile(conn, buf.data(), kMessageMax, &got) != 0) break;
    if (s->drop || (s->spec.dropOneIn && dice() % s->spec.dropOneIn == 0)) break;
    Delay(s);
    if (s->stop) break;
    std::string reply = Reply(s, buf.data(), got);
    uint32_t written = 0;
    if (os_WriteFile(conn, reply.data(), static_cast<uint32_t>(reply.size()), &written) != 0) break;
  }
  // Hanging up: the client sees the pipe broken.
  shutdown(os_HandleFd(conn), SHUT_RDWR);
  c->done = true;
}

// Connections whose clients have gone are joined and closed, so that a
// server that outlives many clients keeps neither their descriptors nor
// their threads. Holds s->lock.
void Reap(SimRequestServer *s) {
  for (auto it = s->connections.begin(); it != s->connections.end();) {
    Connection *c = it->get();
    if (!c->done) {
      ++it;
      continue;
    }
    if (c->thread.joinable()) c->thread.join();
    os_CloseHandle(c->handle);
    it = s->connections.erase(it);
  }
}

void AcceptLoop(SimRequestServer *s) {
  while (!s->stop) {
    OsHandle conn = os_AcceptPipeClient(s->listener, kPollMs);
    if (!conn) continue;
    std::lock_guard<std::mutex> g(s->lock);
    Reap(s);
    auto c = std::make_unique<Connection>();
    c->handle = conn;
    c->thread = std::thread(Serve, s, c.get());
    s->connections.push_back(std::move(c));
  }
}

// Acknowledgements left over from a transfer that failed would answer the next one.
void DrainAcks(OsHandle ack) {
  uint32_t count = 0;
  char b[64];
  while (os_GetMailslotInfo(ack, nullptr, &count) == 0 && count > 0) {
    uint32_t got = 0;
    if (os_ReadFile(ack, b, sizeof b, &got) != 0) break;
  }
}

void SlotLoop(SimRequestServer *s) {
  std::vector<char> buf(kMessageMax);
  while (!s->stop) {
    uint32_t got = 0;
    if (os_ReadFile(s->requestSlot, buf.data(), kMessageMax, &got) != 0 || got < 8) continue;
    if (s->drop) continue;
    uint32_t ids[2];
    memcpy(ids, buf.data() + got - 8, sizeof ids);
    Delay(s);
    if (s->stop) break;
    std::string reply = Reply(s, buf.data(), got - 8);
    char name[32];
    snprintf(name, sizeof name, "%X\\%X", ids[0], ids[1]);
    OsHandle writer = os_CreateFile(ntf_MailslotPath(name), OS_GENERIC_WRITE, OS_FILE_SHARE_READ | OS_FILE_SHARE_WRITE,
                                    OS_OPEN_EXISTING, 0);
    if (!writer) continue;
    DrainAcks(s->ackSlot);
    uint32_t written = 0;
    srv_WriteChunked(writer, s->ackSlot, reply.data(), static_cast<uint32_t>(reply.size()), &written);
  }
}

bool Fail(std::string *why, const std::string &text) {
  if (why) *why = text + " (error " + std::to_string(os_GetLastError()) + ")";
  return false;
}

bool Listen(SimRequestServer *s, std::string *why) {
  std::string host = s->spec.host.empty() ? "." : s->spec.host;
  std::string name = "\\\\" + host + "\\pipe\\" SRV_PIPE_NAME;
  if (s->spec.pipe) {
    s->listener = os_CreatePipeListener(name.c_str());
    if (!s->listener) return Fail(why, "cannot listen on " + name);
  }
  if (!s->spec.mailslots) return true;
  if (!os_IsLocalHost(host.c_str())) return Fail(why, "request mailslots are this computer's only");
  s->requestSlot = os_CreateMailslot(ntf_MailslotPath(SRV_REQUEST_SLOT), 0, kPollMs, shm_OpenSecurityAttributes());
  if (!s->requestSlot) return Fail(why, "cannot create the request mailslot");
  s->ackSlot = os_CreateMailslot(ntf_MailslotPath(SRV_ACK_SLOT), 0, kAckWaitMs, shm_OpenSecurityAttributes());
  if (!s->ackSlot) return Fail(why, "cannot create the acknowledgement mailslot");
  return true;
}

void CloseAll(SimRequestServer *s) {
  if (s->listener) os_CloseHandle(s->listener);
  if (s->requestSlot) os_CloseHandle(s->requestSlot);
  if (s->ackSlot) os_CloseHandle(s->ackSlot);
  s->listener = s->requestSlot = s->ackSlot = nullptr;
}

}  // namespace

SimRequestServer *sim_StartRequestServer(const SimRequestSpec &spec, std::string *why) {
  auto *s = new SimRequestServer;
  s->spec = spec;
  if (s->spec.processors.empty()) s->spec.processors = ReadProcessors(spec.configFolder);
  s->delayMs = spec.delayMs;
  s->drop = spec.dropConnections;
  if (!Listen(s, why)) {
    CloseAll(s);
    delete s;
    return nullptr;
  }
  if (s->listener) s->acceptThread = std::thread(AcceptLoop, s);
  if (s->requestSlot) s->slotThread = std::thread(SlotLoop, s);
  return s;
}

void sim_StopRequestServer(SimRequestServer *s) {
  if (!s) return;
  s->stop = true;
  if (s->acceptThread.joinable()) s->acceptThread.join();
  if (s->slotThread.joinable()) s->slotThread.join();
  std::vector<std::unique_ptr<Connection>> conns;
  {
    std::lock_guard<std::mutex> g(s->lock);
    conns.swap(s->connections);
  }
  for (auto &c : conns) {
    shutdown(os_HandleFd(c->handle), SHUT_RDWR);  // wakes its reader
    if (c->thread.joinable()) c->thread.join();
    os_CloseHandle(c->handle);
  }
  CloseAll(s);
  delete s;
}

void sim_SetRequestDelay(SimRequestServer *s, uint32_t ms) {
  if (s) s->delayMs = ms;
}

void sim_SetDropConnections(SimRequestServer *s, bool drop) {
  if (s) s->drop = drop;
}

std::vector<std::string> sim_ServedRequests(const SimRequestServer *s) {
  if (!s) return {};
  std::lock_guard<std::mutex> g(s->lock);
  return s->log;
}

std::string sim_AnswerRequest(SimRequestServer *s, const std::string &request) {
  if (!s) return "";
  return OwnAnswer(s, request.data(), static_cast<uint32_t>(request.size()));
}

std::string sim_ServeRequest(SimRequestServer *s, const std::string &request) {
  if (!s) return "";
  Delay(s);
  return Reply(s, request.data(), static_cast<uint32_t>(request.size()));
}

bool sim_ServedLoggerActive(const SimRequestServer *s, const std::string &name) {
  if (!s) return false;
  std::lock_guard<std::mutex> g(s->lock);
  for (const SimServedLogger &l : s->spec.loggers)
    if (strcasecmp(l.name.c_str(), name.c_str()) == 0) return l.active != 0;
  return false;
}

bool sim_ServedProcessorRuns(const SimRequestServer *s, const std::string &name) {
  if (!s) return false;
  std::lock_guard<std::mutex> g(s->lock);
  for (const SimServedProcessor &p : s->spec.processors)
    if (strcasecmp(p.name.c_str(), name.c_str()) == 0) return p.run != 0;
  return false;
}

namespace {

volatile sig_atomic_t g_stopRequests;

void OnStop(int) { g_stopRequests = 1; }

}  // namespace

void sim_RequestsUsage(FILE *f) {
  fprintf(f,
          "  requests [--host H] [--mailslots] [--delay MS] [--drop] [--logger NAME]...\n"
          "           [--config F] [--fail VV:CODE[:TEXT]] [--resize VV:N]\n"
          "           [--negative-count] [--cut VV:N] [--verb-delay VV:MS]\n"
          "        answers request lines on \\\\H\\pipe\\tessarine (H \".\" this computer, else a\n"
          "        host folder under $PLATFORM_ROOT/hosts/) until interrupted; processors\n"
          "        come from DATPROC.TXT in $TSQ_CURRENT_CONFIG. --mailslots also answers\n"
          "        the Windows 9x request mailslot, --delay waits before each reply, --drop\n"
          "        hangs up on every request. Faults of one verb VV: --fail VV:CODE[:TEXT],\n"
          "        --resize VV:BYTES (added, or taken off when negative), --negative-count\n"
          "        (RF), --cut VV:BYTES, --verb-delay VV:MS. File and configuration verbs\n"
          "        work in the folder --config names (default $TSQ_CURRENT_CONFIG).\n");
  sim_TlsUsage(f);
  sim_SoapUsage(f);
}

int sim_RequestsCommand(int argc, char **argv) {
  SimRequestSpec spec;
  SimTlsOptions tls;
  SimSoapOptions soap;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    bool bad = false;
    if (sim_TlsOption(argc, argv, &i, &tls, &bad) || sim_SoapOption(argc, argv, &i, &soap, &bad)) {
      if (bad) return fprintf(stderr, "scadasim requests: bad %s\n", a.c_str()), 2;
    } else if (a == "--host" && more) {
      spec.host = argv[++i];
    } else if (a == "--mailslots") {
      spec.mailslots = true;
    } else if (a == "--delay" && more) {
      spec.delayMs = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
    } else if (a == "--drop") {
      spec.dropConnections = true;
    } else if (a == "--config" && more) {
      spec.configFolder = argv[++i];
    } else if ((a == "--fail" || a == "--resize" || a == "--cut" || a == "--verb-delay") && more) {
      std::string v = argv[++i];
      size_t colon = v.find(':');
      if (colon != 2) {
        fprintf(stderr, "scadasim requests: %s wants VV:NUMBER\n", a.c_str());
        return 2;
      }
      SimVerbKnob k;
      k.verb = v.substr(0, 2);
      std::string rest = v.substr(3);
      size_t textAt = rest.find(':');
      int number = atoi(rest.substr(0, textAt).c_str());
      if (a == "--fail") {
        k.failCode = number;
        if (textAt != std::string::npos) k.failText = rest.substr(textAt + 1);
      } else if (a == "--resize") {
        k.sizeDelta = number;
      } else if (a == "--cut") {
        k.cutAt = number;
      } else {
        k.delayMs = static_cast<uint32_t>(number);
      }
      spec.knobs.push_back(k);
    } else if (a == "--negative-count") {
      SimVerbKnob k;
      k.verb = "RF";
      k.negativeCount = true;
      spec.knobs.push_back(k);
    } else if (a == "--logger" && more) {
      spec.loggers.push_back(SimServedLogger{argv[++i], 1, 0, ""});
    } else {
      fprintf(stderr, "scadasim requests: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  struct sigaction sa = {};
  sa.sa_handler = OnStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::string why;
  SimRequestServer *s = sim_StartRequestServer(spec, &why);
  if (!s) {
    fprintf(stderr, "scadasim: %s\n", why.c_str());
    return 1;
  }
  printf("scadasim: answering requests on \\\\%s\\pipe\\" SRV_PIPE_NAME "\n", spec.host.c_str());
  SimTlsServer *tlsServer = nullptr;
  if (!sim_StartTlsFromOptions(&tls, s, &tlsServer)) return sim_StopRequestServer(s), 1;
  SimSoapServer *soapServers[2];
  if (!sim_StartSoapFromOptions(soap, tls.spec.certFile, tls.spec.keyFile, s, soapServers))
    return sim_StopTlsServer(tlsServer), sim_StopRequestServer(s), 1;
  fflush(stdout);
  while (!g_stopRequests) os_Sleep(50);
  for (SimSoapServer *x : soapServers) sim_StopSoapServer(x);
  sim_StopTlsServer(tlsServer);
  sim_StopRequestServer(s);
  return 0;
}
