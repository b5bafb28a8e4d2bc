// The shared scenarios; see scenarios.h. What a host cannot show (Wine has
// no exclusive opens, a pseudo-terminal forces the frame) is a skip, with
// the reason.
#include "scenarios.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform.h"
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_jni.h"

std::string failure;

namespace {

const char *dllPath;
std::vector<int> machinePorts;
std::string context; // what was seen, told with a failure
std::string skipReason;

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) {                                                                                 \
      failure = std::string("line ") + std::to_string(__LINE__) + ": " #cond +                     \
                (context.empty() ? "" : " (" + context + ")");                                     \
      return false;                                                                                \
    }                                                                                              \
  } while (0)

bool load(Dorlesk &d) { return loadDorlesk(dllPath, d); }

std::string text(FakeVm &vm, jbyteArray a, size_t n) {
  const std::vector<jbyte> &b = vm.object(a)->bytes;
  return std::string(b.begin(), b.begin() + (ptrdiff_t)n);
}

// What a scan should list: the machine's ports and the given ones, in order.
std::string expectedWith(std::vector<int> ours) {
  ours.insert(ours.end(), machinePorts.begin(), machinePorts.end());
  std::sort(ours.begin(), ours.end());
  std::string s;
  for (int n : ours)
    s += (s.empty() ? "COM" : ",COM") + std::to_string(n);
  return s;
}

std::string joined(const std::vector<std::string> &names) {
  std::string s;
  for (const std::string &n : names)
    s += (s.empty() ? "" : ",") + n;
  return s;
}

// ---- scenarios ----

bool enumerates(Dorlesk &d, FakeVm &vm) {
  jobjectArray names = d.enumPorts(vm.env(), nullptr);
  CHECK(names != nullptr);
  std::string listed = joined(vm.stringsOf(names));
  context = "listed " + listed;
  CHECK(listed == expectedWith({3, 10}));
  jobjectArray again = d.enumPorts(vm.env(), nullptr);
  CHECK(again != names && vm.stringsOf(again) == vm.stringsOf(names));
  return true;
}

bool opensClosesReopens(Dorlesk &d, FakeVm &vm) {
  jint h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  CHECK(d.close(vm.env(), nullptr, h) == 0);
  h = d.open(vm.env(), nullptr, vm.newString("COM10"));
  CHECK(h != -1);
  CHECK(d.close(vm.env(), nullptr, h) == 0);
  h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  CHECK(d.close(vm.env(), nullptr, h) == 0);
  CHECK(vm.outstandingStrings == 0);
  return true;
}

bool holdsExclusively(Dorlesk &d, FakeVm &vm) {
  jint h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  jint second = d.open(vm.env(), nullptr, vm.newString("COM3"));
  if (second != -1) {
    d.close(vm.env(), nullptr, second);
    skipReason = "a second open succeeded: Wine does not enforce exclusive sharing on devices";
  }
  d.close(vm.env(), nullptr, h);
  return true;
}

// Opens COM10, applies the texts and reads the record back from the port.
bool applied(Dorlesk &d, FakeVm &vm, const char *baud, const char *format, DCB *dcb) {
  jint h = d.open(vm.env(), nullptr, vm.newString("COM10"));
  CHECK(h != -1);
  jint result = d.setBaud(vm.env(), nullptr, h, vm.newString(baud), vm.newString(format));
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof *dcb;
  BOOL read = GetCommState((HANDLE)(intptr_t)h, dcb);
  d.close(vm.env(), nullptr, h);
  CHECK(result != 0 && result != -1);
  CHECK(read);
  return true;
}

bool sets9600_8N1(Dorlesk &d, FakeVm &vm) {
  DCB dcb;
  if (!applied(d, vm, "9600", "8N1", &dcb))
    return false;
  CHECK(dcb.BaudRate == 9600);
  CHECK(dcb.ByteSize == 8);
  CHECK(dcb.Parity == NOPARITY);
  CHECK(dcb.StopBits == ONESTOPBIT);
  CHECK(dcb.fOutxCtsFlow == 0 && dcb.fOutxDsrFlow == 0);
  CHECK(dcb.fOutX == 0 && dcb.fInX == 0);
  CHECK(dcb.fRtsControl == RTS_CONTROL_ENABLE);
  CHECK(dcb.fDtrControl == DTR_CONTROL_ENABLE);
  return true;
}

bool sets115200_7E2(Dorlesk &d, FakeVm &vm) {
  DCB dcb;
  if (!applied(d, vm, "115200", "7e2", &dcb))
    return false;
  CHECK(dcb.BaudRate == 115200);
  CHECK(dcb.StopBits == TWOSTOPBITS);
  CHECK(dcb.fRtsControl == RTS_CONTROL_ENABLE && dcb.fDtrControl == DTR_CONTROL_ENABLE);
  return true;
}

bool sets7E2Frame(Dorlesk &d, FakeVm &vm) {
  DCB dcb;
  if (!applied(d, vm, "115200", "7e2", &dcb))
    return false;
  if (dcb.ByteSize == 8 && dcb.Parity == NOPARITY) {
    skipReason = "a pseudo-terminal forces 8 data bits and no parity, so Wine reads back 8N "
                 "whatever was set";
    return true;
  }
  CHECK(dcb.ByteSize == 7);
  CHECK(dcb.Parity == EVENPARITY);
  return true;
}

// A 500 ms read of 10 bytes on a port after sending what the far end may
// echo: it must last the whole time-out and return what came back.
bool readsUntilTheTimeOut(Dorlesk &d, FakeVm &vm, const char *port, const std::string &sent,
                          const std::string &expected) {
  jint h = d.open(vm.env(), nullptr, vm.newString(port));
  CHECK(h != -1);
  CHECK(d.setTimeout(vm.env(), nullptr, h, 500) == 1);
  if (!sent.empty())
    CHECK(d.write(vm.env(), nullptr, h,
                  vm.newByteArray(std::vector<jbyte>(sent.begin(), sent.end())),
                  (jint)sent.size()) == (jint)sent.size());
  jbyteArray buf = vm.newByteArray(std::vector<jbyte>(10, 'z'));
  double start = nowMs();
  jint n = d.read(vm.env(), nullptr, h, buf, 10);
  double elapsed = nowMs() - start;
  d.close(vm.env(), nullptr, h);
  context = "read " + std::to_string(n) + " in " + std::to_string(elapsed) + " ms";
  CHECK(n == (jint)sent.size());
  CHECK(elapsed >= 499.0 && elapsed < 550.0);
  CHECK(text(vm, buf, 10) == expected);
  return true;
}

bool timesOutOnASilentLine(Dorlesk &d, FakeVm &vm) {
  return readsUntilTheTimeOut(d, vm, "COM10", "", "zzzzzzzzzz");
}

bool returnsWhatArrivedAtTheTimeOut(Dorlesk &d, FakeVm &vm) {
  return readsUntilTheTimeOut(d, vm, "COM3", "abcd", "abcdzzzzzz");
}

bool writesSixteenBytes(Dorlesk &d, FakeVm &vm) {
  jint h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  d.setTimeout(vm.env(), nullptr, h, 1000);
  std::vector<jbyte> data;
  for (char c : std::string("0123456789abcdef"))
    data.push_back((jbyte)c);
  jbyteArray out = vm.newByteArray(data);
  jint written = d.write(vm.env(), nullptr, h, out, 16);
  jbyteArray back = vm.newByteArray(std::vector<jbyte>(16, 0));
  jint n = d.read(vm.env(), nullptr, h, back, 16); // the far end echoes what arrived
  d.close(vm.env(), nullptr, h);
  CHECK(written == 16);
  CHECK(n == 16);
  CHECK(vm.object(back)->bytes == data);
  CHECK(vm.object(out)->bytes == data);
  CHECK(vm.releaseModes == std::vector<jint>{JNI_ABORT});
  return true;
}

bool switchesLines(Dorlesk &d, FakeVm &vm) {
  jint h = d.open(vm.env(), nullptr, vm.newString("COM10"));
  CHECK(h != -1);
  jint results[4] = {d.rts(vm.env(), nullptr, h, JNI_FALSE), d.dtr(vm.env(), nullptr, h, JNI_FALSE),
                     d.rts(vm.env(), nullptr, h, JNI_TRUE), d.dtr(vm.env(), nullptr, h, JNI_TRUE)};
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  BOOL read = GetCommState((HANDLE)(intptr_t)h, &dcb);
  d.close(vm.env(), nullptr, h);
  for (jint r : results)
    if (r == 0) {
      skipReason =
          "Wine refuses to switch RTS or DTR on a pseudo-terminal, which has no modem lines";
      return true;
    }
  CHECK(read);
  CHECK(dcb.fRtsControl == RTS_CONTROL_ENABLE && dcb.fDtrControl == DTR_CONTROL_ENABLE);
  return true;
}

bool answersCarrierAndRing(Dorlesk &d, FakeVm &vm) {
  CHECK(d.riRoutine != nullptr && d.riRoutine == d.dcdRoutine);
  jint h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  CHECK(d.ri(vm.env(), nullptr, h) == JNI_TRUE && d.dcd(vm.env(), nullptr, h) == JNI_TRUE);
  d.close(vm.env(), nullptr, h);
  for (jint any : {h, -1, 0})
    CHECK(d.ri(vm.env(), nullptr, any) == JNI_TRUE && d.dcd(vm.env(), nullptr, any) == JNI_TRUE);
  return true;
}

bool refuses(Dorlesk &d, FakeVm &vm) {
  jbyteArray buf = vm.newByteArray(std::vector<jbyte>(4, 'z'));
  CHECK(d.close(vm.env(), nullptr, -1) == 0);
  CHECK(d.setBaud(vm.env(), nullptr, -1, vm.newString("9600"), vm.newString("8N1")) == -1);
  CHECK(d.setTimeout(vm.env(), nullptr, 0, 500) == 0);
  CHECK(d.setTimeout(vm.env(), nullptr, -1, 500) == 1);
  CHECK(d.read(vm.env(), nullptr, -1, buf, 4) == 0);
  CHECK(d.write(vm.env(), nullptr, -1, buf, 4) == 0);
  CHECK(d.rts(vm.env(), nullptr, -1, JNI_TRUE) == 0);
  CHECK(d.dtr(vm.env(), nullptr, -1, JNI_TRUE) == 0);
  CHECK(d.open(vm.env(), nullptr, vm.newString("COM42")) == -1);
  CHECK(d.open(vm.env(), nullptr, vm.newString(std::string(96, 'x'))) == -1);
  CHECK(d.open(vm.env(), nullptr, nullptr) == -1);
  jint h = d.open(vm.env(), nullptr, vm.newString("COM3"));
  CHECK(h != -1);
  CHECK(d.read(vm.env(), nullptr, h, buf, 0) == 0);
  CHECK(d.read(vm.env(), nullptr, h, buf, -1) == 0);
  CHECK(d.write(vm.env(), nullptr, h, buf, -1) == 0);
  d.close(vm.env(), nullptr, h);
  CHECK(text(vm, buf, 4) == "zzzz");
  CHECK(vm.pendingException.empty());
  return true;
}

// Asks COM3's far end for a new port, through the system's own calls.
bool linkPort(const char *name) {
  HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (port == INVALID_HANDLE_VALUE)
    return false;
  COMMTIMEOUTS t = {0, 0, 1000, 0, 0};
  SetCommTimeouts(port, &t);
  std::string request = std::string("\033LINK ") + name + "\n";
  char answer[8] = {0};
  DWORD n = 0;
  WriteFile(port, request.data(), (DWORD)request.size(), &n, nullptr);
  ReadFile(port, answer, 4, &n, nullptr);
  CloseHandle(port);
  return n == 4 && memcmp(answer, "\033OK\n", 4) == 0;
}

// Wine names its devices in lower case; the stand-in looks for COMn.
#ifdef _WIN32
const char *const latePort = "com99";
#else
const char *const latePort = "COM99";
#endif

bool scansOncePerLoad(Dorlesk &first, FakeVm &vm) {
  const std::string before = expectedWith({3, 10});
  CHECK(joined(vm.stringsOf(first.enumPorts(vm.env(), nullptr))) == before);
  CHECK(linkPort(latePort));
  Dorlesk second;
  if (!load(second))
    return false;
  CHECK(second.module == first.module);
  context = "a second load must not rescan";
  CHECK(joined(vm.stringsOf(second.enumPorts(vm.env(), nullptr))) == before);
  unloadDorlesk(second);
  // Still loaded once: the list is intact and still not rescanned.
  CHECK(dorleskLoaded());
  CHECK(joined(vm.stringsOf(first.enumPorts(vm.env(), nullptr))) == before);
  unloadDorlesk(first);
  CHECK(!dorleskLoaded());
  // A new load is a new scan.
  Dorlesk third;
  if (!load(third))
    return false;
  context = "a new load scans anew";
  CHECK(joined(vm.stringsOf(third.enumPorts(vm.env(), nullptr))) == expectedWith({3, 10, 99}));
  return true;
}

// ---- Windows' rule: a synchronous handle runs one call at a time ----

// A read in a thread of its own, with a VM environment of its own.
struct Reader {
  Dorlesk *d;
  jint handle;
  jint n = -1;
  double started = 0, ended = 0;
  FakeVm vm;
};

void readTen(void *p) {
  Reader *r = (Reader *)p;
  jbyteArray buf = r->vm.newByteArray(std::vector<jbyte>(10, 'z'));
  r->started = nowMs();
  r->n = r->d->read(r->vm.env(), nullptr, r->handle, buf, 10);
  r->ended = nowMs();
}

struct Beside {
  const char *what;
  jint (*call)(Dorlesk &, FakeVm &, jint);
  int turns;     // time-outs the call waits: the read's, and its own
  bool answers0; // its answer is 0 (a close, an empty read), else a success
};

jint writeOne(Dorlesk &d, FakeVm &vm, jint h) {
  return d.write(vm.env(), nullptr, h, vm.newByteArray({'x'}), 1);
}
jint setLine(Dorlesk &d, FakeVm &vm, jint h) {
  return d.setBaud(vm.env(), nullptr, h, vm.newString("9600"), vm.newString("8N1"));
}
jint setTimeout(Dorlesk &d, FakeVm &vm, jint h) { return d.setTimeout(vm.env(), nullptr, h, 400); }
jint rtsOff(Dorlesk &d, FakeVm &vm, jint h) { return d.rts(vm.env(), nullptr, h, JNI_FALSE); }
jint dtrOff(Dorlesk &d, FakeVm &vm, jint h) { return d.dtr(vm.env(), nullptr, h, JNI_FALSE); }
jint closePort(Dorlesk &d, FakeVm &vm, jint h) { return d.close(vm.env(), nullptr, h); }
jint readTenMore(Dorlesk &d, FakeVm &vm, jint h) {
  return d.read(vm.env(), nullptr, h, vm.newByteArray(std::vector<jbyte>(10, 'z')), 10);
}

// While a 400 ms read waits on a silent line, each other call on the port
// waits until the read returns: a write, every setting, a close, and a
// second read, whose own time-out starts only when its turn comes. The read
// itself is not cut short, by a close either.
bool callsWaitForARead(Dorlesk &d, FakeVm &vm) {
  const double timeout = 400;
  const Beside calls[] = {{"commWrite", writeOne, 1, false},
                          {"commSetBaud", setLine, 1, false},
                          {"commSetTimeout", setTimeout, 1, false},
                          {"commRTS", rtsOff, 1, false},
                          {"commDTR", dtrOff, 1, false},
                          {"commRead", readTenMore, 2, true},
                          {"commClose", closePort, 1, true}};
  std::string seen;
  bool sideBySide = false, untold = false;
  for (const Beside &c : calls) {
    jint h = d.open(vm.env(), nullptr, vm.newString("COM10"));
    CHECK(h != -1);
    CHECK(d.setTimeout(vm.env(), nullptr, h, (jlong)timeout) == 1);
    Reader reader;
    reader.d = &d;
    reader.handle = h;
    void *thread = startThread(readTen, &reader);
    int inside = awaitCallsOn(h, 1, 5000);
    jint result = c.call(d, vm, h);
    double returned = nowMs();
    joinThread(thread);
    if (c.call != closePort)
      d.close(vm.env(), nullptr, h);
    char line[160];
    snprintf(
        line, sizeof line, "%s%s returned %.0f ms after the read began, the read %.0f ms after",
        seen.empty() ? "" : "; ", c.what, returned - reader.started, reader.ended - reader.started);
    seen += line;
    context = seen;
    CHECK(inside != 0);
    if (inside == -1) {
      untold = true;
      sideBySide = sideBySide || returned < reader.ended;
      continue;
    }
    CHECK(reader.n == 0 && reader.ended - reader.started >= timeout - 1);
    // Its thread may note the time before the reader's does: count from the read's start.
    CHECK(returned - reader.started >= c.turns * timeout - 1);
    CHECK(c.answers0 ? result == 0 : result != 0 && result != -1);
  }
  printf("%s\n", seen.c_str());
  if (untold)
    skipReason = std::string(sideBySide ? "Wine runs calls on one handle side by side, as Windows "
                                          "does not: "
                                        : "Wine shows no queue to wait for: ") +
                 seen;
  return true;
}

struct Scenario {
  const char *name;
  bool (*run)(Dorlesk &, FakeVm &);
} scenarios[] = {
    {"enum", enumerates},
    {"open_close", opensClosesReopens},
    {"exclusive", holdsExclusively},
    {"setbaud_9600_8N1", sets9600_8N1},
    {"setbaud_115200_7e2", sets115200_7E2},
    {"setbaud_7e2_frame", sets7E2Frame},
    {"timeout_silent", timesOutOnASilentLine},
    {"timeout_partial", returnsWhatArrivedAtTheTimeOut},
    {"write16", writesSixteenBytes},
    {"lines", switchesLines},
    {"ri_dcd", answersCarrierAndRing},
    {"refusals", refuses},
    {"load_twice", scansOncePerLoad},
    {"one_call_at_a_time", callsWaitForARead},
};

} // namespace

int scenarioMain(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: harness DLL SCENARIO MACHINE_PORTS\n");
    return 2;
  }
  dllPath = argv[1];
  for (const char *p = strstr(argv[3], "COM"); p != nullptr; p = strstr(p + 3, "COM"))
    machinePorts.push_back(atoi(p + 3));
  for (const Scenario &s : scenarios) {
    if (strcmp(s.name, argv[2]) != 0)
      continue;
    Dorlesk d;
    FakeVm vm;
    bool ok = load(d) && s.run(d, vm);
    if (ok && !skipReason.empty()) {
      printf("SKIP %s: %s\n", s.name, skipReason.c_str());
      return 77;
    }
    printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", s.name, ok ? "" : ": ", ok ? "" : failure.c_str());
    return ok ? 0 : 1;
  }
  fprintf(stderr, "no scenario %s\n", argv[2]);
  return 2;
}
