// Whatever a server sends, cut into pieces anywhere, decodes into the same
// data and commands as in one piece, never more data than arrived and no
// command longer than its record; data escaped for a server decodes back to
// itself with no command.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "../../src/platform/posix_internal.h"

namespace {

struct Decoded {
  std::string data;
  std::string commands; // each as verb, option, length, body
};

void record(void *context, const TelnetCommand &c) {
  if (c.bodyLength > sizeof c.body)
    abort();
  std::string &commands = ((Decoded *)context)->commands;
  commands += {(char)c.verb, (char)c.option, (char)c.bodyLength};
  commands.append((const char *)c.body, c.bodyLength);
}

Decoded decode(const std::string &stream, const std::vector<size_t> &cuts) {
  Decoded out;
  TelnetDecoder decoder;
  memset(&decoder, 0, sizeof decoder);
  size_t at = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t end = i < cuts.size() ? cuts[i] : stream.size();
    // Exactly the room promised, so that ASan sees a byte written past it.
    std::vector<unsigned char> data(end - at + 1);
    size_t got = telnetDecode(&decoder, (const unsigned char *)stream.data() + at, end - at,
                              data.data(), record, &out);
    if (got > end - at)
      abort();
    out.data.append((const char *)data.data(), got);
    at = end;
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  std::vector<size_t> cuts;
  size_t pieces = in.ConsumeIntegralInRange<size_t>(0, 8);
  std::string stream = in.ConsumeRandomLengthString(4096);
  for (size_t i = 0; i < pieces; i++)
    cuts.push_back(in.ConsumeIntegralInRange<size_t>(0, stream.size()));
  std::sort(cuts.begin(), cuts.end());
  Decoded whole = decode(stream, {}), cut = decode(stream, cuts);
  if (whole.data != cut.data || whole.commands != cut.commands)
    abort();

  std::string data = in.ConsumeRemainingBytesAsString();
  std::vector<unsigned char> escaped(2 * data.size() + 1);
  size_t n = telnetEscape((const unsigned char *)data.data(), data.size(), escaped.data());
  Decoded back = decode(std::string((const char *)escaped.data(), n), {});
  if (back.data != data || !back.commands.empty())
    abort();
  return 0;
}
