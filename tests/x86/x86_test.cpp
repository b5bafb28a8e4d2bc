// The x86 DLL itself, over the recording fake: what only executing its code
// shows. Every call goes through the call gate, which stops the run when a
// routine pops other than its decorated byte count or breaks a register.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "call_gate.h"
#include "cz_qelvar_Serial.h"
#include "dorlesk_x86.h"
#include "fake_jni.h"
#include "fake_platform.h"

// The settings record as the DLL lays it out.
static_assert(offsetof(DCB, BaudRate) == 4 && offsetof(DCB, wReserved) == 12 &&
                  offsetof(DCB, XonLim) == 14 && offsetof(DCB, ByteSize) == 18 &&
                  offsetof(DCB, Parity) == 19 && offsetof(DCB, StopBits) == 20 &&
                  offsetof(DCB, XonChar) == 21 && offsetof(DCB, EvtChar) == 25 && sizeof(DCB) == 28,
              "DCB members at their Windows offsets");

// Only the DLL's malloc is failed on request (see resolveImport), not the
// C++ library's, which is linked into this static program.
extern "C" void *__real_malloc(size_t size) { return malloc(size); }

// The port tests reset the fake before each test: the default copy's scan
// must be over by then.
class LoadBeforeAnyTest : public ::testing::Environment {
  void SetUp() override { defaultDll(); }
};
static ::testing::Environment *const loadFirst =
    ::testing::AddGlobalTestEnvironment(new LoadBeforeAnyTest);

// Each test attaches a copy of its own, so that the scan runs over the fake
// as the test set it up.
class X86 : public ::testing::Test {
protected:
  void SetUp() override { resetFake(); }
  void TearDown() override {
    if (copy.base != nullptr)
      unloadDll(&copy);
    currentDorlesk = nullptr;
  }
  void attach() {
    std::string error;
    ASSERT_TRUE(loadDll(getenv("DORLESK_X86_DLL"), &copy, &error)) << error;
    currentDorlesk = &copy;
  }
  std::vector<std::string> enumerate() {
    jobjectArray names = Java_cz_qelvar_Serial_commEnumPorts(vm.env(), nullptr);
    return names == nullptr ? std::vector<std::string>{} : vm.stringsOf(names);
  }
  PeModule copy;
  FakeVm vm;
};

TEST_F(X86, TheAttachScanProbesEachComOnceListsHeldPortsAndClosesItsProbes) {
  fake.devices["\\\\.\\COM3"] = ERROR_SUCCESS;
  fake.devices["\\\\.\\COM10"] = ERROR_ACCESS_DENIED; // held by another program
  attach();
  EXPECT_NE((uint32_t)(uintptr_t)copy.base, copy.preferredBase) << "relocations not exercised";
  std::vector<std::string> expected;
  for (int n = 1; n <= 99; n++) {
    expected.push_back(probeCall(n));
    expected.push_back(n == 3 ? "CloseHandle(0x1234)" : "GetLastError()");
  }
  EXPECT_EQ(fake.calls, expected);
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM3", "COM10"}));
}

TEST_F(X86, NinetyNinePortsNeverHoldMoreThanSixteenLocalReferences) {
  for (int n = 1; n <= 99; n++)
    fake.devices["\\\\.\\COM" + std::to_string(n)] = ERROR_SUCCESS;
  attach();
  EXPECT_EQ(enumerate().size(), 99u);
  int alive = 0, most = 0;
  for (const std::string &call : vm.calls) {
    if (call.rfind("FindClass", 0) == 0 || call.rfind("NewStringUTF", 0) == 0 ||
        call.rfind("NewObjectArray", 0) == 0)
      most = std::max(most, ++alive);
    else if (call.rfind("DeleteLocalRef", 0) == 0)
      alive--;
  }
  EXPECT_LE(most, 16);
}

TEST_F(X86, TheTimeOutIsTheLowWordOfItsTwoStackWords) {
  attach();
  Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, 0x1234, 0x7000000FALL);
  EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 250u);
  Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, 0x1234, 500LL);
  EXPECT_EQ(fake.timeouts.ReadTotalTimeoutConstant, 500u);
}

// Every jboolean the gate passes carries 0xA5A5A5 in its upper bytes; the
// port tests' line cases then show the flag is read from the low byte.
TEST_F(X86, AFalseFlagWithGarbageAboveItsLowByteSwitchesTheLineOff) {
  attach();
  EXPECT_NE(Java_cz_qelvar_Serial_commRTS(vm.env(), nullptr, 0x1234, JNI_FALSE), 0);
  EXPECT_EQ(fake.applied.fRtsControl, (DWORD)RTS_CONTROL_DISABLE);
  EXPECT_EQ(Java_cz_qelvar_Serial_commRI(vm.env(), nullptr, 0x1234), 1);
  EXPECT_EQ(Java_cz_qelvar_Serial_commDCD(vm.env(), nullptr, 0x1234), 1);
}

TEST_F(X86, TheElevenDecoratedExportsExistAndCarrierIsRing) {
  attach();
  const std::pair<const char *, int> methods[] = {
      {"commEnumPorts", 8},   {"commOpen", 12}, {"commClose", 12}, {"commSetBaud", 20},
      {"commSetTimeout", 20}, {"commRead", 20}, {"commWrite", 20}, {"commRTS", 16},
      {"commDTR", 16},        {"commRI", 12},   {"commDCD", 12}};
  for (const auto &m : methods)
    EXPECT_NE(dllExport(copy, m.first, m.second), nullptr) << m.first;
  EXPECT_EQ(dllExport(copy, "commRI", 12), dllExport(copy, "commDCD", 12));
}

static jmp_buf trapped;
static std::string trapName;

TEST(PeLoader, AnImportTheHostDoesNotSupplyStopsTheCallNamingItself) {
  resetFake();
  fake.devices["\\\\.\\COM3"] = ERROR_SUCCESS;
  PeModule copy;
  std::string error;
  ImportResolver withoutSetupComm = [](const char *dll, const char *name) -> void * {
    return strcmp(name, "SetupComm") == 0 ? nullptr : resolveImport(dll, name);
  };
  ASSERT_TRUE(peLoad(getenv("DORLESK_X86_DLL"), withoutSetupComm, &copy, &error)) << error;
  ASSERT_TRUE(peNotify(copy, 1));
  peUnboundImportCalled = [](const char *name) {
    trapName = name;
    longjmp(trapped, 1);
  };
  FakeVm vm;
  uint32_t args[3] = {(uint32_t)(uintptr_t)vm.env(), 0, (uint32_t)(uintptr_t)vm.newString("COM3")};
  if (setjmp(trapped) == 0)
    gateCall(dllExport(copy, "commOpen", 12), args, 3, 12, "commOpen");
  EXPECT_EQ(trapName, "KERNEL32.dll!SetupComm");
  peUnload(&copy);
}
