#include "fake_jni.h"

#include <stdlib.h>
#include <string.h>

struct FakeVm::Holder {
  JNIEnv env; // first member: a JNIEnv* is a Holder*
  JNINativeInterface_ table;
  FakeVm *vm;
};

FakeVm *vmOf(JNIEnv *env) { return reinterpret_cast<FakeVm::Holder *>(env)->vm; }

static FakeObject *obj(JNIEnv *env, jobject ref) { return vmOf(env)->object(ref); }

static void raise(JNIEnv *env, const char *className) {
  FakeVm *vm = vmOf(env);
  if (vm->pendingException.empty())
    vm->pendingException = className;
}

static jclass JNICALL findClass(JNIEnv *env, const char *name) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back(std::string("FindClass(") + name + ")");
  if (vm->failFindClass) {
    raise(env, "java/lang/NoClassDefFoundError");
    return nullptr;
  }
  FakeObject *c = new FakeObject{FakeObject::classKind, name, {}, {}};
  return (jclass)vm->adopt(c);
}

static jstring JNICALL newStringUTF(JNIEnv *env, const char *utf) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back(std::string("NewStringUTF(") + (utf ? utf : "<null>") + ")");
  if (utf == nullptr || ++vm->newStringCount == vm->failNewStringAt) {
    raise(env, "java/lang/OutOfMemoryError");
    return nullptr;
  }
  return vm->newString(utf);
}

static const char *JNICALL getStringUTFChars(JNIEnv *env, jstring s, jboolean *isCopy) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("GetStringUTFChars(" + vm->stringOf(s) + ")");
  if (vm->failGetStringChars) {
    raise(env, "java/lang/OutOfMemoryError");
    return nullptr;
  }
  if (isCopy != nullptr)
    *isCopy = JNI_TRUE;
  const std::string &text = obj(env, s)->text;
  // A heap copy per call, so that a use after release shows up under ASan.
  char *copy = (char *)malloc(text.size() + 1);
  memcpy(copy, text.c_str(), text.size() + 1);
  vm->outstandingStrings++;
  return copy;
}

static void JNICALL releaseStringUTFChars(JNIEnv *env, jstring s, const char *chars) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("ReleaseStringUTFChars(" + vm->stringOf(s) + ")");
  vm->outstandingStrings--;
  free((void *)chars);
}

static jsize JNICALL getArrayLength(JNIEnv *env, jarray array) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("GetArrayLength");
  FakeObject *a = obj(env, array);
  return (jsize)(a->kind == FakeObject::byteArrayKind ? a->bytes.size() : a->elements.size());
}

static jobjectArray JNICALL newObjectArray(JNIEnv *env, jsize length, jclass elementClass,
                                           jobject initial) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("NewObjectArray(" + std::to_string(length) + "," +
                      obj(env, elementClass)->text + "," + vm->stringOf(initial) + ")");
  if (length < 0) {
    raise(env, "java/lang/NegativeArraySizeException");
    return nullptr;
  }
  if (vm->failNewObjectArray) {
    raise(env, "java/lang/OutOfMemoryError");
    return nullptr;
  }
  FakeObject *a = new FakeObject{FakeObject::objectArrayKind, {}, {}, {}};
  a->elements.assign((size_t)length, initial);
  return (jobjectArray)vm->adopt(a);
}

static void JNICALL setObjectArrayElement(JNIEnv *env, jobjectArray array, jsize index,
                                          jobject value) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("SetObjectArrayElement(" + std::to_string(index) + "," + vm->stringOf(value) +
                      ")");
  FakeObject *a = obj(env, array);
  if (index < 0 || (size_t)index >= a->elements.size()) {
    raise(env, "java/lang/ArrayIndexOutOfBoundsException");
    return;
  }
  a->elements[(size_t)index] = value;
}

static void JNICALL deleteLocalRef(JNIEnv *env, jobject ref) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("DeleteLocalRef(" + vm->stringOf(ref) + ")");
}

static jbyte *JNICALL getByteArrayElements(JNIEnv *env, jbyteArray array, jboolean *isCopy) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("GetByteArrayElements");
  if (vm->failGetArrayElements) {
    raise(env, "java/lang/OutOfMemoryError");
    return nullptr;
  }
  if (isCopy != nullptr)
    *isCopy = JNI_TRUE;
  const std::vector<jbyte> &bytes = obj(env, array)->bytes;
  // Exactly the array's size, so that reading past it shows up under ASan.
  jbyte *copy = (jbyte *)malloc(bytes.empty() ? 1 : bytes.size());
  if (!bytes.empty())
    memcpy(copy, bytes.data(), bytes.size());
  vm->outstandingElements++;
  return copy;
}

static void JNICALL releaseByteArrayElements(JNIEnv *env, jbyteArray array, jbyte *elems,
                                             jint mode) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("ReleaseByteArrayElements(" + std::to_string(mode) + ")");
  vm->releaseModes.push_back(mode);
  std::vector<jbyte> &bytes = obj(env, array)->bytes;
  if (mode != JNI_ABORT && !bytes.empty())
    memcpy(bytes.data(), elems, bytes.size());
  if (mode != JNI_COMMIT) {
    vm->outstandingElements--;
    free(elems);
  }
}

static void JNICALL setByteArrayRegion(JNIEnv *env, jbyteArray array, jsize start, jsize length,
                                       const jbyte *buf) {
  FakeVm *vm = vmOf(env);
  vm->calls.push_back("SetByteArrayRegion(" + std::to_string(start) + "," + std::to_string(length) +
                      ")");
  std::vector<jbyte> &bytes = obj(env, array)->bytes;
  if (start < 0 || length < 0 || (size_t)start + (size_t)length > bytes.size()) {
    raise(env, "java/lang/ArrayIndexOutOfBoundsException");
    return;
  }
  if (length > 0)
    memcpy(bytes.data() + start, buf, (size_t)length);
}

FakeVm::FakeVm() : holder(new Holder()) {
  memset(&holder->table, 0, sizeof holder->table);
  holder->table.FindClass = findClass;
  holder->table.NewStringUTF = newStringUTF;
  holder->table.GetStringUTFChars = getStringUTFChars;
  holder->table.ReleaseStringUTFChars = releaseStringUTFChars;
  holder->table.GetArrayLength = getArrayLength;
  holder->table.NewObjectArray = newObjectArray;
  holder->table.SetObjectArrayElement = setObjectArrayElement;
  holder->table.DeleteLocalRef = deleteLocalRef;
  holder->table.GetByteArrayElements = getByteArrayElements;
  holder->table.ReleaseByteArrayElements = releaseByteArrayElements;
  holder->table.SetByteArrayRegion = setByteArrayRegion;
  holder->env.functions = &holder->table;
  holder->vm = this;
}

FakeVm::~FakeVm() = default;

JNIEnv *FakeVm::env() { return &holder->env; }

jobject FakeVm::adopt(FakeObject *object) {
  objects.emplace_back(object);
  return reinterpret_cast<jobject>(object);
}

jstring FakeVm::newString(const std::string &utf) {
  return (jstring)adopt(new FakeObject{FakeObject::stringKind, utf, {}, {}});
}

jbyteArray FakeVm::newByteArray(const std::vector<jbyte> &bytes) {
  return (jbyteArray)adopt(new FakeObject{FakeObject::byteArrayKind, {}, bytes, {}});
}

FakeObject *FakeVm::object(jobject ref) const { return reinterpret_cast<FakeObject *>(ref); }

std::string FakeVm::stringOf(jobject ref) const {
  return ref == nullptr ? "<null>" : object(ref)->text;
}

std::vector<std::string> FakeVm::stringsOf(jobjectArray array) const {
  std::vector<std::string> out;
  for (jobject e : object(array)->elements)
    out.push_back(stringOf(e));
  return out;
}
