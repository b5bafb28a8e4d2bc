#include "pe_loader.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <vector>

#include "call_gate.h"

static void reportUnbound(const char *dllAndName) {
  fprintf(stderr, "unbound import %s called\n", dllAndName);
  exit(3);
}

void (*peUnboundImportCalled)(const char *) = reportUnbound;

static void unboundCalled(const char *dllAndName) { peUnboundImportCalled(dllAndName); }

// A stub per unbound import: push its name, call the reporter. Stubs and
// names live as long as the program.
static void *unboundStub(const std::string &dllAndName) {
  static uint8_t *page = nullptr;
  static size_t used = 4096;
  if (used + 12 > 4096) {
    page = (uint8_t *)mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED)
      abort();
    used = 0;
  }
  uint8_t *stub = page + used;
  used += 12;
  uint32_t name = (uint32_t)(uintptr_t)strdup(dllAndName.c_str());
  uint32_t target = (uint32_t)(uintptr_t)unboundCalled;
  stub[0] = 0x68; // push imm32
  memcpy(stub + 1, &name, 4);
  stub[5] = 0xB8; // mov eax, imm32
  memcpy(stub + 6, &target, 4);
  stub[10] = 0xFF; // call eax
  stub[11] = 0xD0;
  return stub;
}

template <typename T> static T at(const uint8_t *p, uint32_t offset) {
  T value;
  memcpy(&value, p + offset, sizeof value);
  return value;
}

static bool fail(std::string *error, const std::string &why) {
  *error = why;
  return false;
}

// Directory entries of the optional header (PE32).
enum { exportDir = 0, importDir = 1, relocDir = 5, tlsDir = 9 };

bool peLoad(const char *path, ImportResolver resolve, PeModule *m, std::string *error) {
  FILE *f = fopen(path, "rb");
  if (f == nullptr)
    return fail(error, std::string("cannot open ") + path);
  std::vector<uint8_t> file;
  uint8_t chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
    file.insert(file.end(), chunk, chunk + n);
  fclose(f);
  const uint8_t *img = file.data();
  if (file.size() < 0x200 || img[0] != 'M' || img[1] != 'Z')
    return fail(error, "not an MZ image");
  uint32_t pe = at<uint32_t>(img, 0x3c);
  if (pe + 0xf8 > file.size() || memcmp(img + pe, "PE\0\0", 4) != 0)
    return fail(error, "no PE header");
  if (at<uint16_t>(img, pe + 4) != 0x14c || at<uint16_t>(img, pe + 24) != 0x10b)
    return fail(error, "not a 32-bit x86 PE image");
  uint16_t sections = at<uint16_t>(img, pe + 6);
  uint32_t opt = pe + 24, sectionTable = opt + at<uint16_t>(img, pe + 20);
  m->preferredBase = at<uint32_t>(img, opt + 28);
  m->size = at<uint32_t>(img, opt + 56);
  uint32_t headers = at<uint32_t>(img, opt + 60);
  auto dir = [&](int i, uint32_t *size) {
    *size = at<uint32_t>(img, opt + 96 + 8 * i + 4);
    return at<uint32_t>(img, opt + 96 + 8 * i);
  };

  // Anywhere but the preferred base, so that the relocations are exercised.
  void *where = mmap(nullptr, m->size, PROT_READ | PROT_WRITE | PROT_EXEC,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (where == MAP_FAILED)
    return fail(error, "cannot map the image");
  if ((uint32_t)(uintptr_t)where == m->preferredBase) {
    void *other = mmap(nullptr, m->size, PROT_READ | PROT_WRITE | PROT_EXEC,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(where, m->size);
    where = other;
  }
  m->base = (uint8_t *)where;
  uint8_t *base = m->base;
  memcpy(base, img, headers < file.size() ? headers : file.size());
  for (uint16_t i = 0; i < sections; i++) {
    uint32_t s = sectionTable + 40u * i;
    uint32_t virtualSize = at<uint32_t>(img, s + 8), rva = at<uint32_t>(img, s + 12);
    uint32_t rawSize = at<uint32_t>(img, s + 16), raw = at<uint32_t>(img, s + 20);
    uint32_t copy = rawSize < virtualSize || virtualSize == 0 ? rawSize : virtualSize;
    if (rva + copy > m->size || raw + copy > file.size())
      return fail(error, "a section lies outside the image");
    memcpy(base + rva, img + raw, copy);
  }

  uint32_t size, rva = dir(relocDir, &size);
  uint32_t delta = (uint32_t)(uintptr_t)base - m->preferredBase;
  for (uint32_t block = rva; size != 0 && block < rva + size;) {
    uint32_t page = at<uint32_t>(base, block), blockSize = at<uint32_t>(base, block + 4);
    if (blockSize < 8)
      return fail(error, "a broken relocation block");
    for (uint32_t e = block + 8; e < block + blockSize; e += 2) {
      uint16_t entry = at<uint16_t>(base, e);
      if (entry >> 12 == 3) { // HIGHLOW
        uint32_t *target = (uint32_t *)(base + page + (entry & 0xfff));
        *target += delta;
      } else if (entry >> 12 != 0) {
        return fail(error, "relocation type " + std::to_string(entry >> 12));
      }
    }
    block += blockSize;
  }

  rva = dir(importDir, &size);
  for (uint32_t d = rva; size != 0 && at<uint32_t>(base, d + 12) != 0; d += 20) {
    const char *dll = (const char *)base + at<uint32_t>(base, d + 12);
    uint32_t lookup = at<uint32_t>(base, d), bound = at<uint32_t>(base, d + 16);
    if (lookup == 0)
      lookup = bound;
    for (uint32_t i = 0;; i++) {
      uint32_t thunk = at<uint32_t>(base, lookup + 4 * i);
      if (thunk == 0)
        break;
      std::string name = thunk & 0x80000000u ? "#" + std::to_string(thunk & 0xffff)
                                             : (const char *)base + thunk + 2;
      void *address = thunk & 0x80000000u ? nullptr : resolve(dll, name.c_str());
      if (address == nullptr)
        address = unboundStub(std::string(dll) + "!" + name);
      uint32_t value = (uint32_t)(uintptr_t)address;
      memcpy(base + bound + 4 * i, &value, 4);
    }
  }

  uint32_t entry = at<uint32_t>(img, opt + 16);
  m->entry = entry != 0 ? (uint32_t)(uintptr_t)base + entry : 0;
  rva = dir(tlsDir, &size);
  m->tlsCallbacks = size != 0 ? at<uint32_t>(base, rva + 12) : 0;
  rva = dir(exportDir, &size);
  m->exports = size != 0 ? (uint32_t)(uintptr_t)base + rva : 0;
  return true;
}

static bool notify(uint32_t fn, const PeModule &m, uint32_t reason, const char *what) {
  uint32_t words[3] = {(uint32_t)(uintptr_t)m.base, reason, 0};
  return (uint32_t)gateCall((const void *)(uintptr_t)fn, words, 3, 12, what) != 0;
}

bool peNotify(const PeModule &m, uint32_t reason) {
  if (m.tlsCallbacks != 0)
    for (const uint32_t *cb = (const uint32_t *)(uintptr_t)m.tlsCallbacks; *cb != 0; cb++)
      notify(*cb, m, reason, "a TLS callback");
  return m.entry == 0 || notify(m.entry, m, reason, "the entry point");
}

void peUnload(PeModule *m) {
  if (m->base != nullptr)
    munmap(m->base, m->size);
  *m = PeModule();
}

void *peExport(const PeModule &m, const char *name) {
  if (m.exports == 0)
    return nullptr;
  const uint8_t *d = (const uint8_t *)(uintptr_t)m.exports;
  uint32_t names = at<uint32_t>(d, 24);
  const uint32_t *functions = (const uint32_t *)(m.base + at<uint32_t>(d, 28));
  const uint32_t *nameRvas = (const uint32_t *)(m.base + at<uint32_t>(d, 32));
  const uint16_t *ordinals = (const uint16_t *)(m.base + at<uint32_t>(d, 36));
  for (uint32_t i = 0; i < names; i++)
    if (strcmp((const char *)m.base + nameRvas[i], name) == 0)
      return m.base + functions[ordinals[i]];
  return nullptr;
}
