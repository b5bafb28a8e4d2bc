// commEnumPorts: the load-time port list as a new String array.
#include "cz_qelvar_Serial.h"
#include "dorlesk/port_list.h"

JNIEXPORT jobjectArray JNICALL Java_cz_qelvar_Serial_commEnumPorts(JNIEnv *env, jclass) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr)
    return nullptr;
  jstring empty = env->NewStringUTF("");
  if (empty == nullptr)
    return nullptr;
  jobjectArray names = env->NewObjectArray(portCount, stringClass, empty);
  // On any failure the VM's exception stays pending for the caller to see.
  if (names == nullptr)
    return nullptr;
  PortNode *node = portHead;
  for (jint i = 0; i < portCount && node != nullptr; i++, node = node->next) {
    jstring name = env->NewStringUTF(node->name != nullptr ? node->name : "");
    if (name == nullptr)
      return nullptr;
    env->SetObjectArrayElement(names, i, name);
    // The array holds the string now. JNI promises a native method only 16
    // local references; 99 names would exceed that.
    env->DeleteLocalRef(name);
  }
  return names;
}
