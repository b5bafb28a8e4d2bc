// Every native method, called in any order with any arguments, against a
// fake VM and a fake platform whose answers the input also decides: failed
// calls, short and overlong counts, allocation failures in the scan and in a
// read's scratch block. Whatever happens, nothing is read or written out of
// bounds (ASan), nothing taken from the VM stays taken, and no result breaks
// its method's promise.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "cz_qelvar_Serial.h"
#include "dorlesk/port_list.h"
#include "failing_malloc.h"
#include "fake_jni.h"
#include "fake_platform.h"

#define REQUIRE(cond)                                                                              \
  do {                                                                                             \
    if (!(cond))                                                                                   \
      abort();                                                                                     \
  } while (0)

static const jint handles[] = {-1, 0, 0x1234, 7, 0x7fffffff, (jint)0x80000000};

static jint anyHandle(FuzzedDataProvider &in) {
  return in.ConsumeBool() ? handles[in.ConsumeIntegralInRange<size_t>(0, 5)]
                          : in.ConsumeIntegral<jint>();
}

// Text as Java hands it over: modified UTF-8 holds no raw NUL.
static std::string javaText(FuzzedDataProvider &in, size_t most) {
  std::string s = in.ConsumeRandomLengthString(most);
  for (char &c : s)
    if (c == '\0')
      c = '\xc0';
  return s;
}

static jstring anyString(FuzzedDataProvider &in, FakeVm &vm, size_t most) {
  return in.ConsumeIntegralInRange(0, 9) == 0 ? nullptr : vm.newString(javaText(in, most));
}

static void scan(FuzzedDataProvider &in, FakeVm &vm) {
  portHead = portTail = nullptr; // the last scan's nodes leak, as the library's always do
  portCount = 0;
  attachCount = 0;
  fake.devices.clear();
  int present = in.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < present; i++) {
    static const DWORD answers[] = {ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE};
    fake.devices["\\\\.\\COM" + std::to_string(in.ConsumeIntegralInRange(0, 120))] =
        answers[in.ConsumeIntegralInRange(0, 2)];
  }
  failAllocation(in.ConsumeIntegralInRange(0, 30));
  loadNotification(DLL_PROCESS_ATTACH);
  failAllocation(0);
  int nodes = 0;
  for (PortNode *n = portHead; n != nullptr; n = n->next)
    nodes++;
  REQUIRE(portCount <= nodes && portCount <= 99);

  vm.failFindClass = in.ConsumeIntegralInRange(0, 15) == 0;
  vm.failNewObjectArray = in.ConsumeIntegralInRange(0, 15) == 0;
  vm.failNewStringAt = in.ConsumeIntegralInRange(0, 15);
  vm.newStringCount = 0;
  jobjectArray names = Java_cz_qelvar_Serial_commEnumPorts(vm.env(), nullptr);
  if (names == nullptr) {
    REQUIRE(!vm.pendingException.empty());
  } else {
    std::vector<std::string> listed = vm.stringsOf(names);
    REQUIRE((int)listed.size() == portCount);
    for (const std::string &name : listed)
      REQUIRE(name.empty() || name.rfind("COM", 0) == 0);
  }
  vm.failFindClass = vm.failNewObjectArray = false;
  vm.failNewStringAt = 0;
  vm.pendingException.clear();
}

static void open(FuzzedDataProvider &in, FakeVm &vm) {
  jstring name = anyString(in, vm, MAX_PORT_NAME + 8);
  std::string text = name == nullptr ? "" : vm.stringOf(name);
  if (in.ConsumeBool())
    fake.devices["\\\\.\\" + text] = in.ConsumeBool() ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
  fake.setupCommResult = in.ConsumeBool();
  vm.failGetStringChars = in.ConsumeIntegralInRange(0, 15) == 0;
  size_t before = fake.calls.size();
  jint h = Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, name);
  vm.failGetStringChars = false;
  bool called = fake.calls.size() > before;
  if (name == nullptr || text.size() > MAX_PORT_NAME)
    REQUIRE(h == -1 && !called);
  else if (called)
    REQUIRE(fake.calls[before].find("CreateFileA(\\\\.\\" + text + ",") == 0);
}

static void read(FuzzedDataProvider &in, FakeVm &vm) {
  jint h = anyHandle(in);
  size_t size = in.ConsumeIntegralInRange<size_t>(0, 2048);
  jbyteArray buffer = in.ConsumeIntegralInRange(0, 9) == 0
                          ? nullptr
                          : vm.newByteArray(std::vector<jbyte>(size, (jbyte)0x5a));
  jint length =
      in.ConsumeBool() ? in.ConsumeIntegral<jint>() : in.ConsumeIntegralInRange<jint>(-2, 4096);
  fake.incoming = in.ConsumeRandomLengthString(4096);
  fake.readReportExtra = in.ConsumeBool() ? 0 : in.ConsumeIntegral<DWORD>();
  failAllocation(in.ConsumeIntegralInRange(0, 2));
  jint n = Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, h, buffer, length);
  failAllocation(0);
  REQUIRE(n >= 0 && (n == 0 || (buffer != nullptr && n <= length && (size_t)n <= size)));
  REQUIRE(vm.pendingException.empty());
  if (buffer != nullptr)
    for (size_t i = (size_t)n; i < size; i++)
      REQUIRE(vm.object(buffer)->bytes[i] == (jbyte)0x5a);
}

static void write(FuzzedDataProvider &in, FakeVm &vm) {
  jint h = anyHandle(in);
  size_t size = in.ConsumeIntegralInRange<size_t>(0, 2048);
  jbyteArray data = in.ConsumeIntegralInRange(0, 9) == 0
                        ? nullptr
                        : vm.newByteArray(std::vector<jbyte>(size, (jbyte)0x33));
  jint length =
      in.ConsumeBool() ? in.ConsumeIntegral<jint>() : in.ConsumeIntegralInRange<jint>(-2, 4096);
  vm.failGetArrayElements = in.ConsumeIntegralInRange(0, 15) == 0;
  fake.written.clear();
  jint n = Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, h, data, length);
  vm.failGetArrayElements = false;
  vm.pendingException.clear();
  REQUIRE(n >= 0 && (size_t)n <= size && fake.written.size() <= size);
  if (data != nullptr)
    REQUIRE(vm.object(data)->bytes == std::vector<jbyte>(size, (jbyte)0x33));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  FakeVm vm;
  resetFake();
  memset(&fake.state, in.ConsumeIntegral<uint8_t>(), sizeof fake.state);
  while (in.remaining_bytes() > 0) {
    fake.calls.clear();
    // An exception that an injected VM failure raised was delivered when the
    // last call returned to Java; each call starts with none pending.
    vm.pendingException.clear();
    // A scan probes 99 ports through the logging fake: the costliest step by
    // far, so it is drawn rarely (and never from an exhausted input, which
    // reads as the lowest value).
    int op = in.ConsumeIntegralInRange(1, 40);
    if (op == 40) {
      scan(in, vm);
      continue;
    }
    switch (op % 10) {
    case 1:
      open(in, vm);
      break;
    case 2:
      REQUIRE(Java_cz_qelvar_Serial_commClose(vm.env(), nullptr, anyHandle(in)) == 0);
      break;
    case 3: {
      fake.getCommStateResult = in.ConsumeIntegralInRange(0, 7) != 0;
      fake.setCommStateResult = in.ConsumeIntegralInRange(0, 7) != 0;
      jint h = anyHandle(in);
      jint r = Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, h, anyString(in, vm, 12),
                                                 anyString(in, vm, 6));
      REQUIRE(h == -1 ? r == -1 && fake.calls.empty() : r == 0 || r == 1);
      break;
    }
    case 4: {
      jint h = anyHandle(in);
      REQUIRE(Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, h,
                                                   in.ConsumeIntegral<jlong>()) == (h != 0));
      break;
    }
    case 5:
      read(in, vm);
      break;
    case 6:
      write(in, vm);
      break;
    case 7:
      fake.getCommStateResult = in.ConsumeBool();
      Java_cz_qelvar_Serial_commRTS(vm.env(), nullptr, anyHandle(in),
                                    in.ConsumeIntegral<jboolean>());
      break;
    case 8:
      fake.getCommStateResult = in.ConsumeBool();
      Java_cz_qelvar_Serial_commDTR(vm.env(), nullptr, anyHandle(in),
                                    in.ConsumeIntegral<jboolean>());
      break;
    default:
      REQUIRE(Java_cz_qelvar_Serial_commRI(vm.env(), nullptr, anyHandle(in)) == JNI_TRUE);
    }
    REQUIRE(vm.outstandingStrings == 0 && vm.outstandingElements == 0);
  }
  return 0;
}
