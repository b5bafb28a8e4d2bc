// The settings record and termios: the rate, the frame and the handshakes
// of a DCB as the tty layer takes them, and DTR and RTS as modem lines.
#include <string.h>
#include <sys/ioctl.h>

#include "posix_internal.h"

static const struct {
  speed_t code;
  DWORD rate;
} standardRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

static bool speedCode(DWORD rate, speed_t *code) {
  for (const auto &row : standardRates)
    if (row.rate == rate) {
      *code = row.code;
      return true;
    }
  return false;
}

static DWORD rateOf(int fd, const struct termios &tio) {
  speed_t code = cfgetospeed(&tio);
  for (const auto &row : standardRates)
    if (row.code == code)
      return row.rate;
  unsigned rate = 0;
  return getCustomRate(fd, &rate) ? rate : 0;
}

void describeLine(int fd, const struct termios &tio, DCB *dcb) {
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof *dcb;
  dcb->BaudRate = rateOf(fd, tio);
  dcb->fBinary = 1;
  dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
  dcb->fDtrControl = DTR_CONTROL_ENABLE;
  dcb->fRtsControl = (tio.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb->fOutX = (tio.c_iflag & IXON) != 0;
  dcb->fInX = (tio.c_iflag & IXOFF) != 0;
  dcb->fTXContinueOnXoff = 1;
  dcb->XonLim = 2048;
  dcb->XoffLim = 512;
  switch (tio.c_cflag & CSIZE) {
  case CS5:
    dcb->ByteSize = 5;
    break;
  case CS6:
    dcb->ByteSize = 6;
    break;
  case CS7:
    dcb->ByteSize = 7;
    break;
  default:
    dcb->ByteSize = 8;
  }
  if (!(tio.c_cflag & PARENB))
    dcb->Parity = NOPARITY;
  else if (tio.c_cflag & CMSPAR)
    dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  else
    dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  dcb->XonChar = (char)tio.c_cc[VSTART];
  dcb->XoffChar = (char)tio.c_cc[VSTOP];
}

bool validLine(const DCB *dcb) {
  return dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && dcb->Parity <= SPACEPARITY &&
         (dcb->StopBits == ONESTOPBIT || dcb->StopBits == TWOSTOPBITS) && dcb->BaudRate != 0;
}

bool termiosForDcb(const DCB *dcb, struct termios *tio) {
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  tio->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio->c_cflag |= sizes[dcb->ByteSize - 5];
  switch (dcb->Parity) {
  case ODDPARITY:
    tio->c_cflag |= PARENB | PARODD;
    break;
  case EVENPARITY:
    tio->c_cflag |= PARENB;
    break;
  case MARKPARITY:
    tio->c_cflag |= PARENB | CMSPAR | PARODD;
    break;
  case SPACEPARITY:
    tio->c_cflag |= PARENB | CMSPAR;
    break;
  }
  if (dcb->StopBits == TWOSTOPBITS)
    tio->c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
    tio->c_cflag |= CRTSCTS;
  // Bytes with parity errors are delivered as received, as Windows does with
  // error replacement off: INPCK would turn them into NULs.
  tio->c_iflag &= ~(tcflag_t)(IXON | IXOFF | INPCK | IGNPAR | PARMRK);
  if (dcb->fOutX)
    tio->c_iflag |= IXON;
  if (dcb->fInX)
    tio->c_iflag |= IXOFF;
  if (dcb->fOutX || dcb->fInX) {
    tio->c_cc[VSTART] = (cc_t)dcb->XonChar;
    tio->c_cc[VSTOP] = (cc_t)dcb->XoffChar;
  }
  speed_t code;
  if (!speedCode(dcb->BaudRate, &code))
    return false;
  cfsetspeed(tio, code);
  return true;
}

static bool setTermios(int fd, const struct termios *tio) {
  // One ioctl: the C library's tcsetattr reads the settings back after
  // every set. The kernel's record is a prefix of the C library's.
  return ioctl(fd, TCSETS, tio) == 0;
}

static void setModemLine(int fd, int line, bool on) {
  // A device without modem lines (a pseudo-terminal) answers ENOTTY or
  // EINVAL; that is no reason to refuse the settings.
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

// The parts of two termios the kernel keeps: the C library's record has
// more, which the kernel neither reads nor fills.
static bool sameLine(const struct termios &a, const struct termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, VEOL2 + 1) == 0;
}

// Whether the device holds the frame and rate of want: a UART driver keeps
// what it can make and answers the set all the same.
static bool deviceHolds(OpenPort *port, const struct termios &want, DWORD rate, bool standard) {
  // A pseudo-terminal carries whole bytes with no framing, at no rate.
  if (port->isPty)
    return true;
  struct termios now;
  if (tcgetattr(port->fd, &now) != 0)
    return false;
  unsigned custom = 0;
  if ((now.c_cflag & (CSIZE | PARENB)) != (want.c_cflag & (CSIZE | PARENB)))
    return false;
  return standard ? cfgetospeed(&now) == cfgetospeed(&want)
                  : getCustomRate(port->fd, &custom) && custom == rate;
}

bool applyLine(OpenPort *port, const DCB *dcb) {
  const DCB &previous = port->dcb;
  struct termios tio = port->line;
  bool standard = termiosForDcb(dcb, &tio);
  // Compared with what the device holds now, not with what this handle last
  // set: another program may have changed the line since (a rate, canonical
  // mode, echo), and the set must leave it exactly as asked, and raw.
  struct termios held;
  if (!standard || tcgetattr(port->fd, &held) != 0 || !sameLine(held, tio)) {
    if (!setTermios(port->fd, &tio))
      return false;
    if ((!standard && !setCustomRate(port->fd, dcb->BaudRate)) ||
        !deviceHolds(port, tio, dcb->BaudRate, standard)) {
      setTermios(port->fd, &port->line);
      return false;
    }
    port->line = tio;
  }
  bool dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
  bool rts = dcb->fRtsControl != RTS_CONTROL_DISABLE;
  if (dtr != (previous.fDtrControl != DTR_CONTROL_DISABLE))
    setModemLine(port->fd, TIOCM_DTR, dtr);
  if (rts != (previous.fRtsControl != RTS_CONTROL_DISABLE))
    setModemLine(port->fd, TIOCM_RTS, rts);
  return true;
}
