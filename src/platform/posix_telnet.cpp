// The Telnet stream of a network port (a terminal server speaking the COM
// Port Control Option): what the server sends, split into data and
// commands, and what is sent to it, escaped. The server's bytes are
// untrusted: any sequence, cut anywhere, decodes into no more data than
// arrived and into commands of bounded size.
#include <string.h>

#include "posix_internal.h"

enum DecoderState { inData, afterIac, afterVerb, subOption, inSub, subAfterIac };

static void subByte(TelnetDecoder *d, unsigned char byte) {
  TelnetCommand &c = d->command;
  if (c.bodyLength < sizeof c.body)
    c.body[c.bodyLength++] = byte;
  else
    d->overlong = true; // dropped whole when it ends
}

size_t telnetDecode(TelnetDecoder *d, const unsigned char *in, size_t n, unsigned char *data,
                    void (*onCommand)(void *context, const TelnetCommand &command), void *context) {
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char byte = in[i];
    TelnetCommand &c = d->command;
    switch (d->state) {
    case inData:
      if (byte == telnetIAC)
        d->state = afterIac;
      else
        data[out++] = byte;
      break;
    case afterIac:
      d->state = inData;
      if (byte == telnetIAC) {
        data[out++] = byte;
      } else if (byte >= telnetWILL) {
        c.verb = byte;
        d->state = afterVerb;
      } else if (byte == telnetSB) {
        d->state = subOption;
      }
      // Anything else (NOP, GA, a byte that is no command) means nothing here.
      break;
    case afterVerb:
      c.option = byte;
      c.bodyLength = 0;
      onCommand(context, c);
      d->state = inData;
      break;
    case subOption:
      c.verb = telnetSB;
      c.option = byte;
      c.bodyLength = 0;
      d->overlong = false;
      d->state = inSub;
      break;
    case inSub:
      if (byte == telnetIAC)
        d->state = subAfterIac;
      else
        subByte(d, byte);
      break;
    case subAfterIac:
      if (byte == telnetIAC) {
        subByte(d, byte);
        d->state = inSub;
      } else if (byte == telnetSE) {
        if (!d->overlong)
          onCommand(context, c);
        d->state = inData;
      } else {
        // An IAC that neither doubles a byte nor ends the subnegotiation:
        // the subnegotiation is broken off, and the byte read as a command.
        d->state = afterIac;
        i--;
      }
      break;
    }
  }
  return out;
}

size_t telnetEscape(const unsigned char *in, size_t n, unsigned char *out) {
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    out[o++] = in[i];
    if (in[i] == telnetIAC)
      out[o++] = telnetIAC;
  }
  return o;
}

size_t comPortCommand(unsigned char code, const unsigned char *value, size_t length,
                      unsigned char *out) {
  size_t o = 0;
  out[o++] = telnetIAC;
  out[o++] = telnetSB;
  out[o++] = telnetComPort;
  out[o++] = code;
  o += telnetEscape(value, length, out + o);
  out[o++] = telnetIAC;
  out[o++] = telnetSE;
  return o;
}
