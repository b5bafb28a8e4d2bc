// The load-time scan, the port list and commEnumPorts, against the fake.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "cz_qelvar_Serial.h"
#include "dorlesk/port_list.h"
#include "failing_malloc.h"
#include "fake_jni.h"
#include "fake_platform.h"

class Discovery : public ::testing::Test {
protected:
  void SetUp() override {
    resetFake();
    attachCount = 0;
    portHead = portTail = nullptr; // earlier tests' nodes leak, as the library's do
    portCount = 0;
  }
  void TearDown() override { failAllocation(0); }

  void present(int n, DWORD answer = ERROR_SUCCESS) {
    fake.devices["\\\\.\\COM" + std::to_string(n)] = answer;
  }

  std::vector<std::string> enumerate() {
    jobjectArray names = Java_cz_qelvar_Serial_commEnumPorts(vm.env(), nullptr);
    EXPECT_NE(names, nullptr);
    return names == nullptr ? std::vector<std::string>{} : vm.stringsOf(names);
  }

  FakeVm vm;
};

TEST_F(Discovery, ProbesCom1ToCom99OnceEachInOrderWithoutOpeningThem) {
  loadNotification(DLL_PROCESS_ATTACH);
  std::vector<std::string> expected;
  for (int n = 1; n <= 99; n++) {
    expected.push_back(probeCall(n));
    expected.push_back("GetLastError()");
  }
  EXPECT_EQ(fake.calls, expected);
  EXPECT_EQ(portCount, 0);
  EXPECT_EQ(attachCount, 1);
}

TEST_F(Discovery, ListsPresentPortsInAscendingOrderAndClosesTheirProbes) {
  present(10);
  present(3);
  loadNotification(DLL_PROCESS_ATTACH);
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM3", "COM10"}));
  EXPECT_EQ(portCount, 2);
  // A present port's probe is closed and GetLastError is not asked.
  auto at = std::find(fake.calls.begin(), fake.calls.end(), probeCall(3));
  ASSERT_NE(at, fake.calls.end());
  EXPECT_EQ(*(at + 1), "CloseHandle(0x1234)");
  EXPECT_EQ(*(at + 2), probeCall(4));
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "CloseHandle(0x1234)"), 2);
}

TEST_F(Discovery, AProbeRefusedForAnyReasonButNotFoundStillListsThePort) {
  present(5, ERROR_ACCESS_DENIED); // held open by another process
  present(7, ERROR_GEN_FAILURE);
  loadNotification(DLL_PROCESS_ATTACH);
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM5", "COM7"}));
  // No handle came back, so none is closed.
  EXPECT_EQ(std::count_if(fake.calls.begin(), fake.calls.end(),
                          [](const std::string &c) { return c.rfind("CloseHandle", 0) == 0; }),
            0);
}

TEST_F(Discovery, ScansOnceAcrossAttachesAndDetachFreesNothing) {
  present(3);
  loadNotification(DLL_PROCESS_ATTACH);
  size_t firstScan = fake.calls.size();
  present(4); // appears later: a snapshot does not see it
  loadNotification(DLL_PROCESS_ATTACH);
  loadNotification(DLL_THREAD_ATTACH);
  loadNotification(DLL_THREAD_DETACH);
  EXPECT_EQ(fake.calls.size(), firstScan);
  EXPECT_EQ(attachCount, 2);
  PortNode *head = portHead;
  EXPECT_EQ(loadNotification(DLL_PROCESS_DETACH), TRUE);
  EXPECT_EQ(loadNotification(DLL_PROCESS_DETACH), TRUE);
  EXPECT_EQ(attachCount, 0);
  EXPECT_EQ(portHead, head);
  EXPECT_STREQ(portHead->name, "COM3");
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM3"}));
}

TEST_F(Discovery, EveryCallMakesANewArrayWithTheSameNames) {
  present(1);
  present(99);
  present(100); // never probed
  loadNotification(DLL_PROCESS_ATTACH);
  jobjectArray a = Java_cz_qelvar_Serial_commEnumPorts(vm.env(), nullptr);
  jobjectArray b = Java_cz_qelvar_Serial_commEnumPorts(vm.env(), nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(vm.stringsOf(a), (std::vector<std::string>{"COM1", "COM99"}));
  EXPECT_EQ(vm.stringsOf(a), vm.stringsOf(b));
  // Each name's local reference is given back once the array holds it.
  EXPECT_EQ(std::count(vm.calls.begin(), vm.calls.end(), "DeleteLocalRef(COM99)"), 2);
  EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(),
                       "CreateFileA(\\\\.\\COM100,0x0,0,null,3,0x80,null)"),
            0);
}

TEST_F(Discovery, EnumerationWithNoPortsBuildsAnEmptyArrayOfStrings) {
  loadNotification(DLL_PROCESS_ATTACH);
  EXPECT_TRUE(enumerate().empty());
  EXPECT_EQ(vm.calls, (std::vector<std::string>{"FindClass(java/lang/String)", "NewStringUTF()",
                                                "NewObjectArray(0,java/lang/String,)"}));
}

TEST_F(Discovery, ANodeThatCannotBeAllocatedIsNeitherLinkedNorCounted) {
  addPort("COM1");
  failAllocation(1); // the next node
  EXPECT_FALSE(addPort("COM2"));
  EXPECT_EQ(portHead, portTail);
  failAllocation(2); // the next name
  EXPECT_TRUE(addPort("COM3"));
  EXPECT_EQ(portTail->name, nullptr);
  portCount = 2;
  // The nameless node still takes its place in the array, as "".
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM1", ""}));
}

TEST_F(Discovery, TheScanCountsOnlyTheNodesItLinked) {
  present(2);
  present(3);
  failAllocation(1); // COM2's node: snprintf and the probes allocate nothing
  loadNotification(DLL_PROCESS_ATTACH);
  EXPECT_EQ(portCount, 1);
  EXPECT_EQ(enumerate(), (std::vector<std::string>{"COM3"}));
}

TEST_F(Discovery, AVmThatCannotCreateObjectsGetsNullWithItsExceptionPending) {
  present(3);
  present(4);
  loadNotification(DLL_PROCESS_ATTACH);
  struct Case {
    const char *what;
    void (*arrange)(FakeVm &);
  } cases[] = {
      {"class", [](FakeVm &v) { v.failFindClass = true; }},
      {"empty string", [](FakeVm &v) { v.failNewStringAt = 1; }},
      {"array", [](FakeVm &v) { v.failNewObjectArray = true; }},
      {"second name", [](FakeVm &v) { v.failNewStringAt = 3; }},
  };
  for (const Case &c : cases) {
    FakeVm v;
    c.arrange(v);
    EXPECT_EQ(Java_cz_qelvar_Serial_commEnumPorts(v.env(), nullptr), nullptr) << c.what;
    EXPECT_FALSE(v.pendingException.empty()) << c.what;
  }
}
