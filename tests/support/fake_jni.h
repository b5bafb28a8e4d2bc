// A small in-process Java VM as the library sees it: the JNI functions the
// native methods call, strings in modified UTF-8, byte arrays with bounds,
// and a pending-exception flag. Every call is logged.
#ifndef DORLESK_FAKE_JNI_H
#define DORLESK_FAKE_JNI_H

#include <jni.h>

#include <memory>
#include <string>
#include <vector>

struct FakeObject {
  enum Kind { stringKind, byteArrayKind, objectArrayKind, classKind } kind;
  std::string text;              // string: modified UTF-8; class: its name
  std::vector<jbyte> bytes;      // byte array
  std::vector<jobject> elements; // object array
};

class FakeVm {
public:
  FakeVm();
  FakeVm(const FakeVm &) = delete;
  FakeVm &operator=(const FakeVm &) = delete;
  ~FakeVm();

  JNIEnv *env();

  jstring newString(const std::string &utf);
  jbyteArray newByteArray(const std::vector<jbyte> &bytes);
  FakeObject *object(jobject ref) const;
  std::string stringOf(jobject ref) const;
  std::vector<std::string> stringsOf(jobjectArray array) const;

  std::vector<std::string> calls; // JNI functions called, in order
  std::string pendingException;   // class name, empty when none
  int outstandingStrings = 0;     // UTF chars handed out and not yet released
  int outstandingElements = 0;    // array elements handed out and not yet released
  std::vector<jint> releaseModes; // modes given to ReleaseByteArrayElements

  // Failures to inject: the VM answers null (and raises) as it would when
  // out of memory. failNewStringAt counts NewStringUTF calls from 1.
  bool failFindClass = false;
  bool failNewObjectArray = false;
  bool failGetStringChars = false;
  bool failGetArrayElements = false;
  int failNewStringAt = 0;
  int newStringCount = 0;

  jobject adopt(FakeObject *object);

  struct Holder;

private:
  std::unique_ptr<Holder> holder;
  std::vector<std::unique_ptr<FakeObject>> objects;
};

// The VM behind an environment handed to a native method.
FakeVm *vmOf(JNIEnv *env);

#endif
