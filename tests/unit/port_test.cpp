// The port methods against the fake: the exact platform calls, their order
// and arguments, and every refusal.
#include <gtest/gtest.h>
#include <string.h>

#include "cz_qelvar_Serial.h"
#include "failing_malloc.h"
#include "fake_jni.h"
#include "fake_platform.h"

using Calls = std::vector<std::string>;

static const char *const h = "0x1234";
static const jint handle = 0x1234;

class Port : public ::testing::Test {
protected:
  void SetUp() override { resetFake(); }
  void TearDown() override {
    failAllocation(0);
    // Whatever was taken from the VM was given back.
    EXPECT_EQ(vm.outstandingStrings, 0);
    EXPECT_EQ(vm.outstandingElements, 0);
  }
  std::string call(const char *name, const std::string &args) {
    return std::string(name) + "(" + h + (args.empty() ? "" : "," + args) + ")";
  }
  FakeVm vm;
};

// ---- open and close ----

TEST_F(Port, OpenTakesThePortExclusivelyWithQueuesAndMask) {
  fake.devices["\\\\.\\COM3"] = ERROR_SUCCESS;
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString("COM3")), handle);
  EXPECT_EQ(fake.calls, (Calls{"CreateFileA(\\\\.\\COM3,0xc0000000,0,null,3,0x0,null)",
                               call("SetupComm", "1024,1024"), call("SetCommMask", "0x87")}));
  EXPECT_EQ(vm.calls, (Calls{"GetStringUTFChars(COM3)", "ReleaseStringUTFChars(COM3)"}));
}

TEST_F(Port, OpenThatFailsAnswersMinusOne) {
  fake.devices["\\\\.\\COM4"] = ERROR_ACCESS_DENIED; // held elsewhere
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString("COM4")), -1);
  EXPECT_EQ(fake.calls.size(), 1u);

  resetFake();
  fake.devices["\\\\.\\COM4"] = ERROR_SUCCESS;
  fake.setupCommResult = FALSE;
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString("COM4")), -1);
  EXPECT_EQ(fake.calls, (Calls{"CreateFileA(\\\\.\\COM4,0xc0000000,0,null,3,0x0,null)",
                               call("SetupComm", "1024,1024"), call("CloseHandle", "")}));
}

#ifdef DORLESK_X86_HOST
static const size_t longestName = 95; // the Windows DLL's device-path buffer
#else
static const size_t longestName = MAX_PORT_NAME;
#endif

TEST_F(Port, OpenPutsTheNameBehindThePrefixUnchangedUpToTheLongestName) {
  std::string longest(longestName, 'x');
  fake.devices["\\\\.\\" + longest] = ERROR_SUCCESS;
  fake.devices["\\\\.\\/dev/ttyUSB0"] = ERROR_SUCCESS;
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString(longest)), handle);
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString("/dev/ttyUSB0")),
            handle);
}

TEST_F(Port, OpenRefusesWhatItCannotNameWithoutTouchingThePlatform) {
  // A longer name would not fit the path; cut short it could name another device.
  fake.devices["\\\\.\\" + std::string(longestName, 'x')] = ERROR_SUCCESS;
  for (size_t length : {longestName + 1, longestName + 4000})
    EXPECT_EQ(
        Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString(std::string(length, 'x'))),
        -1);
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, nullptr), -1);
  vm.failGetStringChars = true;
  EXPECT_EQ(Java_cz_qelvar_Serial_commOpen(vm.env(), nullptr, vm.newString("COM1")), -1);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Port, CloseDiscardsBothSidesThenReleasesThePort) {
  EXPECT_EQ(Java_cz_qelvar_Serial_commClose(vm.env(), nullptr, handle), 0);
  EXPECT_EQ(fake.calls,
            (Calls{call("PurgeComm", "5"), call("PurgeComm", "10"), call("CloseHandle", "")}));
  resetFake();
  EXPECT_EQ(Java_cz_qelvar_Serial_commClose(vm.env(), nullptr, -1), 0);
  EXPECT_TRUE(fake.calls.empty());
  // Any other number goes to the platform unchecked, and still answers 0.
  EXPECT_EQ(Java_cz_qelvar_Serial_commClose(vm.env(), nullptr, 0), 0);
  EXPECT_EQ(fake.calls.size(), 3u);
}

// ---- line settings ----

// A record unlike anything commSetBaud writes, so every change shows.
static DCB before() {
  DCB d;
  memset(&d, 0, sizeof d);
  d.DCBlength = sizeof d;
  d.BaudRate = 4321;
  d.fBinary = 0;
  d.fParity = 0;
  d.fOutxCtsFlow = 1;
  d.fOutxDsrFlow = 1;
  d.fDtrControl = DTR_CONTROL_HANDSHAKE;
  d.fDsrSensitivity = 1;
  d.fTXContinueOnXoff = 1;
  d.fOutX = 1;
  d.fInX = 1;
  d.fErrorChar = 1;
  d.fNull = 1;
  d.fRtsControl = RTS_CONTROL_TOGGLE;
  d.fAbortOnError = 1;
  d.XonLim = 111;
  d.XoffLim = 222;
  d.ByteSize = 6;
  d.Parity = MARKPARITY;
  d.StopBits = ONE5STOPBITS;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.ErrorChar = 0x21;
  d.EofChar = 0x1a;
  d.EvtChar = 0x7e;
  return d;
}

// before() with the fixed flow-control policy applied.
static DCB policy(DWORD rate, BYTE size, BYTE parity, BYTE stop) {
  DCB d = before();
  d.BaudRate = rate;
  d.ByteSize = size;
  d.Parity = parity;
  d.StopBits = stop;
  d.fBinary = 1;
  d.fParity = 1;
  d.fOutxCtsFlow = 0;
  d.fOutxDsrFlow = 0;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fOutX = 0;
  d.fInX = 0;
  d.fErrorChar = 0;
  d.fNull = 0;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  d.fAbortOnError = 0;
  d.ErrorChar = (char)0xFF;
  return d;
}

// Every member the library may touch or must keep, compared one by one.
static void expectMembers(const DCB &want, const DCB &got, const std::string &label) {
#define MEMBER(m) EXPECT_EQ((long)want.m, (long)got.m) << label << ": " #m
  MEMBER(DCBlength);
  MEMBER(BaudRate);
  MEMBER(fBinary);
  MEMBER(fParity);
  MEMBER(fOutxCtsFlow);
  MEMBER(fOutxDsrFlow);
  MEMBER(fDtrControl);
  MEMBER(fDsrSensitivity);
  MEMBER(fTXContinueOnXoff);
  MEMBER(fOutX);
  MEMBER(fInX);
  MEMBER(fErrorChar);
  MEMBER(fNull);
  MEMBER(fRtsControl);
  MEMBER(fAbortOnError);
  MEMBER(XonLim);
  MEMBER(XoffLim);
  MEMBER(ByteSize);
  MEMBER(Parity);
  MEMBER(StopBits);
  MEMBER(XonChar);
  MEMBER(XoffChar);
  MEMBER(ErrorChar);
  MEMBER(EofChar);
  MEMBER(EvtChar);
#undef MEMBER
}

TEST_F(Port, SetBaudAppliesRateFormatAndPolicyMemberByMember) {
  struct Case {
    const char *baud, *format;
    DCB want;
  } cases[] = {
      {"9600", "8N1", policy(9600, 8, NOPARITY, ONESTOPBIT)},
      {"115200", "7e2", policy(115200, 7, EVENPARITY, TWOSTOPBITS)},
      {"1200", "5O1", policy(1200, 5, ODDPARITY, ONESTOPBIT)},
      {"4800", "8N1", policy(4321, 8, NOPARITY, ONESTOPBIT)},  // not in the table
      {"9600 ", "8N1", policy(4321, 8, NOPARITY, ONESTOPBIT)}, // whole texts only
      {"9600.0", "8N1", policy(4321, 8, NOPARITY, ONESTOPBIT)},
      {"57600", "8M1", policy(57600, 8, NOPARITY, ONESTOPBIT)}, // mark: not offered
      {"57600", "8S1", policy(57600, 8, NOPARITY, ONESTOPBIT)}, // space: not offered
      {"19200", "8N3", policy(19200, 8, NOPARITY, ONESTOPBIT)},
      {"19200", "8N0", policy(19200, 8, NOPARITY, ONESTOPBIT)},
      {"2400", "8N1 ", policy(2400, 6, MARKPARITY, ONE5STOPBITS)}, // not 3 bytes: kept
      {"2400", "", policy(2400, 6, MARKPARITY, ONE5STOPBITS)},
      {"38400", "9N1", policy(38400, 9, NOPARITY, ONESTOPBIT)}, // the platform judges 9
  };
  for (const Case &c : cases) {
    resetFake();
    fake.state = before();
    FakeVm v;
    jint result = Java_cz_qelvar_Serial_commSetBaud(v.env(), nullptr, handle, v.newString(c.baud),
                                                    v.newString(c.format));
    std::string label = std::string(c.baud) + "/" + c.format;
    EXPECT_EQ(result, TRUE) << label;
    expectMembers(c.want, fake.applied, label);
    EXPECT_EQ(fake.calls, (Calls{call("GetCommState", ""), call("SetCommState", "")})) << label;
    EXPECT_EQ(v.calls, (Calls{"GetStringUTFChars(" + std::string(c.format) + ")",
                              "GetStringUTFChars(" + std::string(c.baud) + ")",
                              "ReleaseStringUTFChars(" + std::string(c.format) + ")",
                              "ReleaseStringUTFChars(" + std::string(c.baud) + ")"}))
        << label;
    EXPECT_EQ(v.outstandingStrings, 0) << label;
  }
}

TEST_F(Port, SetBaudAnswersThePlatformsVerdict) {
  fake.state = before();
  fake.setCommStateResult = FALSE; // say, 9 data bits refused
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, handle, vm.newString("9600"),
                                              vm.newString("9N1")),
            0);
  EXPECT_EQ(fake.applied.ByteSize, 9);
}

TEST_F(Port, SetBaudRefusals) {
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, -1, vm.newString("9600"),
                                              vm.newString("8N1")),
            -1);
  EXPECT_TRUE(fake.calls.empty());
  fake.getCommStateResult = FALSE;
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, handle, vm.newString("9600"),
                                              vm.newString("8N1")),
            0);
  EXPECT_EQ(fake.calls, (Calls{call("GetCommState", "")}));
  EXPECT_TRUE(vm.calls.empty()); // the texts were not read
}

TEST_F(Port, SetBaudReadsAMissingTextAsUnknown) {
  fake.state = before();
  EXPECT_EQ(
      Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, handle, nullptr, vm.newString("7E1")),
      TRUE);
  expectMembers(policy(4321, 7, EVENPARITY, ONESTOPBIT), fake.applied, "null baud");
  fake.state = before();
  EXPECT_EQ(
      Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, handle, vm.newString("2400"), nullptr),
      TRUE);
  expectMembers(policy(2400, 6, MARKPARITY, ONE5STOPBITS), fake.applied, "null format");
  fake.state = before();
  vm.failGetStringChars = true;
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetBaud(vm.env(), nullptr, handle, vm.newString("2400"),
                                              vm.newString("7E1")),
            TRUE);
  expectMembers(policy(4321, 6, MARKPARITY, ONE5STOPBITS), fake.applied, "no chars");
}

// ---- time-out and transfer ----

TEST_F(Port, SetTimeoutWritesOnlyTheReadTotalConstant) {
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, handle, 500), 1);
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, -1, 0x100000014LL), 1);
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, handle, -1), 1);
  EXPECT_EQ(fake.calls, (Calls{call("SetCommTimeouts", "0,0,500,0,0"),
                               "SetCommTimeouts(INVALID,0,0,20,0,0)", // low 32 bits only
                               call("SetCommTimeouts", "0,0,4294967295,0,0")}));
  resetFake();
  EXPECT_EQ(Java_cz_qelvar_Serial_commSetTimeout(vm.env(), nullptr, 0, 500), 0);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(Port, ReadCopiesWhatArrivedFromIndexZeroAndLeavesTheRest) {
  fake.incoming = "abcd";
  jbyteArray buffer = vm.newByteArray(std::vector<jbyte>(10, 'z'));
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, 10), 4);
  EXPECT_EQ(fake.calls, (Calls{call("ReadFile", "ptr,10,ptr,null")}));
  EXPECT_EQ(std::string(vm.object(buffer)->bytes.begin(), vm.object(buffer)->bytes.end()),
            "abcdzzzzzz");
  EXPECT_TRUE(vm.pendingException.empty());
}

TEST_F(Port, ReadNeverTakesMoreThanTheArrayHolds) {
  fake.incoming = "0123456789";
  jbyteArray buffer = vm.newByteArray(std::vector<jbyte>(4, 0));
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, 10), 4);
  EXPECT_EQ(fake.calls, (Calls{call("ReadFile", "ptr,4,ptr,null")}));
  EXPECT_EQ(fake.incoming, "456789"); // still queued in the port
  EXPECT_TRUE(vm.pendingException.empty());
  // A driver that reports more than it was asked for is not believed.
  fake.readReportExtra = 3;
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, 4), 4);
  EXPECT_TRUE(vm.pendingException.empty());
}

TEST_F(Port, ReadRefusalsMakeNoPlatformCall) {
  fake.incoming = "abc";
  jbyteArray buffer = vm.newByteArray(std::vector<jbyte>(4, 'z'));
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, 0), 0);
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, -5), 0);
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, nullptr, 4), 0);
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, vm.newByteArray({}), 4), 0);
  failAllocation(1); // the scratch block
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, handle, buffer, 4), 0);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(std::string(vm.object(buffer)->bytes.begin(), vm.object(buffer)->bytes.end()), "zzzz");
}

TEST_F(Port, ReadOnAFailingHandleAnswersZero) {
  jbyteArray buffer = vm.newByteArray(std::vector<jbyte>(4, 'z'));
  EXPECT_EQ(Java_cz_qelvar_Serial_commRead(vm.env(), nullptr, -1, buffer, 4), 0);
  EXPECT_EQ(fake.calls, (Calls{"ReadFile(INVALID,ptr,4,ptr,null)"}));
}

TEST_F(Port, WriteSendsTheBytesAndLeavesTheArrayAlone) {
  std::vector<jbyte> data;
  for (int i = 0; i < 16; i++)
    data.push_back((jbyte)('A' + i));
  jbyteArray array = vm.newByteArray(data);
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, array, 16), 16);
  EXPECT_EQ(fake.calls, (Calls{call("WriteFile", "ptr,16,ptr,null")}));
  EXPECT_EQ(fake.written, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(vm.releaseModes, (std::vector<jint>{JNI_ABORT}));
  EXPECT_EQ(vm.object(array)->bytes, data);
}

TEST_F(Port, WriteNeverReadsPastTheArray) {
  jbyteArray array = vm.newByteArray({'a', 'b', 'c'});
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, array, 1000), 3);
  EXPECT_EQ(fake.written, "abc");
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, array, 0), 0);
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, -1, array, 3), 0);
  EXPECT_EQ(fake.calls,
            (Calls{call("WriteFile", "ptr,3,ptr,null"), call("WriteFile", "ptr,0,ptr,null"),
                   "WriteFile(INVALID,ptr,3,ptr,null)"}));
}

TEST_F(Port, WriteRefusalsMakeNoPlatformCall) {
  jbyteArray array = vm.newByteArray({'a', 'b', 'c'});
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, array, -1), 0);
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, nullptr, 3), 0);
  vm.failGetArrayElements = true;
  EXPECT_EQ(Java_cz_qelvar_Serial_commWrite(vm.env(), nullptr, handle, array, 3), 0);
  EXPECT_TRUE(fake.calls.empty());
}

// ---- modem lines ----

TEST_F(Port, RtsAndDtrChangeTheirOwnModeAndNothingElse) {
  struct Case {
    jint(JNICALL *method)(JNIEnv *, jclass, jint, jboolean);
    jboolean on;
    int rts, dtr;
  } cases[] = {
      // before() has RTS in toggle and DTR in handshake mode.
      {Java_cz_qelvar_Serial_commRTS, JNI_TRUE, RTS_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE},
      {Java_cz_qelvar_Serial_commRTS, JNI_FALSE, RTS_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE},
      {Java_cz_qelvar_Serial_commRTS, 2, RTS_CONTROL_DISABLE, DTR_CONTROL_HANDSHAKE},
      {Java_cz_qelvar_Serial_commDTR, JNI_TRUE, RTS_CONTROL_TOGGLE, DTR_CONTROL_ENABLE},
      {Java_cz_qelvar_Serial_commDTR, JNI_FALSE, RTS_CONTROL_TOGGLE, DTR_CONTROL_DISABLE},
  };
  for (const Case &c : cases) {
    resetFake();
    fake.state = before();
    EXPECT_EQ(c.method(vm.env(), nullptr, handle, c.on), TRUE);
    DCB want = before();
    want.fRtsControl = c.rts;
    want.fDtrControl = c.dtr;
    expectMembers(want, fake.applied,
                  "rts " + std::to_string(c.rts) + " dtr " + std::to_string(c.dtr));
    EXPECT_EQ(fake.calls, (Calls{call("GetCommState", ""), call("SetCommState", "")}));
  }
  EXPECT_TRUE(vm.calls.empty());
}

TEST_F(Port, LinesAnswerThePlatform) {
  fake.getCommStateResult = FALSE;
  EXPECT_EQ(Java_cz_qelvar_Serial_commDTR(vm.env(), nullptr, -1, JNI_TRUE), 0);
  EXPECT_EQ(fake.calls, (Calls{"GetCommState(INVALID)"}));
  resetFake();
  fake.setCommStateResult = FALSE;
  EXPECT_EQ(Java_cz_qelvar_Serial_commRTS(vm.env(), nullptr, handle, JNI_TRUE), 0);
}

TEST_F(Port, CarrierAndRingAreOneRoutineThatAlwaysSaysTrue) {
#ifndef DORLESK_X86_HOST // there these names are gates; x86_test compares the exports
  // Read through volatile: a compiler may assume two functions never share
  // an address and fold the comparison away.
  void *volatile ri = (void *)&Java_cz_qelvar_Serial_commRI;
  void *volatile dcd = (void *)&Java_cz_qelvar_Serial_commDCD;
  EXPECT_EQ(ri, dcd);
#endif
  for (jint any : {handle, 0, -1})
    EXPECT_EQ(Java_cz_qelvar_Serial_commDCD(vm.env(), nullptr, any), JNI_TRUE);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_TRUE(vm.calls.empty());
}
