// The built libvexa.so: its kind, and a dynamic symbol table that holds the
// interface of vexa.h and nothing else (a leaked internal or std:: symbol
// could bind a program to the library's privates, or the library to the
// program's).
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

struct symbol_t {
  char type;
  unsigned long size;
  bool operator==(symbol_t const& o) const { return type == o.type && size == o.size; }
};

std::ostream& operator<<(std::ostream& os, symbol_t const& s) { return os << s.type << "/" << s.size; }

// name -> (type letter, size) from `nm -D --defined-only -S`.
std::map<std::string, symbol_t> defined_dynamic_symbols() {
  std::string const command = std::string(VEXA_NM) + " -D --defined-only -S '" + VEXA_LIBRARY_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  std::map<std::string, symbol_t> symbols;
  if (pipe == nullptr) return symbols;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    // "value size type name"; a symbol without a size has one field less.
    std::istringstream line(buffer);
    std::string fields[4];
    int n = 0;
    while (n < 4 && line >> fields[n]) ++n;
    if (n == 4)
      symbols[fields[3]] = {fields[2][0], std::stoul(fields[1], nullptr, 16)};
    else if (n == 3)
      symbols[fields[2]] = {fields[1][0], 0};
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return symbols;
}

}  // namespace

// The build's target: i386 for the reference build (VEXA_M32), x86_64
// otherwise. The fields read here lie at the same offsets in both classes
// of ELF header.
TEST(Exports, LibraryIsASharedObjectOfTheBuildsTarget) {
  std::ifstream file(VEXA_LIBRARY_PATH, std::ios::binary);
  Elf32_Ehdr header{};
  ASSERT_TRUE(file.read(reinterpret_cast<char*>(&header), sizeof header)) << VEXA_LIBRARY_PATH;
  EXPECT_EQ(std::string(reinterpret_cast<char const*>(header.e_ident), SELFMAG), std::string(ELFMAG, SELFMAG));
  EXPECT_EQ(header.e_ident[EI_DATA], ELFDATA2LSB);
  EXPECT_EQ(header.e_type, ET_DYN);
#if VEXA_REFERENCE_TARGET
  EXPECT_EQ(header.e_ident[EI_CLASS], ELFCLASS32);
  EXPECT_EQ(header.e_machine, EM_386);
#else
  EXPECT_EQ(header.e_ident[EI_CLASS], ELFCLASS64);
  EXPECT_EQ(header.e_machine, EM_X86_64);
#endif
}

TEST(Exports, DynamicSymbolsAreExactlyTheHooksTheBlockAndTheBreakpoint) {
  std::map<std::string, symbol_t> const actual = defined_dynamic_symbols();
  // Functions are text ('T'; their sizes are the compiler's business). The
  // block's sizes are what debuggers read.
  std::map<std::string, symbol_t> expected;
  for (char const* hook : {"_VEXA_enterTask", "_VEXA_leaveTask", "_VEXA_suspendTask", "_VEXA_resumeTask",
                           "_VEXA_readMemory", "_VEXA_writeMemory", "_VEXA_enterFunction", "_VEXA_leaveFunction"}) {
    expected[hook] = {'T', 0};
    expected[std::string(hook) + "At"] = {'T', 0};
  }
  for (char const* race_rule : {"_VEXA_enterTaskAs", "_VEXA_finishTaskAt", "_VEXA_absorbTask", "_VEXA_releaseTask",
                                "_VEXA_placeTask", "_VEXA_orderTasksBy", "_VEXA_acquireLock", "_VEXA_releaseLock",
                                "_VEXA_readAtomicAt", "_VEXA_writeAtomicAt", "_VEXA_forgetMemory"})
    expected[race_rule] = {'T', 0};
  expected["__vexa_switch_to_debugger"] = {'T', 0};
  expected["__vexa_config"] = {'D', 16};  // initialised to { 1, 0, 0, 0 }
  expected["__vexa_filter_space"] = {'B', 8};
  expected["__vexa_event_reason"] = {'B', 4};
  expected["__vexa_current_detection"] = {'B', 64};
  expected["__VEXA_isGuardedCall"] = {'B', 4};
  expected["__vexa_distinct"] = {'B', 16};

  std::map<std::string, symbol_t> comparable = actual;
  for (auto& entry : comparable)
    if (entry.second.type == 'T') entry.second.size = 0;
  EXPECT_EQ(comparable, expected);
  EXPECT_EQ(actual.size(), 34u);
}
