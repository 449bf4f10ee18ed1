// Names of functions that the dynamic symbol table does not hold (dladdr
// knows only exported ones): read once per function from the symbol table
// of the file it was loaded from, and kept.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "bridge.h"

namespace vexa_bridge {
namespace {

// The symbol named for `function`, handed to `test`; false when none is
// found (a stripped file, no file at all).
template <class Test>
bool test_local_name(void const* function, Test test) {
  Dl_info info;
  if (dladdr(function, &info) == 0) return false;
  int fd = info.dli_fname != nullptr && info.dli_fname[0] != '\0' ? open(info.dli_fname, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  void* map = fstat(fd, &st) == 0 && st.st_size > 0
                  ? mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0)
                  : MAP_FAILED;
  close(fd);
  if (map == MAP_FAILED) return false;
  auto const* bytes = static_cast<unsigned char const*>(map);
  std::size_t const size = static_cast<std::size_t>(st.st_size);
  bool result = false;
  auto const* elf = static_cast<ElfW(Ehdr) const*>(map);
  if (size >= sizeof(ElfW(Ehdr)) && std::memcmp(elf->e_ident, ELFMAG, SELFMAG) == 0 &&
      elf->e_shoff + elf->e_shnum * sizeof(ElfW(Shdr)) <= size) {
    auto const* sections = reinterpret_cast<ElfW(Shdr) const*>(bytes + elf->e_shoff);
    std::uintptr_t const wanted = reinterpret_cast<std::uintptr_t>(function) -
                                  (elf->e_type == ET_DYN ? reinterpret_cast<std::uintptr_t>(info.dli_fbase) : 0);
    for (unsigned i = 0; i < elf->e_shnum && !result; ++i) {
      ElfW(Shdr) const& symtab = sections[i];
      if (symtab.sh_type != SHT_SYMTAB || symtab.sh_link >= elf->e_shnum) continue;
      ElfW(Shdr) const& strtab = sections[symtab.sh_link];
      if (symtab.sh_offset + symtab.sh_size > size || strtab.sh_offset + strtab.sh_size > size) continue;
      auto const* symbols = reinterpret_cast<ElfW(Sym) const*>(bytes + symtab.sh_offset);
      std::size_t const count = symtab.sh_size / sizeof(ElfW(Sym));
      for (std::size_t k = 0; k < count; ++k) {
        ElfW(Sym) const& sym = symbols[k];
        if (ELF32_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value != wanted || sym.st_name >= strtab.sh_size) continue;
        char const* name = reinterpret_cast<char const*>(bytes + strtab.sh_offset + sym.st_name);
        if (strnlen(name, strtab.sh_size - sym.st_name) == strtab.sh_size - sym.st_name) continue;
        result = test(name);
        break;
      }
    }
  }
  munmap(map, size);
  return result;
}

// "<outlined>._debug__", numbered "._debug__.N" when a unit has several.
bool names_debug_twin(char const* name) {
  char const* at = std::strstr(name, "._debug__");
  if (at == nullptr || at == name) return false;
  char const* rest = at + 9;
  if (*rest == '\0') return true;
  if (*rest++ != '.' || *rest == '\0') return false;
  while (*rest >= '0' && *rest <= '9') ++rest;
  return *rest == '\0';
}

// Verdicts so far. A slot's verdict is written before its key is published
// (release), and a reader that sees the key (acquire) sees the verdict;
// racing threads may both look a function up, which costs only time. A
// program has one twin per parallel region, so 64 slots keep them all; the
// rest are looked up every time.
struct verdict_t {
  std::atomic<std::uintptr_t> function;
  bool twin;
};
verdict_t verdicts[64];

}  // namespace

bool outlined_debug_twin(void const* function) {
  auto const key = reinterpret_cast<std::uintptr_t>(function);
  for (verdict_t& v : verdicts) {
    std::uintptr_t const seen = v.function.load(std::memory_order_acquire);  // pairs with the release below
    if (seen == key) return v.twin;
    if (seen == 0) break;
  }
  bool const twin = test_local_name(function, names_debug_twin);
  for (verdict_t& v : verdicts) {
    std::uintptr_t expected = 0;
    if (v.function.load(std::memory_order_acquire) != 0) continue;
    // Claims the slot with a sentinel first, so that no reader takes the
    // verdict before it is written.
    if (!v.function.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    v.twin = twin;
    v.function.store(key, std::memory_order_release);  // pairs with the acquire loads above
    break;
  }
  return twin;
}

}  // namespace vexa_bridge
