// Whatever name reaches the POSIX stand-in, and however small the buffer,
// resolving it writes nothing past the buffer and gives either no device, an
// absolute path or a network port's URL.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../src/platform/posix_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  if (in.ConsumeBool())
    setenv("DORLESK_PORT_DIR", in.ConsumeRandomLengthString(200).c_str(), 1);
  else
    unsetenv("DORLESK_PORT_DIR");
  size_t room = in.ConsumeIntegralInRange<size_t>(1, 300);
  std::string name = in.ConsumeBool() ? "\\\\.\\" : "";
  name += in.ConsumeBytesAsString(in.remaining_bytes());
  // Exactly the room given, so that ASan sees any byte written past it.
  std::vector<char> path(room);
  if (resolvePortPath(name.c_str(), path.data(), room)) {
    if (memchr(path.data(), '\0', room) == nullptr)
      abort();
    const char *dir = getenv("DORLESK_PORT_DIR");
    if (path[0] != '/' && !isNetworkName(path.data()) &&
        !(dir != nullptr && strncmp(path.data(), dir, strlen(dir)) == 0))
      abort();
  }
  return 0;
}
